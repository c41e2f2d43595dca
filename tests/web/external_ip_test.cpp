// The external address look-up against the tests' own server: pages that give an address, pages that do not,
// failures retried and the turn passed to the next page.
#include "web/external_ip.h"

#include "tests/net/net_test_support.h"
#include "tests/test_support.h"
#include "tests/web/http_test_server.h"

#include <gtest/gtest.h>

namespace {

using testing_support::PumpUntil;
using web_testing::Answer;
using web_testing::TAfter;
using web_testing::THttpTestServer;

rv::T_ExternalIpTiming Quick() {
    rv::T_ExternalIpTiming t;
    t.ProgressIntervalMs = 20;
    t.StallTimeOutPeriodMs = 100;
    t.DelayBetweenFatalRetriesMs = 50;
    return t;
}

struct TLookUp {
    explicit TLookUp(std::vector<std::string> Urls) {
        Ip = std::make_unique<rv::T_ExternalIp>([this](rv::T_ExternalIp*) { ++Found; }, std::move(Urls), Quick());
        Ip->OnExternalIpFailed = [this](rv::T_ExternalIp*) { ++Failed; };
        Ip->OnAttemptFailed = [this](rv::T_ExternalIp*, const std::string&, bool, uint16_t E, bool) {
            Errors.push_back(E);
        };
    }
    // Waits for the end, then a little more to see that nothing else comes.
    std::string Result() {
        EXPECT_TRUE(PumpUntil([&] { return Found + Failed > 0; }, 15000));
        net_testing::PumpFor(net_testing::kQuietMs);
        EXPECT_EQ(Found + Failed, 1);
        return Found ? rv::WS_IpToStr(Ip->ExternalIp()) : std::string("none");
    }
    std::unique_ptr<rv::T_ExternalIp> Ip;
    int Found = 0;
    int Failed = 0;
    std::vector<uint16_t> Errors;
};

TEST(ExternalIp, PagesAndWhatTheyYield) {
    THttpTestServer server;
    const std::pair<std::string, std::string> pages[] = {
        {"<html><head><title>Your IP address is 203.0.113.7</title></head><body>x</body></html>", "203.0.113.7"},
        {"<title>198.51.100.4 - and words after it</title>", "198.51.100.4"},
        {"<title>Current IP Check</title><body>Current IP Address: 198.51.100.23</body>", "198.51.100.23"},
        {"203.0.113.99\n", "203.0.113.99"},
        {"<title>2 visitors from 203.0.113.7</title>", "none"},
        {"<title>0.0.0.0</title>", "none"},
        {"<title>300.1.2.3</title>", "none"},
        {"<title>10.1.2.3 - a private one</title>", "none"},
        {"<title>no address here</title><body>nor here</body>", "none"},
    };
    int n = 0;
    for (const auto& [page, want] : pages) {
        SCOPED_TRACE(page);
        const std::string path = "/p" + std::to_string(n++);
        server.Route(path, Answer(200, page));
        TLookUp l({server.Url(path)});
        EXPECT_EQ(l.Result(), want);
        EXPECT_EQ(server.Hits(path), 1) << "a page that answered is not fetched again";
    }
}

TEST(ExternalIp, RedirectToTheAddressPage) {
    THttpTestServer server;
    server.Route("/start", Answer(302, "", "Location: /plain\r\n"));
    server.Route("/plain", Answer(200, "203.0.113.50"));
    TLookUp l({server.Url("/start")});
    EXPECT_EQ(l.Result(), "203.0.113.50");
}

TEST(ExternalIp, FailingPageIsRetriedThenTheNextOneServes) {
    THttpTestServer server;
    server.Route("/gone", Answer(404, "gone"));
    server.Route("/none", Answer(200, "<title>nothing</title>"));
    server.Route("/ip", Answer(200, "<title>IP: 203.0.113.8</title>"));
    TLookUp l({server.Url("/gone"), server.Url("/none"), server.Url("/ip")});
    EXPECT_EQ(l.Result(), "203.0.113.8");
    EXPECT_EQ(server.Hits("/gone"), 4);
    EXPECT_EQ(l.Errors, (std::vector<uint16_t>{404, 404, 404, 404}));
    EXPECT_EQ(server.Hits("/none"), 1);
}

TEST(ExternalIp, EveryPageFailingIsReportedOnce) {
    THttpTestServer server;
    server.Route("/gone", Answer(404, "gone"));
    server.Route("/reset", {"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n20", {}, 0, TAfter::Reset});
    TLookUp l({server.Url("/gone"), server.Url("/reset")});
    EXPECT_EQ(l.Result(), "none");
    EXPECT_EQ(l.Ip->ExternalIp(), 0u);
    EXPECT_TRUE(l.Ip->Failed());
    EXPECT_EQ(server.Hits("/gone"), 4);
    EXPECT_EQ(server.Hits("/reset"), 4);
}

TEST(ExternalIp, FreedWhileFetchingStaysQuiet) {
    THttpTestServer server;
    server.Route("/silent", "", TAfter::StayOpen);
    TLookUp l({server.Url("/silent")});
    ASSERT_TRUE(PumpUntil([&] { return server.Hits("/silent") == 1; }));
    l.Ip.reset();
    net_testing::PumpFor(300);
    EXPECT_EQ(l.Found + l.Failed, 0);
}

} // namespace
