#include "net/socket_primitives.h"

#include "net/socket_primitives_internal.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>

namespace rv {

namespace {

WSADATA WSData; // filled by WSAStartup

} // namespace

namespace detail {

T_NumericIpAddress ResolveIPv4(const std::string& Name, int32_t& Error) {
    // gethostbyname keeps its result per thread, so a worker may call this too.
    hostent* he = gethostbyname(Name.c_str());
    if (!he) {
        Error = WSAGetLastError();
        return 0;
    }
    if (he->h_addrtype != AF_INET || he->h_length != 4 || !he->h_addr_list || !he->h_addr_list[0]) {
        Error = WSANO_DATA;
        return 0;
    }
    T_NumericIpAddress a;
    std::memcpy(&a, he->h_addr_list[0], 4);
    Error = 0;
    return a;
}

int32_t PlatformStartup() { return WSAStartup(MAKEWORD(1, 1), &WSData); }

int32_t PlatformCleanup() { return WSACleanup() == 0 ? 0 : WSAGetLastError(); }

// SIO_GET_INTERFACE_LIST on a scratch socket: one call of the sockets library itself, IPv4 only, loopback
// included, and no second library (GetAdaptersAddresses would pull in iphlpapi for the same list).
std::vector<T_NumericIpAddress> InterfaceAddresses() {
    std::vector<T_NumericIpAddress> out;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return out;
    INTERFACE_INFO info[64];
    DWORD bytes = 0;
    if (WSAIoctl(s, SIO_GET_INTERFACE_LIST, nullptr, 0, info, sizeof info, &bytes, nullptr, nullptr) == 0) {
        for (DWORD i = 0; i < bytes / sizeof(INTERFACE_INFO); ++i) {
            if (!(info[i].iiFlags & IFF_UP)) continue;
            const sockaddr_in& a = info[i].iiAddress.AddressIn;
            if (a.sin_family == AF_INET) out.push_back(a.sin_addr.s_addr);
        }
    }
    closesocket(s);
    return out;
}

} // namespace detail

} // namespace rv
