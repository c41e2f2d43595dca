// The socket test helpers that use the Windows socket interface directly.
#include "tests/net/net_test_support.h"

#include <cstring>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace net_testing {

rv::T_NumericIpAddress SystemLookUp(const std::string& Name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo(Name.c_str(), nullptr, &hints, &found) != 0 || !found) return 0;
    sockaddr_in a;
    std::memcpy(&a, found->ai_addr, sizeof a);
    freeaddrinfo(found);
    rv::T_NumericIpAddress ip;
    std::memcpy(&ip, &a.sin_addr, sizeof ip);
    return ip;
}

} // namespace net_testing
