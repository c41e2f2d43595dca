#include "net/socket_notifier.h"

#include "net/socket_primitives_internal.h"

#include <winsock2.h>
#include <windows.h>

#include <map>
#include <mutex>
#include <utility>
#include <unordered_map>

namespace rv {

namespace {

// What a close must mark: the window each socket asked its events of, and the markers still on their way, by
// socket and window.
struct TCloseMarks {
    std::mutex Lock;
    std::unordered_map<TSocket, TWindowHandle> Windows;   // guarded by Lock
    std::map<std::pair<TSocket, TWindowHandle>, int> Pending; // guarded by Lock: markers posted, not yet reached
};

TCloseMarks& Marks() {
    // Never destroyed: a worker may close a socket while the program ends.
    static auto* m = new TCloseMarks;
    return *m;
}

} // namespace

bool WS_AsyncSelect(TSocket S, TWindowHandle Wnd, uint32_t Msg, uint32_t Events) {
    // Nothing asked of no window: a socket whose notifier is gone has no request left that could post.
    if (Wnd == 0 && Events == 0) return true;
    detail::RememberEventWindow(S, Wnd);
    if (WSAAsyncSelect(S, reinterpret_cast<HWND>(Wnd), Msg, static_cast<long>(Events)) != 0) {
        detail::SetLastWSError(WSAGetLastError());
        return false;
    }
    return true;
}

namespace detail {

void RememberEventWindow(TSocket S, uintptr_t Wnd) {
    if (Wnd == 0) return;
    TCloseMarks& m = Marks();
    std::lock_guard<std::mutex> lock(m.Lock);
    m.Windows[S] = Wnd;
}

void InheritEventWindow(TSocket Listen, TSocket S) {
    TCloseMarks& m = Marks();
    std::lock_guard<std::mutex> lock(m.Lock);
    auto it = m.Windows.find(Listen);
    if (it != m.Windows.end()) m.Windows[S] = it->second;
}

void BeforeSocketClose(TSocket S) {
    TCloseMarks& m = Marks();
    std::lock_guard<std::mutex> lock(m.Lock);
    auto it = m.Windows.find(S);
    if (it == m.Windows.end()) return;
    const TWindowHandle wnd = it->second;
    m.Windows.erase(it);
    // Counted before it is posted, so the main thread can never reach a marker it does not know of.
    const auto key = std::make_pair(S, wnd);
    ++m.Pending[key];
    if (!PostWindowMessage(wnd, C_WM_WSSOCKET_CLOSED, static_cast<uintptr_t>(S), 0)) {
        if (--m.Pending[key] <= 0) m.Pending.erase(key);
    }
}

bool EventIsStale(TSocket S, uintptr_t Wnd) {
    TCloseMarks& m = Marks();
    std::lock_guard<std::mutex> lock(m.Lock);
    return m.Pending.count(std::make_pair(S, Wnd)) != 0;
}

void CloseMarkerReached(TSocket S, uintptr_t Wnd) {
    TCloseMarks& m = Marks();
    std::lock_guard<std::mutex> lock(m.Lock);
    auto it = m.Pending.find(std::make_pair(S, Wnd));
    if (it != m.Pending.end() && --it->second <= 0) m.Pending.erase(it);
}

void ForgetEventWindow(uintptr_t Wnd) {
    TCloseMarks& m = Marks();
    std::lock_guard<std::mutex> lock(m.Lock);
    std::erase_if(m.Pending, [Wnd](const auto& p) { return p.first.second == Wnd; });
    std::erase_if(m.Windows, [Wnd](const auto& p) { return p.second == Wnd; });
}

} // namespace detail

} // namespace rv
