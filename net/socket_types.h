#pragma once
// The socket handle and address types, apart from the primitives so that the hooks the primitives call can name
// them without including the primitives.

#include <cstdint>

namespace rv {

// A socket handle: SOCKET on Win32. On POSIX the descriptor in the low 32 bits and a serial number above it,
// so a handle is never reused during the life of the process and a late notification for a closed socket can
// never reach a newer socket that got the same descriptor.
using TSocket = uintptr_t;
constexpr TSocket C_InvalidSocket = ~TSocket(0);

// An IPv4 address in network byte order.
using T_NumericIpAddress = uint32_t;

} // namespace rv
