#include "net/socket_primitives.h"

#include "net/socket_events_posix.h"
#include "net/socket_primitives_internal.h"

#include <cerrno>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace rv {

namespace posix_sockets {

namespace {
std::atomic<uint64_t> GNextSerial{1};
}

TSocket MakeHandle(int Fd) {
    if constexpr (sizeof(TSocket) >= 8) {
        // 31 bits of serial keep the top bit clear, so a handle never equals the invalid handle.
        uint64_t serial = GNextSerial.fetch_add(1) & 0x7fffffffu;
        return static_cast<TSocket>((serial << 32) | static_cast<uint32_t>(Fd));
    } else {
        return static_cast<TSocket>(Fd);
    }
}

// The one translation table of this backend: errno to Winsock's codes.
int32_t WSAErrorFromErrno(int Errno) {
    switch (Errno) {
    case 0: return 0;
    case EINTR: return C_WSAEINTR;
    case EBADF: return C_WSAENOTSOCK; // a closed or invalid handle is "not a socket" to Winsock
    case ENOTSOCK: return C_WSAENOTSOCK;
    case EACCES: return C_WSAEACCES;
    case EPERM: return C_WSAEACCES;
    case EFAULT: return 10014;
    case EINVAL: return C_WSAEINVAL;
    case EMFILE: return 10024;
    case ENFILE: return 10024;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK: return C_WSAEWOULDBLOCK;
    case EINPROGRESS: return C_WSAEWOULDBLOCK; // a non-blocking connect under way: Winsock says would-block
    case EALREADY: return 10037;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return C_WSAEMSGSIZE;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return C_WSAEADDRINUSE;
    case EADDRNOTAVAIL: return C_WSAEADDRNOTAVAIL;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return C_WSAENETUNREACH;
    case ENETRESET: return 10052;
    case ECONNABORTED: return C_WSAECONNABORTED;
    case ECONNRESET: return C_WSAECONNRESET;
    case EPIPE: return C_WSAECONNRESET; // writing to a connection that is gone
    case ENOBUFS: return 10055;
    case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return C_WSAENOTCONN;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return C_WSAETIMEDOUT;
    case ECONNREFUSED: return C_WSAECONNREFUSED;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return C_WSAEHOSTUNREACH;
    default: return 10107; // WSASYSCALLFAILURE: no Winsock equivalent
    }
}

// getaddrinfo's errors as Winsock's look-up errors.
int32_t WSAErrorFromGai(int Gai) {
    switch (Gai) {
    case EAI_NONAME: return C_WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return C_WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA: return C_WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return C_WSANO_DATA;
#endif
    case EAI_MEMORY: return 10055;
    case EAI_SYSTEM: return WSAErrorFromErrno(errno);
    default: return C_WSANO_RECOVERY;
    }
}

} // namespace posix_sockets

namespace detail {

T_NumericIpAddress ResolveIPv4(const std::string& Name, int32_t& Error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int r = getaddrinfo(Name.c_str(), nullptr, &hints, &res);
    if (r != 0) {
        Error = posix_sockets::WSAErrorFromGai(r);
        return 0;
    }
    T_NumericIpAddress addr = 0;
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family == AF_INET && p->ai_addr) {
            addr = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
            break;
        }
    }
    freeaddrinfo(res);
    Error = addr ? 0 : C_WSANO_DATA;
    return addr;
}

int32_t PlatformStartup() { return 0; }
int32_t PlatformCleanup() { return 0; }

std::vector<T_NumericIpAddress> InterfaceAddresses() {
    std::vector<T_NumericIpAddress> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* p = list; p; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET || !(p->ifa_flags & IFF_UP)) continue;
        out.push_back(reinterpret_cast<sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr);
    }
    freeifaddrs(list);
    return out;
}

} // namespace detail

} // namespace rv
