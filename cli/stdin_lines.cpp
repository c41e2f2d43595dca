#include "cli/stdin_lines.h"

#include <deque>
#include <mutex>
#include <thread>

namespace cli {

namespace {
constexpr uint32_t C_WM_STDIN_LINES = rv::WM_APP_BASE + 40;
constexpr unsigned long C_ReadChunk = 4096;
} // namespace

// Shared by the reading thread and the main thread; the thread keeps it alive for as long as it runs.
struct TStdinLines::TShared {
    std::mutex Lock;
    std::deque<std::string> Lines; // guarded by Lock
    bool Ended = false;            // guarded by Lock: the input ended
    bool Closed = false;           // guarded by Lock: the main thread takes nothing more
    rv::TWindowHandle Window = 0;  // set before the thread starts
};

class TStdinLines::TWindow : public rv::TRV_WndMsgProcessor {
public:
    TWindow(std::shared_ptr<TShared> Shared, std::function<void(const std::string&)> OnLine,
            std::function<void()> OnEnd)
        : FShared(std::move(Shared)), FOnLine(std::move(OnLine)), FOnEnd(std::move(OnEnd)) {}

    void WndProc(rv::TMessage& Message) override {
        if (Message.Msg != C_WM_STDIN_LINES) {
            TRV_WndMsgProcessor::WndProc(Message);
            return;
        }
        // One line at a time, the lock released around the handler. A handler may pump messages and so come back
        // here: the lines that arrive meanwhile wait for it, in order.
        if (FInHandler) return;
        FInHandler = true;
        struct TReset {
            bool& Flag;
            ~TReset() { Flag = false; }
        } reset{FInHandler};
        for (;;) {
            std::string line;
            bool end = false;
            {
                std::lock_guard<std::mutex> lock(FShared->Lock);
                if (FShared->Closed) return;
                if (!FShared->Lines.empty()) {
                    line = std::move(FShared->Lines.front());
                    FShared->Lines.pop_front();
                } else if (FShared->Ended && !FEndDelivered) {
                    end = FEndDelivered = true;
                } else {
                    return;
                }
            }
            if (end) {
                if (FOnEnd) FOnEnd();
                return;
            }
            if (FOnLine) FOnLine(line);
        }
    }

private:
    std::shared_ptr<TShared> FShared;
    std::function<void(const std::string&)> FOnLine;
    std::function<void()> FOnEnd;
    bool FEndDelivered = false;
    bool FInHandler = false;
};

TStdinLines::TStdinLines(std::function<void(const std::string& Line)> OnLine, std::function<void()> OnEnd)
    : FShared(std::make_shared<TShared>()) {
    FWindow = std::make_unique<TWindow>(FShared, std::move(OnLine), std::move(OnEnd));
    FShared->Window = FWindow->WindowHandle();
    std::thread([shared = FShared] {
        std::string partial;
        char buffer[C_ReadChunk];
        for (;;) {
            const long n = detail::ReadStdin(buffer, sizeof buffer);
            std::deque<std::string> lines;
            if (n > 0) {
                partial.append(buffer, static_cast<size_t>(n));
                size_t start = 0, nl;
                while ((nl = partial.find('\n', start)) != std::string::npos) {
                    std::string line = partial.substr(start, nl - start);
                    if (!line.empty() && line.back() == '\r') line.pop_back();
                    lines.push_back(std::move(line));
                    start = nl + 1;
                }
                partial.erase(0, start);
            } else if (!partial.empty()) {
                if (partial.back() == '\r') partial.pop_back();
                lines.push_back(std::move(partial));
                partial.clear();
            }
            {
                std::lock_guard<std::mutex> lock(shared->Lock);
                if (shared->Closed) return;
                for (std::string& l : lines) shared->Lines.push_back(std::move(l));
                if (n <= 0) shared->Ended = true;
                if (!lines.empty() || n <= 0) rv::PostWindowMessage(shared->Window, C_WM_STDIN_LINES, 0, 0);
            }
            if (n <= 0) return;
        }
    }).detach();
}

TStdinLines::~TStdinLines() {
    {
        std::lock_guard<std::mutex> lock(FShared->Lock);
        FShared->Closed = true;
    }
    FWindow.reset();
}

} // namespace cli
