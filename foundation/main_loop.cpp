#include "foundation/main_loop.h"

#include "foundation/main_loop_internal.h"

#include <atomic>
#include <thread>

namespace rv {

namespace {
std::atomic<bool> GTerminated{false};
std::atomic<int> GExitCode{0};
std::atomic<std::thread::id> GMainThread{};
std::atomic<TWindowHandle> GAppWindow{0};
} // namespace

bool TRV_WndMsgProcessor::PostMessage(uint32_t Msg, uintptr_t WParam, intptr_t LParam) const {
    return PostWindowMessage(FWindowHandle, Msg, WParam, LParam);
}

void ApplicationTerminate(int ExitCode) {
    detail::MarkTerminated(ExitCode);
    detail::WakeMainLoop();
}

bool ApplicationTerminated() { return GTerminated.load(); }

void ResetApplicationTerminated() {
    GTerminated = false;
    GExitCode = 0;
}

bool IsMainThread() { return std::this_thread::get_id() == GMainThread.load(); }

void SetApplicationWindow(TWindowHandle Wnd) { GAppWindow = Wnd; }

namespace detail {

uintptr_t ApplicationWindow() { return GAppWindow.load(); }

void MarkTerminated(int Code) {
    GExitCode = Code;
    GTerminated = true;
}

int ExitCode() { return GExitCode.load(); }

void SetMainThreadToCurrent() { GMainThread = std::this_thread::get_id(); }

} // namespace detail

} // namespace rv
