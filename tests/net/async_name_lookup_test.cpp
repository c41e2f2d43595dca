#include "net/async_name_lookup.h"

#include "tests/net/net_test_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

using namespace net_testing;
using testing_support::PumpUntil;

namespace {

struct TResult {
    int32_t Error;
    std::string Text;
    bool OnMainThread;
};

rv::TOnAsyncResult Recorder(std::vector<TResult>& Out) {
    return [&Out](int32_t Error, const std::string& Text) { Out.push_back({Error, Text, rv::IsMainThread()}); };
}

// Names that do not exist may take the resolver a while to refuse.
constexpr uint32_t kLookUpMs = 30000;

} // namespace

TEST(AsyncLookUp, AnEmptyNameOrNoHandlerIssuesNothing) {
    std::vector<TResult> results;
    const int before = rv::WS_AsyncList->Count();
    EXPECT_FALSE(rv::WS_AsyncLookUpName("", Recorder(results)));
    EXPECT_FALSE(rv::WS_AsyncLookUpName("localhost", nullptr));
    EXPECT_EQ(rv::WS_AsyncList->Count(), before);
    PumpFor(kQuietMs);
    EXPECT_TRUE(results.empty());
}

TEST(AsyncLookUp, TheHandlerRunsOnceOnTheMainThreadWithTheAddressOrTheError) {
    struct Case {
        const char* Name;
        bool Found;
        const char* Text;
    };
    // localhost is found only where the platform's resolver finds it (a machine without host files does not).
    const bool localhost = SystemLookUp("localhost") != 0;
    const Case cases[] = {
        {"localhost", localhost, localhost ? "127.0.0.1" : ""},
        {"127.0.0.1", true, "127.0.0.1"},
        {"no-such-host.invalid", false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<TResult> results;
        ASSERT_TRUE(rv::WS_AsyncLookUpName(c.Name, Recorder(results)));
        EXPECT_EQ(rv::WS_AsyncList->Count(), 1);
        ASSERT_TRUE(PumpUntil([&] { return !results.empty(); }, kLookUpMs));
        PumpFor(kQuietMs);
        ASSERT_EQ(results.size(), 1u);
        EXPECT_EQ(results[0].Error == 0, c.Found) << "error " << results[0].Error;
        EXPECT_EQ(results[0].Text, c.Text);
        EXPECT_TRUE(results[0].OnMainThread);
        EXPECT_EQ(rv::WS_AsyncList->Count(), 0);
    }
}

TEST(AsyncLookUp, AFreedRequestNeverCallsItsHandler) {
    std::vector<TResult> cancelled, later;
    ASSERT_TRUE(rv::WS_AsyncLookUpName("localhost", Recorder(cancelled)));
    rv::WS_AsyncList->Delete(0); // frees it while the platform is still working on it
    // A request issued afterwards completes; the cancelled one has had the same time and stayed silent.
    ASSERT_TRUE(rv::WS_AsyncLookUpName("localhost", Recorder(later)));
    ASSERT_TRUE(PumpUntil([&] { return !later.empty(); }, kLookUpMs));
    PumpFor(kQuietMs);
    EXPECT_TRUE(cancelled.empty());
    EXPECT_EQ(later.size(), 1u);
    EXPECT_EQ(rv::WS_AsyncList->Count(), 0);
}

TEST(AsyncLookUp, AnUnknownCompletionIsIgnoredAndAFailingHandlerStillFreesItsRequest) {
    rv::TMessage stray{rv::C_WM_WSASYNC_LOOKUP, 0x5eed, 0, 0};
    rv::WS_AsyncList->WndMsgProcessor->WndProc(stray);
    bool called = false;
    ASSERT_TRUE(rv::WS_AsyncLookUpName("localhost", [&](int32_t, const std::string&) {
        called = true;
        throw std::runtime_error("handler failed");
    }));
    ASSERT_TRUE(PumpUntil([&] { return called; }, kLookUpMs));
    EXPECT_EQ(rv::WS_AsyncList->Count(), 0);
}

TEST(AsyncLookUp, FinishingTheLibraryCancelsPendingRequests) {
    std::vector<TResult> results;
    ASSERT_TRUE(rv::WS_AsyncLookUpName("localhost", Recorder(results)));
    rv::WS_Finish();
    ASSERT_TRUE(rv::WS_Start());
    std::vector<TResult> after;
    ASSERT_TRUE(rv::WS_AsyncLookUpName("localhost", Recorder(after)));
    ASSERT_TRUE(PumpUntil([&] { return !after.empty(); }, kLookUpMs));
    PumpFor(kQuietMs);
    EXPECT_TRUE(results.empty());
}
