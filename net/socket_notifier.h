#pragma once
// Socket events: the notifier's hidden window and the base class of every socket object.
//
// A socket object asks for events with SetSocketEvents; the platform (Win32: WSAAsyncSelect; POSIX: the
// emulation in socket_notifier_posix.cpp) posts message C_WM_WSASYNC_SELECT to the notifier's window with the
// socket handle in WParam and the event in the low, the error in the high 16 bits of LParam. The notifier calls
// ProcessEvent of every registered object that holds that handle, on the main thread, in FIFO order with the
// thread's other messages.
//
// Winsock's rules, which the POSIX emulation keeps: an event is reported once and then stays quiet until its
// re-enabling call: read until the next WS_Recv / WS_RecvFrom, accept until the next WS_Accept. Connect is
// reported once (the error in the high word when it failed, e.g. 10061 refused; a failed connect is followed by
// nothing else). Write is reported right after a successful connect, when asked for on a connected socket, and
// again only when a send would block and the buffer frees. Close is reported once, when the peer has closed and
// no data is left to read (10054 when the connection was reset). Asking again (WS_AsyncSelect) starts from a
// clean record: whatever holds at that moment is reported again.

#include "foundation/main_loop.h"
#include "net/socket_primitives.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace rv {

// Event bits.
constexpr uint32_t C_FD_READ = 1;
constexpr uint32_t C_FD_WRITE = 2;
constexpr uint32_t C_FD_OOB = 4;
constexpr uint32_t C_FD_ACCEPT = 8;
constexpr uint32_t C_FD_CONNECT = 16;
constexpr uint32_t C_FD_CLOSE = 32;

// The platform's socket notification, and the "read again" request that a session posts to itself.
constexpr uint32_t C_WM_WSASYNC_SELECT = WM_APP_BASE + 1; // 32769
constexpr uint32_t C_WM_WSREAD_AGAIN = WM_APP_BASE + 2;   // 32770
// Posted behind the events of a socket that was closed (see detail::BeforeSocketClose): WParam the handle.
constexpr uint32_t C_WM_WSSOCKET_CLOSED = WM_APP_BASE + 3; // 32771

constexpr intptr_t WS_MakeSelectReply(uint16_t Event, uint16_t Error) {
    return static_cast<intptr_t>(static_cast<uint32_t>(Event) | (static_cast<uint32_t>(Error) << 16));
}

// Asks the platform to post Msg to Wnd for the events of S (0: none; the socket stays non-blocking). Replaces
// any earlier request for S. Events that already hold are reported at once. Any thread; false with LastWSError.
bool WS_AsyncSelect(TSocket S, TWindowHandle Wnd, uint32_t Msg, uint32_t Events);

class TWS_SocketObj;

// The notifier's hidden window. Socket objects join and leave its list from any thread (a worker frees its own
// session); the window itself, the dispatch and the end belong to the main thread.
class T_WSAsyncSocketNotifier : public TRV_WndMsgProcessor {
public:
    // Main thread: the window that every socket event is posted to.
    T_WSAsyncSocketNotifier();
    // Shuts down, from the end of the list, every server that still has clients (scanning again from the new
    // end after each), then detaches the objects still registered: they live on without a notifier. Main thread.
    ~T_WSAsyncSocketNotifier() override;

    // Main thread: dispatches C_WM_WSASYNC_SELECT and C_WM_WSREAD_AGAIN under WS_SessionCS, from the last
    // registered object to the first (result 1); exceptions of the handlers end at this boundary. Events posted
    // for a socket closed since (its handle may name a new socket by now) are dropped. Other messages go to the
    // base.
    void WndProc(TMessage& Message) override;

    // The live socket objects, not owned. Guarded by WS_SessionCS.
    std::vector<TWS_SocketObj*> enhSockList;
};

// The notifier created by WS_Start; none before, and none again after WS_Finish.
extern std::atomic<T_WSAsyncSocketNotifier*> WSFOwner;

// Base of every socket object. FSocket is atomic because a worker thread may create or close its session's
// socket while the main thread compares handles in the notifier.
class TWS_SocketObj {
public:
    // Any thread (the library must have been started on the main thread before a worker makes one): starts the
    // library if needed and registers with WSFOwner.
    TWS_SocketObj();
    TWS_SocketObj(const TWS_SocketObj&) = delete;
    TWS_SocketObj& operator=(const TWS_SocketObj&) = delete;
    // Any thread: leaves the notifier under WS_SessionCS, then ShutDownSocket.
    virtual ~TWS_SocketObj();

    // Any thread. Leaves the present notifier's list (without being freed) and joins v's (none: no notifier).
    void SetOwner(T_WSAsyncSocketNotifier* v);
    T_WSAsyncSocketNotifier* Owner() const;
    // Any thread. Asks for the event bits on the notifier's window (0 stops all notifications); false with
    // LastWSError when the platform refuses, or 10093 when there is no notifier.
    bool SetSocketEvents(uint32_t Events);
    // Any thread. When FSocket is open: no more events, then WS_CloseSocket.
    void ShutDownSocket();

    // Main thread, under WS_SessionCS: one event for FSocket. Empty in the base.
    virtual void ProcessEvent(uint16_t EventId, uint16_t ErrorCode);

    // The server session overrides these: a notifier being destroyed shuts down every server that still has
    // clients, so client sessions close before the listening socket's library goes away. Main thread, under
    // WS_SessionCS.
    virtual bool HasClientsToShutDown() const { return false; }
    virtual void ShutDownServerSession() {}

    std::atomic<TSocket> FSocket{C_InvalidSocket};

protected:
    // Leaves the notifier now. A derived class whose destructor may run on a worker thread calls this first,
    // so the main thread can no longer dispatch to a half-destroyed object. Any thread; idempotent.
    void LeaveNotifier() { SetOwner(nullptr); }

private:
    friend class T_WSAsyncSocketNotifier;
    T_WSAsyncSocketNotifier* FOwner = nullptr; // guarded by WS_SessionCS
    // The owner's window, read without the lock: a worker asking for events never waits for the main thread's
    // dispatch to end.
    std::atomic<TWindowHandle> FOwnerWindow{0};
};

} // namespace rv
