// The download object and its retrying owner against the tests' own server, with short periods.
#include "web/http_download.h"

#include "foundation/tick_count.h"
#include "tests/net/net_test_support.h"
#include "tests/test_support.h"
#include "tests/web/http_test_server.h"

#include <gtest/gtest.h>

namespace {

using testing_support::PumpUntil;
using web_testing::Answer;
using web_testing::TAfter;
using web_testing::THttpTestServer;

TEST(HttpDownload, UnknownLengthReportsZeroUntilDone) {
    THttpTestServer server;
    // Pieces a period apart, no length, then the close.
    server.Route("/slow", {"HTTP/1.0 200 OK\r\n\r\nfirst ", {"second ", "third"}, 120, TAfter::Close});
    server.Route("/known", {Answer(200, "0123456789").substr(0, Answer(200, "0123456789").size() - 5),
                            {"56789"}, 300, TAfter::Close});
    for (const char* path : {"/slow", "/known"}) {
        SCOPED_TRACE(path);
        rv::TMemoryStream body;
        rv::TRV_Httpd h;
        h.FProgressIntervalMs = 30;
        std::vector<float> progress;
        int finished = 0;
        uint16_t code = 1;
        h.OnProgress = [&](rv::TRV_Httpd*, float P) { progress.push_back(P); };
        h.GetToStream(server.Url(path), body, [&](rv::TRV_Httpd*, uint16_t E) {
            ++finished;
            code = E;
        });
        ASSERT_TRUE(PumpUntil([&] { return finished > 0; }));
        net_testing::PumpFor(net_testing::kQuietMs);
        EXPECT_EQ(finished, 1);
        EXPECT_EQ(code, 0);
        ASSERT_FALSE(progress.empty()) << "the first tick always reports";
        if (std::string(path) == "/slow") {
            EXPECT_EQ(progress, std::vector<float>{0.0f}) << "no length: 0 % until done, reported once";
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(body.Memory()), body.Size()), "first second third");
        } else {
            EXPECT_EQ(progress.front(), 50.0f) << "half of the announced ten bytes came at once";
        }
    }
}

TEST(HttpDownload, StallEndsWith503AndFreesNothingInsideItsEvent) {
    THttpTestServer server;
    server.Route("/silent", "", TAfter::StayOpen);
    rv::TMemoryStream body;
    rv::TRV_Httpd h;
    h.FProgressIntervalMs = 20;
    h.FStallTimeOutPeriodMs = 150;
    int stalls = 0;
    int finished = 0;
    uint16_t code = 0;
    h.FOnStall = [&](rv::TRV_Httpd*, bool&) { ++stalls; };
    const uint32_t start = rv::TickCount32();
    h.GetToStream(server.Url("/silent"), body, [&](rv::TRV_Httpd*, uint16_t E) {
        ++finished;
        code = E;
    });
    ASSERT_TRUE(PumpUntil([&] { return finished > 0; }));
    EXPECT_GE(rv::TickCount32() - start, 150u);
    net_testing::PumpFor(net_testing::kQuietMs);
    EXPECT_EQ(stalls, 1);
    EXPECT_EQ(finished, 1) << "the abort's own end is not reported again";
    EXPECT_EQ(code, rv::C_HttpStallError);
    EXPECT_EQ(h.ErrorReason(), rv::C_HttpStallError);
}

// A retrying download of one URL whose attempts are counted.
struct TRetryRun {
    explicit TRetryRun(const std::string& Url, uint32_t StallMs = 20000) {
        Retry = std::make_unique<rv::TRV_HttpdSmartRetry>(
            [this, StallMs](rv::TRV_HttpdSmartRetry*) {
                auto h = std::make_unique<rv::TRV_Httpd>();
                h->FProgressIntervalMs = 20;
                h->FStallTimeOutPeriodMs = StallMs;
                h->OnFinished = [this](rv::TRV_Httpd*, uint16_t E) {
                    ++Finished;
                    Code = E;
                };
                return h;
            },
            [this, Url](rv::TRV_HttpdSmartRetry*, rv::TRV_Httpd* H) {
                ++Attempts;
                Body.Clear();
                H->GetToStream(Url, Body, H->OnFinished);
            });
        Retry->FDelayBetweenFatalRetriesMs = 100;
    }
    rv::TMemoryStream Body;
    std::unique_ptr<rv::TRV_HttpdSmartRetry> Retry;
    int Attempts = 0;
    int Finished = 0;
    uint16_t Code = 0;
};

