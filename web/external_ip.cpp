#include "web/external_ip.h"

#include "foundation/deferred_calls.h"
#include "foundation/thread_contract.h"

#include <cstring>

namespace rv {

const std::vector<std::string> C_ExternalIpUrls = {
    "http://checkip.dyndns.org/",
    "http://api.ipify.org/",
    "http://icanhazip.com/",
    "http://ipecho.net/plain",
};

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

} // namespace

bool IPStrToLongWord(const std::string& Text, T_NumericIpAddress& Ip) {
    uint8_t bytes[4] = {};
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= Text.size() || Text[pos] != '.') return false;
            ++pos;
        }
        size_t digits = 0;
        unsigned value = 0;
        while (pos < Text.size() && IsDigit(Text[pos]) && digits < 4) {
            value = value * 10 + static_cast<unsigned>(Text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits < 1 || digits > 3 || value > 255) return false;
        bytes[part] = static_cast<uint8_t>(value);
    }
    if (pos != Text.size()) return false;
    // Network byte order: the first part is the first byte in memory.
    T_NumericIpAddress ip = 0;
    std::memcpy(&ip, bytes, sizeof ip);
    Ip = ip;
    return true;
}

T_NumericIpAddress ExternalIpFromText(const std::string& Text) {
    size_t first = 0;
    while (first < Text.size() && !IsDigit(Text[first])) ++first;
    if (first == Text.size()) return 0;
    std::string piece = Text.substr(first, 16);
    size_t last = piece.size();
    while (last > 0 && !IsDigit(piece[last - 1])) --last;
    piece.resize(last);
    T_NumericIpAddress ip = 0;
    if (piece.empty() || !IPStrToLongWord(piece, ip)) return 0;
    return ip;
}

bool IsReachableAddress(T_NumericIpAddress Ip) {
    uint8_t b[4];
    std::memcpy(b, &Ip, sizeof b);
    if (b[0] == 0 || b[0] == 10 || b[0] == 127 || b[0] >= 224) return false;
    if (b[0] == 100 && (b[1] & 0xC0) == 64) return false;
    if (b[0] == 169 && b[1] == 254) return false;
    if (b[0] == 172 && (b[1] & 0xF0) == 16) return false;
    if (b[0] == 192 && b[1] == 168) return false;
    return true;
}

// --- T_ExternalIp -----------------------------------------------------------------------------------------------

T_ExternalIp::T_ExternalIp(T_OnExternalIpRetrived OnExternalIpRetrived, std::vector<std::string> Urls,
                           T_ExternalIpTiming Timing)
    : FOnExternalIpRetrived(std::move(OnExternalIpRetrived)), FUrls(std::move(Urls)), FTiming(Timing) {
    RV_ASSERT_MAIN_THREAD();
    AsyncExIpAvNotifyHandle = AsyncRegisterCallBackEvent([this](int32_t Param) { DoExIpAv(Param); });
    AsyncNextUrlHandle = AsyncRegisterCallBackEvent([this](int32_t Param) { DoNextUrl(Param); });
    UrlMemStream = std::make_unique<TMemoryStream>();
    if (FUrls.empty()) {
        FFailed = true;
        AsyncPostNotification(AsyncNextUrlHandle, 0); // reports the failure from the loop, as a page would
        return;
    }
    StartUrl();
}

T_ExternalIp::~T_ExternalIp() {
    RV_ASSERT_MAIN_THREAD();
    http.reset();
    UrlMemStream.reset();
    AsyncRemoveCallBackEvent(AsyncExIpAvNotifyHandle);
    AsyncRemoveCallBackEvent(AsyncNextUrlHandle);
}

void T_ExternalIp::StartUrl() {
    http.reset();
    http = std::make_unique<TRV_HttpdSmartRetry>(
        [this](TRV_HttpdSmartRetry* Sender) { return OnCreateAndConfigureHttp(Sender); },
        [this](TRV_HttpdSmartRetry* Sender, TRV_Httpd* Httpd) { OnStartHttp(Sender, Httpd); });
}

