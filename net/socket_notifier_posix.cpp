// WSAAsyncSelect for POSIX: the main loop polls each registered socket's descriptor, and readiness becomes the
// Winsock event message, posted to the socket's window so that it reaches the main thread in FIFO order with
// every other message. What is polled follows Winsock's re-enabling rules (see net/socket_notifier.h): an
// event that was reported is not polled for again until the application's re-enabling call, which the socket
// primitives report here.

#include "net/socket_notifier.h"

#include "foundation/main_loop_posix.h"
#include "net/socket_events_posix.h"
#include "net/socket_primitives_internal.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <unordered_map>

namespace rv {

namespace {

using posix_sockets::WSAErrorFromErrno;

enum class TPhase : uint8_t {
    Fresh,      // a stream socket neither connecting, connected nor listening: nothing to poll
    Connecting, // waiting for the connect to finish
    Connected,
    Listening,
    Datagram,
    Closed, // close reported, or the connect failed: nothing more to report
};

struct TEntry {
    int Fd = -1;
    TPhase Phase = TPhase::Fresh;
    TWindowHandle Wnd = 0; // the request of the last WS_AsyncSelect
    uint32_t Msg = 0;
    uint32_t Events = 0;
    uint64_t WatchId = 0; // the main loop's watch, 0 before the first poll events
    short Watched = 0;    // the poll events the watch has now
    bool InputSeen = false;    // connected: pending data was seen (and reported); look again after a read
    bool ReadEnabled = true;   // datagram: a read event may be reported
    bool AcceptEnabled = true; // listening: an accept event may be reported
    bool WriteOwed = false;    // a write event is due as soon as the socket is writable
    bool Stalled = false;      // an error or hang-up with nothing to report: quiet until a re-enabling call
};

// Every socket made by the primitives, by handle. Never destroyed: a worker may close a socket while the
// program ends.
struct TTable {
    std::mutex Lock;
    std::unordered_map<TSocket, TEntry> Entries; // guarded by Lock
};

TTable& Table() {
    static auto* t = new TTable;
    return *t;
}

void OnReady(TSocket S, short Revents);

short PollEventsFor(const TEntry& e) {
    if (e.Wnd == 0 || e.Events == 0 || e.Stalled) return 0;
    const bool wantWrite = e.WriteOwed && (e.Events & C_FD_WRITE);
    switch (e.Phase) {
    case TPhase::Fresh:
    case TPhase::Closed: return 0;
    case TPhase::Connecting: return POLLOUT; // watched whatever was asked: the phase must move on
    case TPhase::Listening: return e.AcceptEnabled ? POLLIN : 0;
    case TPhase::Connected: {
        short ev = 0;
        // Input is watched for close too: a peer's close shows as input.
        if (!e.InputSeen && (e.Events & (C_FD_READ | C_FD_CLOSE))) ev |= POLLIN | POLLRDHUP;
        if (wantWrite) ev |= POLLOUT;
        return ev;
    }
    case TPhase::Datagram: {
        short ev = 0;
        if (e.ReadEnabled && (e.Events & C_FD_READ)) ev |= POLLIN;
        if (wantWrite) ev |= POLLOUT;
        return ev;
    }
    }
    return 0;
}

// Caller holds the table lock.
void UpdateWatch(TSocket S, TEntry& e) {
    short want = PollEventsFor(e);
    if (e.WatchId == 0) {
        if (want == 0) return;
        e.WatchId = posix::WatchFd(e.Fd, want, [S](short Revents) { OnReady(S, Revents); });
        e.Watched = want;
    } else if (want != e.Watched) {
        posix::SetWatchEvents(e.WatchId, want);
        e.Watched = want;
    }
}

void Post(TSocket S, const TEntry& e, uint32_t Event, int32_t Error) {
    if (!(e.Events & Event)) return;
    PostWindowMessage(e.Wnd, e.Msg, static_cast<uintptr_t>(S),
                      WS_MakeSelectReply(static_cast<uint16_t>(Event), static_cast<uint16_t>(Error)));
}

// Main thread, from the main loop's poll.
void OnReady(TSocket S, short Revents) {
    TTable& t = Table();
    std::lock_guard<std::mutex> lock(t.Lock);
    auto it = t.Entries.find(S);
    if (it == t.Entries.end()) return; // closed since the poll
    TEntry& e = it->second;
    if (e.Wnd == 0 || e.Events == 0) return;
    if (Revents & POLLNVAL) {
        e.Phase = TPhase::Closed;
        UpdateWatch(S, e);
        return;
    }
    bool acted = false;
    switch (e.Phase) {
    case TPhase::Connecting: {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(e.Fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err == 0) {
            sockaddr_storage peer;
            socklen_t plen = sizeof peer;
            if (getpeername(e.Fd, reinterpret_cast<sockaddr*>(&peer), &plen) != 0) {
                if (!(Revents & (POLLERR | POLLHUP))) break; // not finished yet
                err = ECONNREFUSED;
            }
        }
        acted = true;
        if (err == 0) {
            // Connected: connect, then the first write event.
            e.Phase = TPhase::Connected;
            e.InputSeen = false;
            Post(S, e, C_FD_CONNECT, 0);
            if (e.Events & C_FD_WRITE) {
                Post(S, e, C_FD_WRITE, 0);
                e.WriteOwed = false;
            } else {
                e.WriteOwed = true;
            }
        } else {
            // A failed connect is reported once, by the connect event alone.
            e.Phase = TPhase::Closed;
            Post(S, e, C_FD_CONNECT, WSAErrorFromErrno(err));
        }
        break;
    }
    case TPhase::Listening:
        if ((Revents & POLLIN) && e.AcceptEnabled) {
            e.AcceptEnabled = false;
            Post(S, e, C_FD_ACCEPT, 0);
            acted = true;
        }
        break;
    case TPhase::Connected:
        if ((Revents & POLLOUT) && e.WriteOwed) {
            e.WriteOwed = false;
            Post(S, e, C_FD_WRITE, 0);
            acted = true;
        }
        if (!e.InputSeen && (Revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR))) {
            // Data first: close is reported only once nothing is left to read. Input without a hang-up or an
            // error is data for certain; only then is there no need to look.
            char b;
            ssize_t n = 1;
            int err = 0;
            if (Revents & (POLLRDHUP | POLLHUP | POLLERR)) {
                n = recv(e.Fd, &b, 1, MSG_PEEK | MSG_DONTWAIT);
                err = errno;
            }
            if (n > 0) {
                e.InputSeen = true;
                Post(S, e, C_FD_READ, 0);
                acted = true;
            } else if (n == 0) {
                e.Phase = TPhase::Closed;
                Post(S, e, C_FD_CLOSE, 0);
                acted = true;
            } else if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
                e.Phase = TPhase::Closed;
                Post(S, e, C_FD_CLOSE, WSAErrorFromErrno(err));
                acted = true;
            }
        }
        break;
    case TPhase::Datagram:
        if ((Revents & POLLOUT) && e.WriteOwed) {
            e.WriteOwed = false;
            Post(S, e, C_FD_WRITE, 0);
            acted = true;
        }
        if ((Revents & (POLLIN | POLLERR)) && e.ReadEnabled) {
            e.ReadEnabled = false;
            Post(S, e, C_FD_READ, 0);
            acted = true;
        }
        break;
    case TPhase::Fresh:
    case TPhase::Closed: break;
    }
    // Error and hang-up are reported by poll whatever was asked; with nothing to tell, polling on would spin.
    if (!acted && (Revents & (POLLERR | POLLHUP))) e.Stalled = true;
    UpdateWatch(S, e);
}

