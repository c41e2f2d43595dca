#pragma once
// How a connection reset by the peer reaches a stream socket on this backend: POSIX reports 10054; Wine's Winsock
// (where the Windows tests run) reports the close of a reset connection as an orderly one, error 0.

#include <cstdint>
#include <vector>

namespace net_testing {

// The close errors a reset may show as here.
std::vector<int32_t> ResetCloseErrors();

} // namespace net_testing