TEST(HttpdSmartRetry, A404IsTriedFourTimesApartThenReported) {
    THttpTestServer server;
    server.Route("/gone", Answer(404, "gone"));
    TRetryRun run(server.Url("/gone"));
    std::vector<std::pair<uint16_t, bool>> proposals;
    run.Retry->FOnFatalServerError = [&](rv::TRV_HttpdSmartRetry*, uint16_t E, bool& Attempt) {
        proposals.push_back({E, Attempt});
    };
    ASSERT_TRUE(PumpUntil([&] { return run.Finished > 0; }));
    net_testing::PumpFor(net_testing::kQuietMs);
    EXPECT_EQ(run.Finished, 1);
    EXPECT_EQ(run.Code, 404);
    EXPECT_EQ(run.Attempts, 4);
    EXPECT_EQ(server.Hits("/gone"), 4);
    const std::vector<std::pair<uint16_t, bool>> want{{404, true}, {404, true}, {404, true}, {404, false}};
    EXPECT_EQ(proposals, want);
    const std::vector<uint32_t> at = server.HitTimes("/gone");
    for (size_t i = 1; i < at.size(); ++i) EXPECT_GE(at[i] - at[i - 1], 90u) << "attempt " << i;
}

TEST(HttpdSmartRetry, OwnerVetoEndsAtOnce) {
    THttpTestServer server;
    server.Route("/gone", Answer(500, "x"));
    TRetryRun run(server.Url("/gone"));
    run.Retry->FOnFatalServerError = [&](rv::TRV_HttpdSmartRetry*, uint16_t, bool& Attempt) { Attempt = false; };
    ASSERT_TRUE(PumpUntil([&] { return run.Finished > 0; }));
    EXPECT_EQ(run.Code, 500);
    EXPECT_EQ(run.Attempts, 1);
}

TEST(HttpdSmartRetry, SilentServerIsRestartedThenFailsWith503) {
    THttpTestServer server;
    server.Route("/silent", "", TAfter::StayOpen);
    TRetryRun run(server.Url("/silent"), 100);
    run.Retry->FMaxFatalRetries = 1;
    std::vector<bool> stallProposals;
    run.Retry->FOnhttpStall = [&](rv::TRV_HttpdSmartRetry*, bool& Attempt) { stallProposals.push_back(Attempt); };
    ASSERT_TRUE(PumpUntil([&] { return run.Finished > 0; }, 15000));
    net_testing::PumpFor(net_testing::kQuietMs);
    EXPECT_EQ(run.Code, rv::C_HttpStallError);
    EXPECT_EQ(run.Finished, 1);
    // Four restarts at once, the fifth stall ends with 503; its one fatal retry stalls too (the count is not reset).
    const std::vector<bool> want{true, true, true, true, false, false};
    EXPECT_EQ(stallProposals, want);
    EXPECT_EQ(run.Attempts, 6);
    EXPECT_EQ(server.Hits("/silent"), 6);
}

TEST(HttpdSmartRetry, SuccessAfterAFailureReportsZero) {
    THttpTestServer server;
    server.Route("/flaky", Answer(503, "busy"));
    TRetryRun run(server.Url("/flaky"));
    run.Retry->FOnFatalServerError = [&](rv::TRV_HttpdSmartRetry*, uint16_t, bool&) {
        server.Route("/flaky", Answer(200, "better"));
    };
    ASSERT_TRUE(PumpUntil([&] { return run.Finished > 0; }));
    EXPECT_EQ(run.Code, 0);
    EXPECT_EQ(run.Attempts, 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(run.Body.Memory()), run.Body.Size()), "better");
}

} // namespace
