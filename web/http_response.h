#pragma once
// The answer side of an HTTP/1.0 GET: a push parser fed with the bytes as they arrive, and the URLs it follows.
//
// Bounded everywhere: the status line and header block together may not pass C_MaxHttpHeaderBlock bytes, and the
// body may not pass the caller's limit; either ends the answer with an error code. The parser owns no socket and
// no stream, so the fuzz target drives it as the client does.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace rv {

constexpr size_t C_MaxHttpHeaderBlock = 16 * 1024;

// The client's own error codes (request done with one of these, or with a Winsock code from 10004 on). None is
// an HTTP status, so neither is mistaken for the other.
constexpr int32_t C_httperrAborted = 1;          // Abort
constexpr int32_t C_httperrBadUrl = 2;           // not "http://host[:port][/path]"
constexpr int32_t C_httperrBadStatusLine = 3;    // the first line is not "HTTP/1.0 nnn" or "HTTP/1.1 nnn"
constexpr int32_t C_httperrHeaderTooLong = 4;    // status line and headers past C_MaxHttpHeaderBlock
constexpr int32_t C_httperrBadHeader = 5;        // a Content-Length that is not a number, or two that differ
constexpr int32_t C_httperrBodyTooLong = 6;      // the body passes the caller's limit
constexpr int32_t C_httperrBodyLength = 7;       // the body is longer or shorter than announced
constexpr int32_t C_httperrTooManyRedirects = 8; // more than C_MaxHttpRedirects locations in a row
constexpr int32_t C_httperrNoAnswer = 9;         // the connection ended before the headers did
constexpr int32_t C_httperrBusy = 10;            // GetASync while a request runs

constexpr int C_MaxHttpRedirects = 5;

// A short text for a client error code, a Winsock code or an HTTP status, for messages.
std::string HttpErrorText(int32_t Code);

enum class T_HttpAnswerState : uint8_t { hasStatusLine, hasHeaders, hasBody, hasDone, hasFailed };

class THttpResponseParser {
public:
    // MaxBodySize: the longest body taken.
    explicit THttpResponseParser(uint64_t MaxBodySize);

    // Takes the next bytes of the answer. False when parsing has stopped: finished, failed, or a handler asked
    // to stop; the bytes after that point are not looked at.
    bool Feed(const char* Data, size_t Len);
    // The connection has ended in order: a body without a length ends here; anything else unfinished fails.
    void EndOfInput();

    T_HttpAnswerState State() const { return FState; }
    bool Done() const { return FState == T_HttpAnswerState::hasDone; }
    bool Failed() const { return FState == T_HttpAnswerState::hasFailed; }
    int32_t Error() const { return FError; }
    int StatusCode() const { return FStatusCode; }
    // -1 when the answer gives none.
    int64_t ContentLength() const { return FContentLength; }
    // The first "location" header's value, empty when none.
    const std::string& Location() const { return FLocation; }
    uint64_t BodyCount() const { return FBodyCount; }

    // The status line has been read (HTTP/1.0 or 1.1, three digits). False stops parsing there.
    std::function<bool(int StatusCode)> OnStatusLine;
    // One header, its name in lower case, its value without surrounding blanks.
    std::function<void(const std::string& Name, const std::string& Value)> OnHeader;
    // The empty line after the headers. False stops parsing there (the body is not read).
    std::function<bool()> OnHeadersDone;
    // A piece of the body.
    std::function<void(const char* Data, size_t Len)> OnBody;

private:
    bool Fail(int32_t Error);
    bool TakeLine(const std::string& Line);
    bool HeadersDone();

    uint64_t FMaxBodySize;
    T_HttpAnswerState FState = T_HttpAnswerState::hasStatusLine;
    int32_t FError = 0;
    int FStatusCode = 0;
    int64_t FContentLength = -1;
    std::string FLocation;
    std::string FLine;         // the header line being gathered
    size_t FHeaderBytes = 0;   // bytes of the status line and headers so far
    uint64_t FBodyCount = 0;
};

// An "http://" URL taken apart. Host in lower case; Path begins with "/".
struct THttpUrl {
    std::string Host;
    uint16_t Port = 80;
    std::string Path = "/";
    std::string Text() const;
};

// False for anything but "http://host[:port][/path]" (scheme in any case, port 1 to 65535, no user part).
bool ParseHttpUrl(const std::string& Text, THttpUrl& Url);
// A "location" value resolved against the present URL: absolute, scheme-relative ("//host/..."), absolute path
// or relative path (against the folder of the present path; "." and ".." segments resolved). False when the
// result is not an "http://" URL.
bool ResolveHttpLocation(const THttpUrl& Base, const std::string& Location, THttpUrl& Result);

} // namespace rv
