#pragma once
// POSIX only: the link between the socket primitives and the notifier's emulation of Winsock's event rules.
// The primitives tell the emulation what the application did to a socket; the emulation decides which events
// may be posted next. Every function here may be called from any thread.

#include "net/socket_types.h"

#include <cstdint>

namespace rv::posix_sockets {

// The descriptor of a handle (-1 for the invalid handle).
inline int FdOf(TSocket S) { return static_cast<int>(static_cast<uint32_t>(S)); }
// A new, never reused handle for a freshly opened descriptor.
TSocket MakeHandle(int Fd);

// errno (or 0) to the Winsock code; would-block is 10035.
int32_t WSAErrorFromErrno(int Errno);

void OnSocketCreated(TSocket S, bool Stream);
// A connect was started (or finished at once): the connect event follows when the socket is watched.
void OnConnectStarted(TSocket S);
void OnListening(TSocket S);
// A connection accepted from Listen: it starts connected, with the listening socket's event request
// (Winsock's inheritance), and owes its first write event.
void OnAccepted(TSocket Listen, TSocket New);
// Re-enabling calls.
void OnReadCalled(TSocket S);
void OnAcceptCalled(TSocket S);
void OnSendWouldBlock(TSocket S);
// The socket is about to be closed: no callback touches its descriptor once this returns.
void OnClosing(TSocket S);

} // namespace rv::posix_sockets
