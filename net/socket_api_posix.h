#pragma once
// POSIX side of the socket primitives: the system headers and the few things in which the BSD calls differ
// from Winsock's. Private to net/socket_primitives.cpp, which includes it through TOLVANE_SOCKET_API (set by
// net/CMakeLists.txt). Every function here may be called from any thread.

#include "net/socket_events_posix.h"
#include "net/socket_primitives_internal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace rv::socket_api {

using TNative = int;
using TSockLen = socklen_t;
constexpr TNative C_InvalidNative = -1;

// Descriptors are not inherited by the programs this one launches.
constexpr int C_CreateFlags = SOCK_CLOEXEC;
constexpr int C_ShutdownBoth = SHUT_RDWR;
// After the shutdown a read returns 0 once the queue is empty, where Winsock fails; either ends the drain.
constexpr int C_DrainFlags = MSG_DONTWAIT;
// A connection that is gone is an error result, never SIGPIPE.
constexpr int C_SendFlags = MSG_NOSIGNAL;
// The result is the datagram's real length, so a datagram longer than the buffer is seen.
constexpr int C_RecvFromFlags = MSG_TRUNC;

inline TNative NativeOf(TSocket S) { return posix_sockets::FdOf(S); }
// A freshly opened descriptor's handle, never reused.
inline TSocket AdoptNative(TNative Fd) { return posix_sockets::MakeHandle(Fd); }
// The Winsock code of the call that just failed.
inline int32_t LastError() { return posix_sockets::WSAErrorFromErrno(errno); }
inline int CloseNative(TNative Fd) { return close(Fd); }

// Winsock's bind rule for stream sockets: a port held only by closed connections (TIME_WAIT) can be bound again.
inline void BeforeBind(TNative Fd) {
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(Fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM) {
        int on = 1;
        setsockopt(Fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
}

// Like Winsock, the new socket is non-blocking when the listening one is.
inline TNative AcceptNative(TNative Listen, sockaddr_in& Addr, TSockLen& Len) {
    int flags = fcntl(Listen, F_GETFL);
    return accept4(Listen, reinterpret_cast<sockaddr*>(&Addr), &Len,
                   SOCK_CLOEXEC | (flags >= 0 && (flags & O_NONBLOCK) ? SOCK_NONBLOCK : 0));
}

// What the application did to a socket, for the notifier's emulation of Winsock's event rules.
inline void SocketCreated(TSocket S, bool Stream) { posix_sockets::OnSocketCreated(S, Stream); }
inline void ConnectStarted(TSocket S) { posix_sockets::OnConnectStarted(S); }
inline void Listening(TSocket S) { posix_sockets::OnListening(S); }
inline void AcceptCalled(TSocket Listen) { posix_sockets::OnAcceptCalled(Listen); }
inline void Accepted(TSocket Listen, TSocket New) { posix_sockets::OnAccepted(Listen, New); }
inline void ReadCalled(TSocket S) { posix_sockets::OnReadCalled(S); }
inline void SendWouldBlock(TSocket S) { posix_sockets::OnSendWouldBlock(S); }
// Before the shutdown: the descriptor's watch ends while the descriptor is still open.
inline void BeforeShutdown(TSocket S) { posix_sockets::OnClosing(S); }
// Handles are never reused: nothing to mark before the descriptor goes.
inline void BeforeNativeClose(TSocket) {}

} // namespace rv::socket_api