// Runs Fn on the entry of S under the table lock, then brings its watch up to date. Unknown handles are ignored.
template <class F>
void WithEntry(TSocket S, F Fn) {
    TTable& t = Table();
    std::lock_guard<std::mutex> lock(t.Lock);
    auto it = t.Entries.find(S);
    if (it == t.Entries.end()) return;
    Fn(it->second);
    UpdateWatch(S, it->second);
}

} // namespace

bool WS_AsyncSelect(TSocket S, TWindowHandle Wnd, uint32_t Msg, uint32_t Events) {
    TTable& t = Table();
    std::lock_guard<std::mutex> lock(t.Lock);
    auto it = t.Entries.find(S);
    if (it == t.Entries.end()) {
        detail::SetLastWSError(C_WSAENOTSOCK);
        return false;
    }
    TEntry& e = it->second;
    // Like Winsock, a socket with an event request is non-blocking, and stays so when the request is dropped.
    int flags = fcntl(e.Fd, F_GETFL);
    if (flags < 0 || (!(flags & O_NONBLOCK) && fcntl(e.Fd, F_SETFL, flags | O_NONBLOCK) != 0)) {
        detail::SetLastWSError(WSAErrorFromErrno(errno));
        return false;
    }
    e.Wnd = Wnd;
    e.Msg = Msg;
    e.Events = Events;
    // A new request starts from a clean record: whatever holds now is reported again.
    e.InputSeen = false;
    e.ReadEnabled = true;
    e.AcceptEnabled = true;
    e.Stalled = false;
    if (e.Phase == TPhase::Connected || e.Phase == TPhase::Datagram) e.WriteOwed = true;
    UpdateWatch(S, e);
    return true;
}

