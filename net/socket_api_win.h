#pragma once
// Win32 side of the socket primitives: the Winsock headers and the few things in which Winsock differs from the
// BSD calls. Private to net/socket_primitives.cpp, which includes it through TOLVANE_SOCKET_API (set by
// net/CMakeLists.txt). Every function here may be called from any thread.

#include "net/socket_primitives_internal.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

namespace rv::socket_api {

using TNative = SOCKET;
using TSockLen = int;
constexpr TNative C_InvalidNative = INVALID_SOCKET;
static_assert(sizeof(TSocket) == sizeof(SOCKET));
static_assert(C_InvalidSocket == INVALID_SOCKET);

constexpr int C_CreateFlags = 0;
constexpr int C_ShutdownBoth = SD_BOTH;
constexpr int C_DrainFlags = 0;
constexpr int C_SendFlags = 0;
// Winsock fails a datagram longer than the buffer by itself (10040).
constexpr int C_RecvFromFlags = 0;

inline TNative NativeOf(TSocket S) { return S; }
inline TSocket AdoptNative(TNative S) { return S; }
inline int32_t LastError() { return WSAGetLastError(); }
inline int CloseNative(TNative S) { return closesocket(S); }

// Winsock's own bind rule is the one wanted.
inline void BeforeBind(TNative) {}

inline TNative AcceptNative(TNative Listen, sockaddr_in& Addr, TSockLen& Len) {
    return accept(Listen, reinterpret_cast<sockaddr*>(&Addr), &Len);
}

// WSAAsyncSelect keeps Winsock's event rules by itself; only the close markers need the window a socket asked
// its events of (see detail::BeforeSocketClose).
inline void SocketCreated(TSocket, bool) {}
inline void ConnectStarted(TSocket) {}
inline void Listening(TSocket) {}
inline void AcceptCalled(TSocket) {}
inline void Accepted(TSocket Listen, TSocket New) { detail::InheritEventWindow(Listen, New); }
inline void ReadCalled(TSocket) {}
inline void SendWouldBlock(TSocket) {}
inline void BeforeShutdown(TSocket) {}
// Before the handle can be reused: the events still queued for it are stale from here on.
inline void BeforeNativeClose(TSocket S) { detail::BeforeSocketClose(S); }

} // namespace rv::socket_api
