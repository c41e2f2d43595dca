#pragma once
// The main thread's message loop and hidden message windows.
//
// Win32: a hidden (message-only) window per processor, created on the constructing thread, and the thread's
// message queue. POSIX: the same contract on one main loop: a FIFO queue of posted messages, delivered on the
// main thread, and a poll() over a wake pipe and the watched descriptors of the socket layer.
//
// The main thread is the thread that called StartFoundation (see foundation/synchronize.h).

#include <cstdint>
#include <functional>

namespace rv {

// A window handle (HWND on Win32, a never-reused number on POSIX). 0 is no window.
using TWindowHandle = uintptr_t;

// The user message base (WM_USER) and the application message base (WM_APP).
constexpr uint32_t WM_USER_BASE = 1024;
constexpr uint32_t WM_APP_BASE = 0x8000;

struct TMessage {
    uint32_t Msg = 0;
    uintptr_t WParam = 0;
    intptr_t LParam = 0;
    intptr_t Result = 0;
};

// A hidden window whose messages go to the virtual WndProc.
// Construct and destroy on the main thread; PostMessage may be called from any thread.
class TRV_WndMsgProcessor {
public:
    TRV_WndMsgProcessor();
    TRV_WndMsgProcessor(const TRV_WndMsgProcessor&) = delete;
    TRV_WndMsgProcessor& operator=(const TRV_WndMsgProcessor&) = delete;
    virtual ~TRV_WndMsgProcessor();

    TWindowHandle WindowHandle() const { return FWindowHandle; }
    // Any thread. False when the window is gone.
    bool PostMessage(uint32_t Msg, uintptr_t WParam, intptr_t LParam) const;

    // Called by the backend for every message of the window. The base passes the message to the default window
    // procedure and stores its result in Message.Result.
    virtual void WndProc(TMessage& Message);

protected:
    TWindowHandle FWindowHandle = 0;
};

// Posts to any window; any thread. False when the window does not exist.
bool PostWindowMessage(TWindowHandle Wnd, uint32_t Msg, uintptr_t WParam, intptr_t LParam);

// Runs the message loop on the main thread until ApplicationTerminate; returns the exit code given there.
int RunMessageLoop();
// Any thread: asks the loop (and the message pump) to end; the application counts as terminating from then on.
void ApplicationTerminate(int ExitCode = 0);
bool ApplicationTerminated();
// Main thread, for tests and for a program that runs its loop again: clears the terminating state.
void ResetApplicationTerminated();

// Main thread: waits until a message may be waiting or TimeoutMs passed. Dispatches nothing.
void WaitForMessages(uint32_t TimeoutMs);

// Whether the calling thread is the main thread.
bool IsMainThread();

} // namespace rv

namespace rv {
// The program's own main window, when it has one; the message pump gives its messages a second pass.
void SetApplicationWindow(TWindowHandle Wnd);
} // namespace rv
