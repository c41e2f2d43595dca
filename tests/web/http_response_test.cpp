// The answer parser fed whole and byte by byte, and the URLs the client follows.
#include "web/http_response.h"

#include <gtest/gtest.h>

namespace {

struct TParsed {
    int Status = 0;
    int64_t Length = -1;
    std::string Location;
    std::string Body;
    bool Done = false;
    int32_t Error = 0;
};

// Feeds Text in pieces of Step bytes (0: whole), then ends the input when Closed.
TParsed Parse(const std::string& Text, size_t Step, bool Closed, uint64_t Max = 1 << 20) {
    rv::THttpResponseParser p(Max);
    TParsed r;
    p.OnBody = [&](const char* D, size_t L) { r.Body.append(D, L); };
    bool going = true;
    const size_t step = Step ? Step : std::max<size_t>(Text.size(), 1);
    for (size_t i = 0; going && i < Text.size(); i += step)
        going = p.Feed(Text.data() + i, std::min(step, Text.size() - i));
    if (going && Closed) p.EndOfInput();
    r.Status = p.StatusCode();
    r.Length = p.ContentLength();
    r.Location = p.Location();
    r.Done = p.Done();
    r.Error = p.Failed() ? p.Error() : 0;
    return r;
}

struct TCase {
    const char* Name;
    std::string Text;
    bool Closed;
    int Status;
    std::string Body;
    bool Done;
    int32_t Error;
};

TEST(HttpResponseParser, AnswersWholeAndByteByByte) {
    const std::string longHeader = "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(17000, 'a');
    const TCase cases[] = {
        {"length", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", false, 200, "hello", true, 0},
        {"1.1, bare LF, header case", "HTTP/1.1 200 OK\nCONTENT-length:  3 \n\nabc", false, 200, "abc", true, 0},
        {"no reason", "HTTP/1.0 204\r\n\r\n", false, 204, "", true, 0},
        {"read to close", "HTTP/1.0 200 OK\r\n\r\nuntil the end", true, 200, "until the end", true, 0},
        {"unknown length, still open", "HTTP/1.0 200 OK\r\n\r\npart", false, 200, "part", false, 0},
        {"zero length", "HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n", false, 200, "", true, 0},
        {"garbage status line", "HELLO THERE\r\n\r\n", true, 0, "", false, rv::C_httperrBadStatusLine},
        {"HTTP/2 status line", "HTTP/2.0 200 OK\r\n\r\n", true, 0, "", false, rv::C_httperrBadStatusLine},
        {"two-digit status", "HTTP/1.0 20 OK\r\n\r\n", true, 0, "", false, rv::C_httperrBadStatusLine},
        {"endless header", longHeader, false, 200, "", false, rv::C_httperrHeaderTooLong},
        {"endless status line", "HTTP/1.0 200 " + std::string(20000, 'x'), false, 0, "", false,
         rv::C_httperrHeaderTooLong},
        {"bad length", "HTTP/1.0 200 OK\r\nContent-Length: 12x\r\n\r\n", true, 200, "", false,
         rv::C_httperrBadHeader},
        {"negative length", "HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\n", true, 200, "", false,
         rv::C_httperrBadHeader},
        {"two lengths", "HTTP/1.0 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab", true, 200, "",
         false, rv::C_httperrBadHeader},
        {"body shorter than announced", "HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nabc", true, 200, "abc",
         false, rv::C_httperrBodyLength},
        {"closed in the headers", "HTTP/1.0 200 OK\r\nServer: x", true, 200, "", false, rv::C_httperrNoAnswer},
        {"closed before anything", "", true, 0, "", false, rv::C_httperrNoAnswer},
    };
    for (const TCase& c : cases) {
        for (size_t step : {size_t(0), size_t(1), size_t(7)}) {
            SCOPED_TRACE(std::string(c.Name) + " step " + std::to_string(step));
            const TParsed r = Parse(c.Text, step, c.Closed);
            EXPECT_EQ(r.Status, c.Status);
            EXPECT_EQ(r.Error, c.Error);
            EXPECT_EQ(r.Done, c.Done);
            EXPECT_EQ(r.Body, c.Body);
        }
    }
}

TEST(HttpResponseParser, BodyLongerThanAnnouncedInOnePieceFails) {
    const std::string text = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nabc";
    const TParsed whole = Parse(text, 0, true);
    EXPECT_EQ(whole.Error, rv::C_httperrBodyLength);
    EXPECT_EQ(whole.Body, "") << "nothing of a refused piece is handed on";
    // Arriving apart, the answer is complete at the announced end and what follows is never read.
    const TParsed bytes = Parse(text, 1, true);
    EXPECT_TRUE(bytes.Done);
    EXPECT_EQ(bytes.Body, "ab");
}

TEST(HttpResponseParser, BodyPastTheCallersLimitFails) {
    const std::string announced = "HTTP/1.0 200 OK\r\nContent-Length: 11\r\n\r\nhello world";
    EXPECT_EQ(Parse(announced, 0, true, 10).Error, rv::C_httperrBodyTooLong);
    EXPECT_EQ(Parse(announced, 0, true, 11).Error, 0);
    const std::string unknown = "HTTP/1.0 200 OK\r\n\r\nhello world";
    EXPECT_EQ(Parse(unknown, 3, true, 10).Error, rv::C_httperrBodyTooLong);
    EXPECT_EQ(Parse(unknown, 3, true, 11).Body, "hello world");
}

TEST(HttpResponseParser, HandlersStopAfterStatusLineOrHeaders) {
    rv::THttpResponseParser p(100);
    p.OnStatusLine = [](int Status) { return Status < 400; };
    EXPECT_FALSE(p.Feed("HTTP/1.0 404 Not Found\r\nContent-Length: 3\r\n\r\nabc", 45));
    EXPECT_EQ(p.StatusCode(), 404);
    EXPECT_EQ(p.ContentLength(), -1) << "nothing after the status line is read";

    rv::THttpResponseParser q(100);
    std::string body;
    q.OnHeadersDone = [] { return false; };
    q.OnBody = [&](const char* D, size_t L) { body.append(D, L); };
    const std::string moved = "HTTP/1.0 302 Found\r\nLocation: /there\r\nContent-Length: 3\r\n\r\nabc";
    EXPECT_FALSE(q.Feed(moved.data(), moved.size()));
    EXPECT_EQ(q.Location(), "/there");
    EXPECT_EQ(body, "");
}

TEST(HttpUrl, ParsesOnlyPlainHttp) {
    rv::THttpUrl u;
    ASSERT_TRUE(rv::ParseHttpUrl("HTTP://Example.COM:8080/a/b?c=d#frag", u));
    EXPECT_EQ(u.Host, "example.com");
    EXPECT_EQ(u.Port, 8080);
    EXPECT_EQ(u.Path, "/a/b?c=d");
    ASSERT_TRUE(rv::ParseHttpUrl("http://127.0.0.1", u));
    EXPECT_EQ(u.Port, 80);
    EXPECT_EQ(u.Path, "/");
    for (const char* bad : {"https://x/", "ftp://x/", "http://", "http://:80/", "http://x:0/", "http://x:65536/",
                            "http://user@x/", "http://x y/", "http://x/a b", "x/y", "http://[::1]/"}) {
        EXPECT_FALSE(rv::ParseHttpUrl(bad, u)) << bad;
    }
}

TEST(HttpUrl, LocationsResolveAgainstThePresentUrl) {
    rv::THttpUrl base;
    ASSERT_TRUE(rv::ParseHttpUrl("http://host:81/dir/page?q=1", base));
    const std::pair<const char*, const char*> cases[] = {
        {"http://other/x", "http://other/x"},
        {"//other:82/y", "http://other:82/y"},
        {"/abs", "http://host:81/abs"},
        {"rel", "http://host:81/dir/rel"},
        {"../up/./x", "http://host:81/up/x"},
        {"../../../top", "http://host:81/top"},
        {"?p=2", "http://host:81/dir/page?p=2"},
        {"sub/", "http://host:81/dir/sub/"},
    };
    for (auto [loc, want] : cases) {
        rv::THttpUrl r;
        ASSERT_TRUE(rv::ResolveHttpLocation(base, loc, r)) << loc;
        EXPECT_EQ(r.Text(), want) << loc;
    }
    rv::THttpUrl r;
    EXPECT_FALSE(rv::ResolveHttpLocation(base, "https://secure/", r));
    EXPECT_FALSE(rv::ResolveHttpLocation(base, "", r));
}

} // namespace
