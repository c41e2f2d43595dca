#include "net/socket_notifier.h"

#include "foundation/thread_contract.h"
#include "net/socket_primitives_internal.h"

#include <algorithm>

namespace rv {

std::atomic<T_WSAsyncSocketNotifier*> WSFOwner{nullptr};

T_WSAsyncSocketNotifier::T_WSAsyncSocketNotifier() { RV_ASSERT_MAIN_THREAD(); }

T_WSAsyncSocketNotifier::~T_WSAsyncSocketNotifier() {
    RV_ASSERT_MAIN_THREAD();
    std::lock_guard<std::recursive_mutex> lock(WS_SessionCS());
    // The close markers queued for this window go with it, after the closes below have posted theirs.
    struct TForget {
        TWindowHandle Wnd;
        ~TForget() { detail::ForgetEventWindow(Wnd); }
    } forget{FWindowHandle};
    // Servers with clients first: closing a client removes it from this list, so scan again from the new end
    // after every shutdown.
    for (;;) {
        auto it = std::find_if(enhSockList.rbegin(), enhSockList.rend(),
                               [](TWS_SocketObj* o) { return o->HasClientsToShutDown(); });
        if (it == enhSockList.rend()) break;
        TWS_SocketObj* server = *it;
        server->ShutDownServerSession();
        // A server whose shutdown left clients behind would be found again for ever; it is done with.
        if (server->HasClientsToShutDown()) {
            server->FOwner = nullptr;
            server->FOwnerWindow = 0;
            std::erase(enhSockList, server);
        }
    }
    // The objects still here outlive the notifier; they must not reach back into it.
    for (TWS_SocketObj* o : enhSockList) {
        o->FOwner = nullptr;
        o->FOwnerWindow = 0;
    }
    enhSockList.clear();
}

void T_WSAsyncSocketNotifier::WndProc(TMessage& Message) {
    RV_ASSERT_MAIN_THREAD();
    if (Message.Msg == C_WM_WSSOCKET_CLOSED) {
        detail::CloseMarkerReached(static_cast<TSocket>(Message.WParam), FWindowHandle);
        Message.Result = 1;
        return;
    }
    if (Message.Msg != C_WM_WSASYNC_SELECT && Message.Msg != C_WM_WSREAD_AGAIN) {
        TRV_WndMsgProcessor::WndProc(Message);
        return;
    }
    const TSocket socket = static_cast<TSocket>(Message.WParam);
    Message.Result = 1;
    if (detail::EventIsStale(socket, FWindowHandle)) return;
    const auto event = static_cast<uint16_t>(Message.LParam & 0xffff);
    const auto error = static_cast<uint16_t>((static_cast<uintptr_t>(Message.LParam) >> 16) & 0xffff);
    {
        std::lock_guard<std::recursive_mutex> lock(WS_SessionCS());
        // From the last to the first. A handler may add or free other objects, so the walk goes on below the
        // called object's position in the list as it is after the call: no object is called twice, and one that
        // has left the list is never called.
        for (size_t i = enhSockList.size(); i > 0;) {
            --i;
            TWS_SocketObj* o = enhSockList[i];
            if (o->FSocket.load() != socket) continue;
            try {
                o->ProcessEvent(event, error);
            } catch (...) {
                // Errors inside network event handling end here; the connection goes on.
            }
            auto it = std::find(enhSockList.begin(), enhSockList.end(), o);
            i = it != enhSockList.end() ? static_cast<size_t>(it - enhSockList.begin())
                                        : std::min(i, enhSockList.size());
        }
    }
}

TWS_SocketObj::TWS_SocketObj() {
    if (WS_Start()) SetOwner(WSFOwner.load());
}

TWS_SocketObj::~TWS_SocketObj() {
    LeaveNotifier();
    ShutDownSocket();
}

void TWS_SocketObj::SetOwner(T_WSAsyncSocketNotifier* v) {
    std::lock_guard<std::recursive_mutex> lock(WS_SessionCS());
    if (FOwner) std::erase(FOwner->enhSockList, this);
    FOwner = v;
    FOwnerWindow = v ? v->WindowHandle() : 0;
    if (v) v->enhSockList.push_back(this);
}

T_WSAsyncSocketNotifier* TWS_SocketObj::Owner() const {
    std::lock_guard<std::recursive_mutex> lock(WS_SessionCS());
    return FOwner;
}

bool TWS_SocketObj::SetSocketEvents(uint32_t Events) {
    const TWindowHandle wnd = FOwnerWindow.load();
    if (!wnd && Events != 0) {
        detail::SetLastWSError(C_WSANOTINITIALISED);
        return false;
    }
    return WS_AsyncSelect(FSocket.load(), wnd, C_WM_WSASYNC_SELECT, Events);
}

void TWS_SocketObj::ShutDownSocket() {
    TSocket s = FSocket.load();
    if (!SocketIsOpen(s)) return;
    SetSocketEvents(0);
    // Invalid before the close, so the notifier stops matching this object to the handle.
    FSocket = C_InvalidSocket;
    WS_CloseSocket(s);
}

void TWS_SocketObj::ProcessEvent(uint16_t /*EventId*/, uint16_t /*ErrorCode*/) {}

} // namespace rv
