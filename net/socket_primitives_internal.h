#pragma once
// Private to the net library: the socket primitives' backend hooks, the notifier hooks the primitives call,
// and a test hook. Included by the net sources that implement or call them, and by tests that need the hook.

#include "net/socket_primitives.h"

#include <cstdint>
#include <string>
#include <vector>

namespace rv::detail {

// Backend: platform start-up and clean-up (0 or a Winsock code).
int32_t PlatformStartup();
int32_t PlatformCleanup();
// Backend: the host's interface addresses, in the platform's order.
std::vector<T_NumericIpAddress> InterfaceAddresses();
// Backend: blocking look-up of a host name or dotted address: its first IPv4 address, or 0 with the Winsock
// code in Error. Any thread.
T_NumericIpAddress ResolveIPv4(const std::string& Name, int32_t& Error);
// Stores Error in LastWSError unless it is would-block; returns Error.
int32_t SetLastWSError(int32_t Error);
// Win32 reuses a closed socket's handle value at once, while events posted for the closed socket may still wait
// in the notifier's queue; delivered by handle they would reach the new socket. So closing a socket that asked
// for events posts a marker behind them (C_WM_WSSOCKET_CLOSED), and until the marker is reached, events for that
// handle are stale and dropped. POSIX handles are never reused: nothing to do there.
// Any thread, before the platform close of S.
void BeforeSocketClose(TSocket S);
// Any thread: S asked for events on Wnd (0: none), or an accepted S inherited Listen's request.
void RememberEventWindow(TSocket S, uintptr_t Wnd);
void InheritEventWindow(TSocket Listen, TSocket S);
// Main thread: whether an event for S that the window Wnd is dispatching now was posted for a socket closed since.
bool EventIsStale(TSocket S, uintptr_t Wnd);
// Main thread: Wnd reached the marker of one close of S.
void CloseMarkerReached(TSocket S, uintptr_t Wnd);
// Main thread: Wnd is being destroyed, and the markers queued for it with it.
void ForgetEventWindow(uintptr_t Wnd);
// Replaces the local address list (WS_LocalAddr becomes its first entry). For tests on machines that cannot send
// from a second loopback address; WS_RefreshLocalAddresses takes the real list again.
void SetLocalAddresses(std::vector<T_NumericIpAddress> Addrs);
} // namespace rv::detail
