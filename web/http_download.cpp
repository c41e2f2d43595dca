#include "web/http_download.h"

#include "foundation/deferred_calls.h"
#include "foundation/thread_contract.h"
#include "foundation/tick_count.h"

#include <cstdio>

namespace rv {

// --- TRV_Httpd --------------------------------------------------------------------------------------------------

TRV_Httpd::TRV_Httpd() {
    RV_ASSERT_MAIN_THREAD();
    AsyncStallErrorNotifyHandle =
        AsyncRegisterCallBackEvent([this](int32_t Param) { DoStallCompleteWithError(Param); });
    Reset();
}

TRV_Httpd::~TRV_Httpd() {
    RV_ASSERT_MAIN_THREAD();
    FreeServiceTimer(ProgTimer);
    PostReply.reset();
    CheckEraseFile();
    hc.reset();
    FileStream.reset();
    AsyncRemoveCallBackEvent(AsyncStallErrorNotifyHandle);
}

void TRV_Httpd::Reset() {
    RV_ASSERT_MAIN_THREAD();
    CheckEraseFile();
    LocalFileName.clear();
    FreeServiceTimer(ProgTimer);
    LastProgressPercent = 101.0f;
    LastRcvdCount = 0;
    FByteCount = 0;
    FErrorReason = 0;
    FCompleted = true;
    hc = std::make_unique<THttpClient>();
    PostReply.reset();
    FileStream.reset();
}

void TRV_Httpd::CheckEraseFile() {
    if (FileStream && !LocalFileName.empty()) {
        FileStream.reset();
        std::remove(LocalFileName.c_str());
    }
}

void TRV_Httpd::GetToStream(const std::string& Url, TStream& DestStream, T_OnHttpFinished Finished) {
    RV_ASSERT_MAIN_THREAD();
    DoBeginOperation();
    OnFinished = std::move(Finished);
    FCompleted = false;
    hc->URL = Url;
    hc->MaxBodySize = MaxBodySize;
    hc->OnDocData = [this](THttpClient*, const char*, uint32_t Len) { FByteCount += Len; };
    hc->OnSendData = [this](THttpClient*, uint32_t Len) { FByteCount += Len; };
    hc->RcvdStream = &DestStream;
    hc->OnRequestDone = [this](THttpClient* Sender, int32_t Error) { OnComplete(Sender, Error); };
    hc->GetASync();
}

void TRV_Httpd::DoBeginOperation() {
    FStartTime = WatchDogTime = TickCount32();
    FreeServiceTimer(ProgTimer);
    if (TRV_MultiTimer* t = MultiTimer.load()) ProgTimer = t->CreateMSTimer(FProgressIntervalMs, [this] { E_Progress(); });
}

uint32_t TRV_Httpd::ElapsedMs() const { return TickCount32() - FStartTime; }

float TRV_Httpd::GetPercentageComplete() const {
    // Only GETs are made, so there is no other kind of request to count as complete.
    const int64_t length = hc->ContentLength();
    if (length <= 0) return 0.0f;
    return static_cast<float>(static_cast<double>(hc->RcvdCount()) * 100.0 / static_cast<double>(length));
}

void TRV_Httpd::E_Progress() {
    if (FCompleted) return;
    const float percent = GetPercentageComplete();
    if (percent != LastProgressPercent) {
        LastProgressPercent = percent;
        if (OnProgress) OnProgress(this, percent);
        WatchDogTime = TickCount32();
    }
    const uint64_t rcvd = hc->RcvdCount();
    if (rcvd == LastRcvdCount) {
        if (TickCount32() - WatchDogTime >= FStallTimeOutPeriodMs) {
            WatchDogTime = TickCount32();
            bool retryStall = false;
            if (FOnStall) FOnStall(this, retryStall);
            // Without a restart the transfer ends as failed; from a deferred call, outside this timer call-back.
            if (!retryStall) AsyncPostNotification(AsyncStallErrorNotifyHandle, 0);
        }
    } else {
        LastRcvdCount = rcvd;
        WatchDogTime = TickCount32();
    }
}

void TRV_Httpd::DoStallCompleteWithError(int32_t) {
    if (FCompleted) return;
    // The client's own request-done that the abort brings is not wanted: this is the end.
    hc->OnRequestDone = nullptr;
    hc->Abort();
    OnComplete(hc.get(), C_HttpStallError);
}

void TRV_Httpd::OnComplete(THttpClient*, int32_t Error) {
    if (FCompleted) return;
    FCompleted = true;
    FreeServiceTimer(ProgTimer);
    FileStream.reset();
    if (Error == 0) {
        const int status = hc->StatusCode();
        FErrorReason = status < 400 ? 0 : static_cast<uint16_t>(status);
    } else {
        FErrorReason = static_cast<uint16_t>(Error);
    }
    if (FErrorReason != 0) CheckEraseFile();
    DoComplete();
}

void TRV_Httpd::DoComplete() {
    FreeServiceTimer(ProgTimer);
    if (FErrorReason != 0 && FOnCompleteWithError && FOnCompleteWithError(this, FErrorReason)) return;
    // A copy: the handler may free this object, and with it the handler itself.
    if (T_OnHttpFinished finished = OnFinished) finished(this, FErrorReason);
}

// --- TRV_HttpdSmartRetry ----------------------------------------------------------------------------------------

TRV_HttpdSmartRetry::TRV_HttpdSmartRetry(T_OnCreateAndConfigureHttp OnCreateAndConfigureHttp,
                                         T_OnStartHttp OnStartHttp)
    : FOnCreateAndConfigureHttp(std::move(OnCreateAndConfigureHttp)), FOnStartHttp(std::move(OnStartHttp)) {
    RV_ASSERT_MAIN_THREAD();
    AsyncRetryNotifyHandle = AsyncRegisterCallBackEvent([this](int32_t Param) { DoStallRetry(Param); });
    StartTransfer();
}

TRV_HttpdSmartRetry::~TRV_HttpdSmartRetry() {
    RV_ASSERT_MAIN_THREAD();
    FreeServiceTimer(RetryTimer);
    AsyncRemoveCallBackEvent(AsyncRetryNotifyHandle);
    FHttpd.reset();
}

void TRV_HttpdSmartRetry::StartTransfer() {
    FHttpd.reset();
    if (!FOnCreateAndConfigureHttp) return;
    FHttpd = FOnCreateAndConfigureHttp(this);
    if (!FHttpd) return;
    FHttpd->FOnCompleteWithError = [this](TRV_Httpd* Sender, uint16_t ErrorCode) {
        return OnCompleteWithError(Sender, ErrorCode);
    };
    FHttpd->FOnStall = [this](TRV_Httpd* Sender, bool& RetryEnabled) { OnOperationStalled(Sender, RetryEnabled); };
    if (FOnStartHttp) FOnStartHttp(this, FHttpd.get());
}

void TRV_HttpdSmartRetry::DoStallRetry(int32_t) { StartTransfer(); }

void TRV_HttpdSmartRetry::E_FatalAttemptRetry() {
    FreeServiceTimer(RetryTimer);
    StartTransfer();
}

bool TRV_HttpdSmartRetry::OnCompleteWithError(TRV_Httpd*, uint16_t ErrorCode) {
    ++FatalRetryCount;
    bool attemptRetry = FatalRetryCount <= FMaxFatalRetries;
    if (FOnFatalServerError) FOnFatalServerError(this, ErrorCode, attemptRetry);
    if (!attemptRetry) return false;
    FreeServiceTimer(RetryTimer);
    if (TRV_MultiTimer* t = MultiTimer.load())
        RetryTimer = t->CreateOneShotTimer(FDelayBetweenFatalRetriesMs, [this] { E_FatalAttemptRetry(); });
    // Without the timer service no retry could ever start: the failure is reported instead.
    return RetryTimer != C_NullTimerID;
}

void TRV_HttpdSmartRetry::OnOperationStalled(TRV_Httpd*, bool& RetryEnabled) {
    ++StallRetryCount;
    const bool attemptRetry = StallRetryCount <= FMaxStallRetries;
    bool retry = attemptRetry;
    if (FOnhttpStall) FOnhttpStall(this, retry);
    RetryEnabled = retry;
    // The restart frees the stalled object, so it runs after this timer call-back has returned.
    if (retry) AsyncPostNotification(AsyncRetryNotifyHandle, 0);
}

} // namespace rv