namespace detail {
// Handles are never reused here, so an event for a closed socket matches no object: nothing to mark.
void BeforeSocketClose(TSocket) {}
void RememberEventWindow(TSocket, uintptr_t) {}
void InheritEventWindow(TSocket, TSocket) {}
bool EventIsStale(TSocket, uintptr_t) { return false; }
void CloseMarkerReached(TSocket, uintptr_t) {}
void ForgetEventWindow(uintptr_t) {}
} // namespace detail

namespace posix_sockets {

void OnSocketCreated(TSocket S, bool Stream) {
    TTable& t = Table();
    std::lock_guard<std::mutex> lock(t.Lock);
    TEntry e;
    e.Fd = FdOf(S);
    e.Phase = Stream ? TPhase::Fresh : TPhase::Datagram;
    t.Entries[S] = e;
}

void OnConnectStarted(TSocket S) {
    WithEntry(S, [](TEntry& e) {
        if (e.Phase == TPhase::Fresh) e.Phase = TPhase::Connecting;
    });
}

void OnListening(TSocket S) {
    WithEntry(S, [](TEntry& e) {
        e.Phase = TPhase::Listening;
        e.AcceptEnabled = true;
        e.Stalled = false;
    });
}

void OnAccepted(TSocket Listen, TSocket New) {
    TTable& t = Table();
    std::lock_guard<std::mutex> lock(t.Lock);
    TEntry e;
    e.Fd = FdOf(New);
    e.Phase = TPhase::Connected;
    e.WriteOwed = true;
    auto l = t.Entries.find(Listen);
    if (l != t.Entries.end()) {
        e.Wnd = l->second.Wnd;
        e.Msg = l->second.Msg;
        e.Events = l->second.Events;
    }
    TEntry& stored = t.Entries[New] = e;
    UpdateWatch(New, stored);
}

void OnReadCalled(TSocket S) {
    WithEntry(S, [](TEntry& e) {
        e.InputSeen = false;
        e.ReadEnabled = true;
        e.Stalled = false;
    });
}

void OnAcceptCalled(TSocket S) {
    WithEntry(S, [](TEntry& e) {
        e.AcceptEnabled = true;
        e.Stalled = false;
    });
}

void OnSendWouldBlock(TSocket S) {
    WithEntry(S, [](TEntry& e) {
        e.WriteOwed = true;
        e.Stalled = false;
    });
}

void OnClosing(TSocket S) {
    TTable& t = Table();
    std::lock_guard<std::mutex> lock(t.Lock);
    auto it = t.Entries.find(S);
    if (it == t.Entries.end()) return;
    if (it->second.WatchId) posix::UnwatchFd(it->second.WatchId);
    t.Entries.erase(it);
}

} // namespace posix_sockets

} // namespace rv
