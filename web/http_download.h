#pragma once
// TRV_Httpd downloads one document into a stream with progress reports, a stall watchdog and an error code at
// the end; TRV_HttpdSmartRetry runs a fresh TRV_Httpd per attempt, restarting stalled transfers at once and
// retrying failed ones after a delay.
//
// Threads: main thread only. Timer call-backs are synchronised and restarts go through deferred calls, so no
// object is freed inside its own event. Do not free a TRV_Httpd inside its progress or stall event; its
// OnFinished may free it.

#include "foundation/streams.h"
#include "net/multi_timer.h"
#include "web/http_client.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace rv {

class TRV_Httpd;
class TRV_HttpdSmartRetry;

using T_OnHttpProgress = std::function<void(TRV_Httpd* Sender, float Percentage)>;
using T_OnHttpFinished = std::function<void(TRV_Httpd* Sender, uint16_t ErrorCode)>;
using T_OnhttpStall = std::function<void(TRV_Httpd* Sender, bool& RetryEnabled)>;
// True: the failure is handled, OnFinished is not called.
using T_OnHttpCompleteWithError = std::function<bool(TRV_Httpd* Sender, uint16_t ErrorCode)>;

constexpr uint32_t C_HttpProgressIntervalMs = 500;
constexpr uint32_t C_HttpStallTimeOutPeriodMs = 20000;
// The error code of a transfer ended by the watchdog.
constexpr uint16_t C_HttpStallError = 503;

class TRV_Httpd {
public:
    // Main thread.
    TRV_Httpd();
    TRV_Httpd(const TRV_Httpd&) = delete;
    TRV_Httpd& operator=(const TRV_Httpd&) = delete;
    virtual ~TRV_Httpd();

    // Starts the GET of Url; the body is appended to DestStream (which must outlive the transfer) as it arrives.
    // OnFinished comes once at the end, unless FOnCompleteWithError takes the failure. Main thread.
    void GetToStream(const std::string& Url, TStream& DestStream, T_OnHttpFinished OnFinished);
    // For a GET: received bytes x 100 / content length when the length is known, else 0. Main thread.
    float GetPercentageComplete() const;
    // Back to the created state: no timer, a new client. Main thread, not during a transfer's events.
    virtual void Reset();

    uint16_t ErrorReason() const { return FErrorReason; }
    uint32_t ElapsedMs() const;
    uint32_t ElapsedSeconds() const { return ElapsedMs() / 1000; }
    uint32_t RcvdByteCount() const { return FByteCount; }
    THttpClient& Client() { return *hc; }

    // Settable before GetToStream; the program keeps the defaults.
    uint32_t FProgressIntervalMs = C_HttpProgressIntervalMs;
    uint32_t FStallTimeOutPeriodMs = C_HttpStallTimeOutPeriodMs;
    // The longest body taken; a longer one ends the transfer with an error.
    uint64_t MaxBodySize = C_HttpDefaultMaxBody;

    T_OnHttpProgress OnProgress;
    T_OnHttpFinished OnFinished;
    T_OnhttpStall FOnStall;
    T_OnHttpCompleteWithError FOnCompleteWithError;

protected:
    virtual void DoBeginOperation();
    virtual void DoComplete();
    // The client's request-done event.
    void OnComplete(THttpClient* Sender, int32_t Error);
    // The watchdog's end of a stalled transfer (a deferred call).
    void DoStallCompleteWithError(int32_t);
    void E_Progress();
    void CheckEraseFile();

private:
    uint32_t FByteCount = 0;
    [[maybe_unused]] uint32_t SendSize = 0; // no upload is made by this program
    T_TimerID ProgTimer = C_NullTimerID;
    std::unique_ptr<TFileStream> FileStream; // downloads to a file are not made by this program
    float LastProgressPercent = 101.0f;
    uint64_t LastRcvdCount = 0;
    uint32_t FStartTime = 0; // tick count
    uint32_t WatchDogTime = 0; // tick count
    int32_t AsyncStallErrorNotifyHandle = 0;
    uint16_t FErrorReason = 0;
    bool FCompleted = true; // no transfer, or its end has been handled
    std::unique_ptr<THttpClient> hc;
    std::string LocalFileName;
    std::unique_ptr<TStream> PostReply;
};

using T_OnCreateAndConfigureHttp = std::function<std::unique_ptr<TRV_Httpd>(TRV_HttpdSmartRetry* Sender)>;
using T_OnStartHttp = std::function<void(TRV_HttpdSmartRetry* Sender, TRV_Httpd* Httpd)>;
using T_OnhttpRetryStall = std::function<void(TRV_HttpdSmartRetry* Sender, bool& AttemptRetry)>;
using T_OnhttpFatalServerError =
    std::function<void(TRV_HttpdSmartRetry* Sender, uint16_t ErrorCode, bool& AttemptRetry)>;

constexpr uint32_t C_HttpDelayBetweenFatalRetriesMs = 3000;
constexpr uint32_t C_HttpMaxStallRetries = 4;
constexpr uint32_t C_HttpMaxFatalRetries = 3;

class TRV_HttpdSmartRetry {
public:
    // Stores the events and starts the first attempt at once. Main thread.
    TRV_HttpdSmartRetry(T_OnCreateAndConfigureHttp OnCreateAndConfigureHttp, T_OnStartHttp OnStartHttp);
    TRV_HttpdSmartRetry(const TRV_HttpdSmartRetry&) = delete;
    TRV_HttpdSmartRetry& operator=(const TRV_HttpdSmartRetry&) = delete;
    // Main thread, not inside the present attempt's events other than OnFinished.
    virtual ~TRV_HttpdSmartRetry();

    TRV_Httpd* Httpd() const { return FHttpd.get(); }
    uint32_t StallRetries() const { return StallRetryCount; }
    uint32_t FatalRetries() const { return FatalRetryCount; }

    // Settable; the program keeps the defaults.
    uint32_t FDelayBetweenFatalRetriesMs = C_HttpDelayBetweenFatalRetriesMs;
    uint32_t FMaxStallRetries = C_HttpMaxStallRetries;
    uint32_t FMaxFatalRetries = C_HttpMaxFatalRetries;

    T_OnhttpRetryStall FOnhttpStall;
    T_OnhttpFatalServerError FOnFatalServerError;

protected:
    // Frees the present attempt and starts a new one through the owner's events.
    virtual void StartTransfer();
    void DoStallRetry(int32_t);
    void E_FatalAttemptRetry();
    bool OnCompleteWithError(TRV_Httpd* Sender, uint16_t ErrorCode);
    void OnOperationStalled(TRV_Httpd* Sender, bool& RetryEnabled);

private:
    std::unique_ptr<TRV_Httpd> FHttpd;
    int32_t AsyncRetryNotifyHandle = 0;
    T_OnCreateAndConfigureHttp FOnCreateAndConfigureHttp;
    T_OnStartHttp FOnStartHttp;
    T_TimerID RetryTimer = C_NullTimerID;
    uint32_t StallRetryCount = 0;
    uint32_t FatalRetryCount = 0;
};

} // namespace rv
