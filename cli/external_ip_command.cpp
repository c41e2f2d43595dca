// tolvane-cli external-ip: finds this host's address as the Internet sees it, the way the launcher does.
//
// Prints the dotted address on stdout and exits 0, or exits 1 when no page gave one. What happens on the way goes
// to stderr, one JSON object per line, each with "event" and "t" (milliseconds since the start):
//   retry (url, error, reason, stall, again: whether another attempt of that page follows),
//   url_failed (url, reason), failed (reason).
// --url (repeatable) replaces the built-in list of pages.
#include "cli/commands.h"

#include "cli/json_lines.h"
#include "foundation/main_loop.h"
#include "net/multi_timer.h"
#include "net/socket_primitives.h"
#include "web/external_ip.h"

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace cli {

namespace {

using Json = nlohmann::json;

struct TExternalIpOptions {
    std::vector<std::string> Urls;
    uint32_t RetryDelayMs = rv::C_HttpDelayBetweenFatalRetriesMs;
    uint32_t StallMs = rv::C_HttpStallTimeOutPeriodMs;
};

class TLookUpRun {
public:
    int Run(const TExternalIpOptions& O) {
        FEvents = TJsonLines(stderr);
        rv::StartMultiTimer();
        rv::T_ExternalIpTiming timing;
        timing.DelayBetweenFatalRetriesMs = O.RetryDelayMs;
        timing.StallTimeOutPeriodMs = O.StallMs;
        int rc = 1;
        {
            auto lookUp = std::make_unique<rv::T_ExternalIp>(
                [&rc](rv::T_ExternalIp* S) {
                    const std::string line = rv::WS_IpToStr(S->ExternalIp()) + "\n";
                    std::fwrite(line.data(), 1, line.size(), stdout);
                    std::fflush(stdout);
                    rc = 0;
                    rv::ApplicationTerminate(0);
                },
                O.Urls.empty() ? rv::C_ExternalIpUrls : O.Urls, timing);
            lookUp->OnAttemptFailed = [this](rv::T_ExternalIp*, const std::string& Url, bool Stall, uint16_t Error,
                                             bool Again) {
                Emit("retry", {{"url", Url},
                               {"error", Stall ? 0 : Error},
                               {"reason", Stall ? std::string("no data for too long") : rv::HttpErrorText(Error)},
                               {"stall", Stall},
                               {"again", Again}});
            };
            std::string lastWhy = "no page to ask";
            lookUp->OnUrlFailed = [this, &lastWhy](rv::T_ExternalIp*, const std::string& Url, const std::string& Why) {
                lastWhy = Why;
                Emit("url_failed", {{"url", Url}, {"reason", Why}});
            };
            lookUp->OnExternalIpFailed = [this, &rc, &lastWhy](rv::T_ExternalIp*) {
                Emit("failed", {{"reason", "no page gave an address that others can reach; the last: " + lastWhy}});
                rc = 1;
                rv::ApplicationTerminate(1);
            };
            rv::RunMessageLoop();
        }
        rv::FinishMultiTimer();
        rv::WS_Finish();
        return rc;
    }

private:
    void Emit(const char* Event, const Json& Fields) { FEvents.Emit(Event, Fields); }

    TJsonLines FEvents{stderr}; // the retries and failures, as they happen
};

} // namespace

TCommand AddExternalIpCommand(CLI::App& App) {
    auto options = std::make_shared<TExternalIpOptions>();
    CLI::App* sub = App.add_subcommand("external-ip", "Find this host's address as seen from the Internet");
    sub->add_option("--url", options->Urls, "An http:// address-echo page (repeatable; replaces the built-in list)")
        ->check([](const std::string& Url) {
            rv::THttpUrl u;
            return rv::ParseHttpUrl(Url, u) ? std::string() : "not an http://host[:port]/path URL: " + Url;
        });
    sub->add_option("--retry-delay-ms", options->RetryDelayMs, "Wait between the attempts at a failing page")
        ->capture_default_str();
    sub->add_option("--stall-ms", options->StallMs, "A transfer without data for this long is restarted")
        ->capture_default_str()
        ->check(CLI::Range(1u, 3600000u));
    return {sub, [options] { return TLookUpRun().Run(*options); }};
}

} // namespace cli
