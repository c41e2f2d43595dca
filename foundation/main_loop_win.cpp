#include "foundation/main_loop.h"

#include "foundation/errors.h"
#include "foundation/main_loop_internal.h"

#include <atomic>
#include <windows.h>

namespace rv {

namespace detail {
void SetMainThreadToCurrent();
}

namespace {

constexpr const char* kWindowClass = "TRV_WndMsgProcessor";
std::atomic<DWORD> GMainThreadId{0};

LRESULT CALLBACK StaticWndProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam) {
    auto* p = reinterpret_cast<TRV_WndMsgProcessor*>(GetWindowLongPtrA(Wnd, GWLP_USERDATA));
    if (!p) return DefWindowProcA(Wnd, Msg, WParam, LParam);
    TMessage m{Msg, WParam, LParam, 0};
    p->WndProc(m);
    return m.Result;
}

void RegisterWindowClassOnce() {
    static const ATOM atom = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = StaticWndProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kWindowClass;
        return RegisterClassA(&wc);
    }();
    if (!atom) throw ERV_Error("Cannot register the message window class");
}

} // namespace

TRV_WndMsgProcessor::TRV_WndMsgProcessor() {
    RegisterWindowClassOnce();
    // A message-only window: never shown, needs no display, receives posted and socket messages.
    HWND wnd = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr),
                               nullptr);
    if (!wnd) throw ERV_Error("Cannot create a message window");
    SetWindowLongPtrA(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    FWindowHandle = reinterpret_cast<TWindowHandle>(wnd);
}

TRV_WndMsgProcessor::~TRV_WndMsgProcessor() {
    HWND wnd = reinterpret_cast<HWND>(FWindowHandle);
    SetWindowLongPtrA(wnd, GWLP_USERDATA, 0);
    DestroyWindow(wnd);
}

void TRV_WndMsgProcessor::WndProc(TMessage& Message) {
    Message.Result = DefWindowProcA(reinterpret_cast<HWND>(FWindowHandle), Message.Msg, Message.WParam,
                                    Message.LParam);
}

bool PostWindowMessage(TWindowHandle Wnd, uint32_t Msg, uintptr_t WParam, intptr_t LParam) {
    return PostMessageA(reinterpret_cast<HWND>(Wnd), Msg, WParam, LParam) != 0;
}

int RunMessageLoop() {
    MSG m;
    while (!ApplicationTerminated()) {
        BOOL r = GetMessageA(&m, nullptr, 0, 0);
        if (r == 0 || r == -1) {
            detail::MarkTerminated(r == 0 ? static_cast<int>(m.wParam) : detail::ExitCode());
            break;
        }
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    return detail::ExitCode();
}

void WaitForMessages(uint32_t TimeoutMs) {
    MsgWaitForMultipleObjectsEx(0, nullptr, TimeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

namespace detail {

int PumpWaitingMessages(int MaxMessages, const std::function<bool(uint32_t Msg)>& Discards, uintptr_t Window) {
    int n = 0;
    MSG m;
    while (n < MaxMessages && !ApplicationTerminated() &&
           PeekMessageA(&m, reinterpret_cast<HWND>(Window), 0, 0, PM_REMOVE)) {
        ++n;
        if (m.message == WM_QUIT) {
            MarkTerminated(static_cast<int>(m.wParam));
            break;
        }
        if (Discards(m.message)) continue;
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    return n;
}

void InitMainLoopBackend() {
    SetMainThreadToCurrent();
    GMainThreadId = GetCurrentThreadId();
    MSG m;
    // Make sure the thread has a message queue before any other thread posts to it.
    PeekMessageA(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
}

void FinishMainLoopBackend() {}

void WakeMainLoop() {
    if (DWORD id = GMainThreadId.load()) PostThreadMessageA(id, WM_NULL, 0, 0);
}

} // namespace detail

} // namespace rv