std::unique_ptr<TRV_Httpd> T_ExternalIp::OnCreateAndConfigureHttp(TRV_HttpdSmartRetry* Sender) {
    Sender->FOnFatalServerError = [this](TRV_HttpdSmartRetry* S, uint16_t ErrorCode, bool& AttemptRetry) {
        E_OnhttpFatalServerError(S, ErrorCode, AttemptRetry);
    };
    Sender->FOnhttpStall = [this](TRV_HttpdSmartRetry* S, bool& AttemptRetry) { E_OnhttpStall(S, AttemptRetry); };
    Sender->FDelayBetweenFatalRetriesMs = FTiming.DelayBetweenFatalRetriesMs;
    Sender->FMaxStallRetries = FTiming.MaxStallRetries;
    Sender->FMaxFatalRetries = FTiming.MaxFatalRetries;
    auto httpd = std::make_unique<TRV_Httpd>();
    httpd->FProgressIntervalMs = FTiming.ProgressIntervalMs;
    httpd->FStallTimeOutPeriodMs = FTiming.StallTimeOutPeriodMs;
    httpd->MaxBodySize = C_ExternalIpMaxPage;
    httpd->OnFinished = [this](TRV_Httpd* S, uint16_t ErrorCode) { OnFinished(S, ErrorCode); };
    return httpd;
}

void T_ExternalIp::OnStartHttp(TRV_HttpdSmartRetry*, TRV_Httpd* Httpd) {
    UrlMemStream->Clear();
    Httpd->GetToStream(FUrls[FUrlIndex], *UrlMemStream,
                       [this](TRV_Httpd* S, uint16_t ErrorCode) { OnFinished(S, ErrorCode); });
}

void T_ExternalIp::E_OnhttpFatalServerError(TRV_HttpdSmartRetry*, uint16_t ErrorCode, bool& AttemptRetry) {
    // The retry object's proposal stands.
    if (OnAttemptFailed) OnAttemptFailed(this, FUrls[FUrlIndex], false, ErrorCode, AttemptRetry);
}

void T_ExternalIp::E_OnhttpStall(TRV_HttpdSmartRetry*, bool& AttemptRetry) {
    if (OnAttemptFailed) OnAttemptFailed(this, FUrls[FUrlIndex], true, 0, AttemptRetry);
}

void T_ExternalIp::OnFinished(TRV_Httpd*, uint16_t ErrorCode) {
    if (FReported || FFailed) return;
    if (ErrorCode != 0) {
        UrlFailed(HttpErrorText(ErrorCode));
        return;
    }
    TRV_ParseHtml reader;
    ParseHtml = &reader;
    reader.OnTitleText = [this](TRV_ParseHtml* S, const std::string& Text) { E_pipOnTitle(S, Text); };
    UrlMemStream->SetPosition(0);
    reader.ParseStream(*UrlMemStream);
    if (FExternalIp == 0) {
        // No title, or none with an address: the page's own text, read by the same rule.
        std::string text;
        reader.OnTitleText = nullptr;
        reader.OnBodyText = [&text](TRV_ParseHtml*, const std::string& Run) {
            if (text.size() < C_ExternalIpMaxPage) text += Run + " ";
        };
        UrlMemStream->SetPosition(0);
        reader.ParseStream(*UrlMemStream);
        const T_NumericIpAddress ip = ExternalIpFromText(text);
        if (ip != 0 && IsReachableAddress(ip)) {
            FExternalIp = ip;
            AsyncPostNotification(AsyncExIpAvNotifyHandle, 0);
        }
    }
    ParseHtml = nullptr;
    if (FExternalIp == 0) UrlFailed("the page shows no address that others can reach");
}

void T_ExternalIp::E_pipOnTitle(TRV_ParseHtml* Sender, const std::string& Text) {
    Sender->CancelParse();
    const T_NumericIpAddress ip = ExternalIpFromText(Text);
    if (ip == 0 || !IsReachableAddress(ip)) return;
    FExternalIp = ip;
    AsyncPostNotification(AsyncExIpAvNotifyHandle, 0);
}

void T_ExternalIp::DoExIpAv(int32_t) {
    if (FReported) return;
    FReported = true;
    if (FOnExternalIpRetrived) FOnExternalIpRetrived(this);
}

void T_ExternalIp::UrlFailed(const std::string& Why) {
    if (!FUrls.empty() && OnUrlFailed) OnUrlFailed(this, FUrls[FUrlIndex], Why);
    AsyncPostNotification(AsyncNextUrlHandle, 0);
}

void T_ExternalIp::DoNextUrl(int32_t) {
    if (FReported || FExternalIp != 0) return;
    if (!FFailed && FUrlIndex + 1 < FUrls.size()) {
        ++FUrlIndex;
        StartUrl();
        return;
    }
    http.reset();
    FFailed = true;
    if (OnExternalIpFailed) OnExternalIpFailed(this);
}

} // namespace rv
