#include "foundation/launch.h"

#include "foundation/message_box.h"
#include "foundation/message_pump.h"

namespace rv {

std::unique_ptr<TRV_LaunchExecutable> TRV_LaunchExecutable::Create(const std::string& FileName,
                                                                   const std::string& MainWindowClass,
                                                                   bool WaitUntilClosed, bool Hidden,
                                                                   int PlacementMode, const TRect& Rect,
                                                                   const std::string& Params) {
    auto l = std::make_unique<TRV_LaunchExecutable>();
    l->Launch(FileName, MainWindowClass, WaitUntilClosed, Hidden, PlacementMode, Rect, Params);
    return l;
}

void TRV_LaunchExecutable::DoWaitUntilClosed() { WaitForExit(0xFFFFFFFFu); }

std::unique_ptr<TRV_LaunchApplication> TRV_LaunchApplication::Create(const std::string& FileName,
                                                                    const std::string& MainWindowClass,
                                                                    bool ShowErrors, bool WaitUntilClosed,
                                                                    int PlacementMode, const TRect& Rect,
                                                                    const std::string& Params) {
    auto l = std::make_unique<TRV_LaunchApplication>();
    l->Launch(FileName, MainWindowClass, WaitUntilClosed, false, PlacementMode, Rect, Params);
    if (ShowErrors) {
        if (l->LaunchErrorCode == leFileNotFound)
            ShowErrorMessage("Could not find " + FileName);
        else if (l->LaunchErrorCode == leCreateFailed)
            ShowErrorMessage("Error " + l->LaunchErrorText + "\nloading " + FileName);
    }
    return l;
}

void TRV_LaunchApplication::DoWaitUntilClosed() {
    while (!WaitForExit(0)) {
        ProcessApplicationMessages(1000, pmoDisableKeysAndMouse);
        // Wakes for the next message or after a short pause, whichever comes first: no spinning.
        if (!WaitForExit(0)) WaitForMessages(20);
    }
}

std::vector<std::string> SplitCommandLine(const std::string& CommandLine) {
    std::vector<std::string> args;
    size_t i = 0, n = CommandLine.size();
    for (;;) {
        while (i < n && (CommandLine[i] == ' ' || CommandLine[i] == '\t')) ++i;
        if (i >= n) break;
        std::string arg;
        bool quoted = false;
        while (i < n && (quoted || (CommandLine[i] != ' ' && CommandLine[i] != '\t'))) {
            size_t slashes = 0;
            while (i < n && CommandLine[i] == '\\') {
                ++slashes;
                ++i;
            }
            if (i < n && CommandLine[i] == '"') {
                // 2n backslashes + quote: n backslashes and a quote toggle; 2n+1: n backslashes and a literal quote.
                arg.append(slashes / 2, '\\');
                if (slashes % 2) {
                    arg += '"';
                } else if (quoted && i + 1 < n && CommandLine[i + 1] == '"') {
                    arg += '"'; // "" inside quotes is a literal quote
                    ++i;
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                arg.append(slashes, '\\');
                if (i < n && (quoted || (CommandLine[i] != ' ' && CommandLine[i] != '\t'))) arg += CommandLine[i++];
            }
        }
        args.push_back(std::move(arg));
    }
    return args;
}

} // namespace rv
