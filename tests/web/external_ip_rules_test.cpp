// The address rules of the look-up, and the title reader they are fed from.
#include "web/external_ip.h"
#include "web/html_parser.h"

#include "net/socket_primitives.h"

#include <gtest/gtest.h>

namespace {

std::string Dotted(rv::T_NumericIpAddress Ip) { return Ip ? rv::WS_IpToStr(Ip) : std::string("none"); }

TEST(ExternalIpRules, AddressFromText) {
    const std::pair<const char*, const char*> cases[] = {
        {"Your IP address is 203.0.113.7", "203.0.113.7"},
        {"10.1.2.3 - and some words after it", "10.1.2.3"}, // the rule reads it; reachability is separate
        {"Current IP Address: 198.51.100.23</body>", "198.51.100.23"},
        {"203.0.113.77\n", "203.0.113.77"},
        {"2 visitors from 10.1.2.3", "none"},     // the piece starts at the first digit
        {"0.0.0.0", "none"},
        {"300.1.2.3", "none"},
        {"1.2.3", "none"},
        {"1.2.3.4.5", "none"},
        {"1..2.3", "none"},
        {"1234.1.1.1", "none"},
        {"no digits at all", "none"},
        {"", "none"},
        {"001.002.003.004", "1.2.3.4"},
    };
    for (auto [text, want] : cases) EXPECT_EQ(Dotted(rv::ExternalIpFromText(text)), want) << text;
}

TEST(ExternalIpRules, IPStrToLongWordGivesNetworkOrder) {
    rv::T_NumericIpAddress ip = 0;
    ASSERT_TRUE(rv::IPStrToLongWord("192.0.2.1", ip));
    EXPECT_EQ(ip, rv::WS_IpAddress(192, 0, 2, 1));
    ip = 77;
    for (const char* bad : {"192.0.2", "192.0.2.1.", " 192.0.2.1", "192.0.2.256", "192.0.2.-1", "a.b.c.d", "1.2.3.4x"})
        EXPECT_FALSE(rv::IPStrToLongWord(bad, ip)) << bad;
    EXPECT_EQ(ip, 77u);
}

TEST(ExternalIpRules, OnlyAddressesOthersCanReachAreTaken) {
    const std::pair<const char*, bool> cases[] = {
        {"0.1.2.3", false},       {"10.0.0.1", false},       {"100.63.255.255", true}, {"100.64.0.1", false},
        {"100.127.255.255", false}, {"100.128.0.0", true},   {"127.0.0.1", false},     {"169.254.1.1", false},
        {"169.253.1.1", true},    {"172.15.0.1", true},      {"172.16.0.1", false},    {"172.31.255.255", false},
        {"172.32.0.1", true},     {"192.168.1.1", false},    {"192.169.1.1", true},    {"224.0.0.1", false},
        {"239.255.255.255", false}, {"240.0.0.1", false},    {"255.255.255.255", false}, {"203.0.113.7", true},
        {"8.8.4.4", true},
    };
    for (auto [text, want] : cases) {
        rv::T_NumericIpAddress ip = 0;
        ASSERT_TRUE(rv::IPStrToLongWord(text, ip));
        EXPECT_EQ(rv::IsReachableAddress(ip), want) << text;
    }
}

struct TRead {
    std::vector<std::string> Titles;
    std::string Text;
};

TRead Read(const std::string& Html, bool CancelOnTitle = false) {
    TRead r;
    rv::TRV_ParseHtml p;
    p.OnTitleText = [&](rv::TRV_ParseHtml* S, const std::string& T) {
        r.Titles.push_back(T);
        if (CancelOnTitle) S->CancelParse();
    };
    p.OnBodyText = [&](rv::TRV_ParseHtml*, const std::string& T) { r.Text += T + "|"; };
    rv::TRV_BlockMemoryStream s(Html.data(), static_cast<int64_t>(Html.size()));
    p.ParseStream(s);
    return r;
}

TEST(ParseHtml, TitleAndText) {
    const TRead r = Read("<!DOCTYPE html><HTML><Head><TITLE>Your IP: 1.2.3.4</title>"
                         "<script>var a = '<b>9.9.9.9</b>';</script></head>"
                         "<!-- 5.5.5.5 --><body><p>Address<br/>here</p></body></html>");
    ASSERT_EQ(r.Titles.size(), 1u);
    EXPECT_EQ(r.Titles[0], "Your IP: 1.2.3.4");
    EXPECT_EQ(r.Text, "Address|here|") << "no title, script or comment text";
}

TEST(ParseHtml, TitleKeepsMarkupInsideAsText) {
    const TRead r = Read("<title>a <b>x</b> 7</title>");
    ASSERT_EQ(r.Titles.size(), 1u);
    EXPECT_EQ(r.Titles[0], "a <b>x</b> 7");
}

TEST(ParseHtml, CancelStopsReading) {
    const TRead r = Read("<title>one</title><title>two</title>tail", true);
    EXPECT_EQ(r.Titles, std::vector<std::string>{"one"});
    EXPECT_EQ(r.Text, "");
}

TEST(ParseHtml, PlainTextIsAllText) {
    EXPECT_EQ(Read("203.0.113.9\n").Text, "203.0.113.9\n|");
}

TEST(ParseHtml, UnclosedTitleGivesNothingAndStaysBounded) {
    const TRead r = Read("<title>" + std::string(200000, '7'));
    EXPECT_TRUE(r.Titles.empty());
    std::string deep;
    for (int i = 0; i < 5000; ++i) deep += "<div>";
    deep += "<title>t</title>";
    EXPECT_TRUE(Read(deep).Titles.empty()) << "past the depth limit no element is opened";
}

} // namespace
