#include "tests/net/reset_expectation.h"

#include "net/socket_primitives.h"

namespace net_testing {

std::vector<int32_t> ResetCloseErrors() { return {rv::C_WSAECONNRESET, 0}; }

} // namespace net_testing
