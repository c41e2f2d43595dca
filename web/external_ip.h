#pragma once
// T_ExternalIp finds this host's public IPv4 address by fetching an address-echo page: the address is read
// from the page's title, or, when the title yields none, from the page's text (which serves plain-text echo
// services). Pages are tried in order; each gets the retries of TRV_HttpdSmartRetry, and a page that fails or
// shows no address other players could reach passes the turn to the next. The address is reported at most once;
// when every page failed, the failure event (when assigned) says so, else the object stays silent.
//
// Threads: main thread only.

#include "foundation/streams.h"
#include "net/socket_types.h"
#include "web/html_parser.h"
#include "web/http_download.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rv {

// Plain-HTTP pages that show the caller's address, tried in this order.
extern const std::vector<std::string> C_ExternalIpUrls;
// The longest page read.
constexpr uint64_t C_ExternalIpMaxPage = 64 * 1024;

// Four parts joined by ".", each one to three decimal digits not above 255, into an address in network byte order
// (the first part in the first byte). False, and Ip untouched, for anything else.
bool IPStrToLongWord(const std::string& Text, T_NumericIpAddress& Ip);
// The address rule for a title or a text: from its first decimal digit take at most 16 characters, cut what
// follows their last digit, and read the rest with IPStrToLongWord. 0 when that yields nothing.
T_NumericIpAddress ExternalIpFromText(const std::string& Text);
// False for addresses other players cannot reach: 0.0.0.0/8, 10/8, 100.64/10, 127/8, 169.254/16, 172.16/12,
// 192.168/16, 224/4 and 240/4.
bool IsReachableAddress(T_NumericIpAddress Ip);

// The periods and counts of the look-up's transfers; the program keeps the defaults, the tests shorten them.
struct T_ExternalIpTiming {
    uint32_t ProgressIntervalMs = C_HttpProgressIntervalMs;
    uint32_t StallTimeOutPeriodMs = C_HttpStallTimeOutPeriodMs;
    uint32_t DelayBetweenFatalRetriesMs = C_HttpDelayBetweenFatalRetriesMs;
    uint32_t MaxStallRetries = C_HttpMaxStallRetries;
    uint32_t MaxFatalRetries = C_HttpMaxFatalRetries;
};

class T_ExternalIp {
public:
    using T_OnExternalIpRetrived = std::function<void(T_ExternalIp* Sender)>;
    // Stall: ErrorCode 0; failure: the error code. AttemptRetry: whether another attempt of this page follows.
    using T_OnAttemptFailed = std::function<void(T_ExternalIp* Sender, const std::string& Url, bool Stall,
                                                 uint16_t ErrorCode, bool AttemptRetry)>;
    using T_OnUrlFailed = std::function<void(T_ExternalIp* Sender, const std::string& Url, const std::string& Why)>;

    // Starts the look-up at once with the first page. Main thread.
    explicit T_ExternalIp(T_OnExternalIpRetrived OnExternalIpRetrived,
                          std::vector<std::string> Urls = C_ExternalIpUrls, T_ExternalIpTiming Timing = {});
    T_ExternalIp(const T_ExternalIp&) = delete;
    T_ExternalIp& operator=(const T_ExternalIp&) = delete;
    // Main thread, never inside one of this object's events.
    ~T_ExternalIp();

    // 0 until found (network byte order).
    T_NumericIpAddress ExternalIp() const { return FExternalIp; }
    // Every page has been tried without an address.
    bool Failed() const { return FFailed; }

    // Beyond the retrieval event, for a front end that shows what happens; set right after construction.
    T_OnAttemptFailed OnAttemptFailed;
    T_OnUrlFailed OnUrlFailed;
    std::function<void(T_ExternalIp* Sender)> OnExternalIpFailed;

protected:
    std::unique_ptr<TRV_Httpd> OnCreateAndConfigureHttp(TRV_HttpdSmartRetry* Sender);
    void OnStartHttp(TRV_HttpdSmartRetry* Sender, TRV_Httpd* Httpd);
    void E_OnhttpFatalServerError(TRV_HttpdSmartRetry* Sender, uint16_t ErrorCode, bool& AttemptRetry);
    void E_OnhttpStall(TRV_HttpdSmartRetry* Sender, bool& AttemptRetry);
    void OnFinished(TRV_Httpd* Sender, uint16_t ErrorCode);
    void E_pipOnTitle(TRV_ParseHtml* Sender, const std::string& Text);
    void DoExIpAv(int32_t);

private:
    void StartUrl();
    // The present page has failed: the next one starts from a deferred call (the present attempt is on the stack).
    void UrlFailed(const std::string& Why);
    void DoNextUrl(int32_t);

    T_NumericIpAddress FExternalIp = 0;
    T_OnExternalIpRetrived FOnExternalIpRetrived;
    int32_t AsyncExIpAvNotifyHandle = 0;
    int32_t AsyncNextUrlHandle = 0;
    std::unique_ptr<TMemoryStream> UrlMemStream;
    TRV_ParseHtml* ParseHtml = nullptr; // while a page is read
    std::unique_ptr<TRV_HttpdSmartRetry> http;
    std::vector<std::string> FUrls;
    size_t FUrlIndex = 0;
    T_ExternalIpTiming FTiming;
    bool FFailed = false;
    bool FReported = false;
};

} // namespace rv
