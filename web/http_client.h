#pragma once
// THttpClient: one asynchronous HTTP/1.0 GET at a time over a plain TCP stream.
//
// GetASync looks the host up without blocking, connects, sends the request, follows "location" answers (at most
// C_MaxHttpRedirects in a row, relative ones resolved against the present URL) and writes the final answer's body
// to RcvdStream as it arrives. An answer of status 400 or above is closed as soon as its status line is read.
// Every request ends with exactly one OnRequestDone, also after Abort: Error 0 when an HTTP answer was received
// (StatusCode tells which), else a client error code (web/http_response.h) or a Winsock code.
//
// Threads: main thread only; every event runs on it. OnRequestDone comes from a deferred call, so its handler may
// free the client; OnDocData comes from inside the socket's event and must not.

#include "foundation/streams.h"
#include "net/stream_socket.h"
#include "web/http_response.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace rv {

class THttpClient;

using THttpDocDataEvent = std::function<void(THttpClient* Sender, const char* Data, uint32_t Len)>;
using THttpSendDataEvent = std::function<void(THttpClient* Sender, uint32_t Len)>;
using THttpRequestDone = std::function<void(THttpClient* Sender, int32_t Error)>;

inline const std::string C_HttpDefaultAgent = "Mozilla/3.0 (compatible)";
inline const std::string C_HttpDefaultAccept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
constexpr uint64_t C_HttpDefaultMaxBody = 16 * 1024 * 1024;

class THttpClient {
public:
    // Main thread.
    THttpClient();
    THttpClient(const THttpClient&) = delete;
    THttpClient& operator=(const THttpClient&) = delete;
    // Closes the connection; a request-done event still queued is dropped. Main thread, never inside OnDocData.
    ~THttpClient();

    // Starts the GET of URL. Its end always comes as OnRequestDone, a bad URL or a request already running
    // included. Main thread.
    void GetASync();
    // Ends the running request: the connection closes, OnRequestDone follows with C_httperrAborted. Nothing when
    // no request runs. Main thread.
    void Abort();
    // A request is running (its OnRequestDone has not been queued yet). Main thread.
    bool Busy() const { return FState != TState::Idle; }

    // The request's answer, readable at any time: the status code (0 before a status line), the announced
    // length (0 or less when unknown), the body bytes received and the URL in use (after redirects). Main thread.
    int StatusCode() const { return FStatusCode; }
    int64_t ContentLength() const { return FContentLength; }
    uint64_t RcvdCount() const { return FRcvdCount; }
    const std::string& CurrentUrl() const { return FCurrentUrl; }
    // The request exactly as last sent. Main thread.
    const std::string& RequestText() const { return FRequestText; }

    // Set before GetASync.
    std::string URL;
    std::string Agent = C_HttpDefaultAgent;
    std::string Accept = C_HttpDefaultAccept;
    TStream* RcvdStream = nullptr; // not owned; the body is appended
    uint64_t MaxBodySize = C_HttpDefaultMaxBody;

    THttpDocDataEvent OnDocData;
    THttpSendDataEvent OnSendData;
    THttpRequestDone OnRequestDone;

private:
    enum class TState : uint8_t { Idle, LookingUp, Connecting, Waiting };

    // Starts the present URL: look-up, or the connection when the host is a dotted address.
    void StartUrl(const std::string& Url);
    void Connect(T_NumericIpAddress Addr);
    void E_LookUpDone(int32_t Error, const std::string& Result);
    void E_Connected(int32_t Error);
    void E_DataAvailable();
    void E_Closed(int32_t Error);
    // The answer's parts, from the parser.
    bool E_StatusLine(int Status);
    bool E_HeadersDone();
    void E_Body(const char* Data, size_t Len);
    // The request is over: close, then OnRequestDone from a deferred call.
    void Finish(int32_t Error);
    void E_RequestDone(int32_t Error);

    TState FState = TState::Idle;
    THttpUrl FUrl;
    std::string FCurrentUrl;
    std::string FRequestText;
    int FRedirects = 0;
    int FStatusCode = 0;
    int64_t FContentLength = 0;
    uint64_t FRcvdCount = 0;
    bool FFollowLocation = false; // the present answer is being replaced by its location
    std::unique_ptr<THttpResponseParser> FParser;
    std::unique_ptr<TWS_StreamSocket> FSocket;
    // Look-up results find the client only while it lives and only for the request that asked.
    std::shared_ptr<THttpClient*> FLife;
    uint32_t FLookUpSerial = 0;
    int32_t FDoneHandle = 0;
};

} // namespace rv
