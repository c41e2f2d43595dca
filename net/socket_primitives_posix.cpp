#include "net/socket_primitives.h"

#include "net/socket_events_posix.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

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

} // namespace posix_sockets

namespace {

using posix_sockets::FdOf;

int32_t Fail() { return detail::SetLastWSError(posix_sockets::WSAErrorFromErrno(errno)); }

sockaddr_in ToNative(const TWS_SockAddrIn& a) {
    sockaddr_in n{};
    n.sin_family = AF_INET;
    n.sin_port = a.sin_port;
    n.sin_addr.s_addr = a.sin_addr;
    return n;
}

TWS_SockAddrIn FromNative(const sockaddr_in& n) {
    TWS_SockAddrIn a;
    a.sin_family = C_AF_INET;
    a.sin_port = n.sin_port;
    a.sin_addr = n.sin_addr.s_addr;
    return a;
}

bool Create(TSocket& S, int Type, int Protocol) {
    if (!WS_Start()) {
        S = C_InvalidSocket;
        return false;
    }
    int fd = socket(AF_INET, Type | SOCK_CLOEXEC, Protocol);
    if (fd < 0) {
        S = C_InvalidSocket;
        Fail();
        return false;
    }
    S = posix_sockets::MakeHandle(fd);
    posix_sockets::OnSocketCreated(S, Type == SOCK_STREAM);
    return true;
}

bool OptionName(TWS_SocketOption Option, int& Level, int& Name) {
    switch (Option) {
    case TWS_SocketOption::Broadcast: Level = SOL_SOCKET; Name = SO_BROADCAST; return true;
    case TWS_SocketOption::KeepAlive: Level = SOL_SOCKET; Name = SO_KEEPALIVE; return true;
    case TWS_SocketOption::NoTcpDelay: Level = IPPROTO_TCP; Name = TCP_NODELAY; return true;
    }
    return false;
}

} // namespace

bool WS_CreateSocket(TSocket& S) { return Create(S, SOCK_STREAM, IPPROTO_TCP); }

bool WS_CreateUdpSocket(TSocket& S) { return Create(S, SOCK_DGRAM, IPPROTO_UDP); }

bool WS_CloseSocket(TSocket& S) {
    int fd = FdOf(S);
    posix_sockets::OnClosing(S);
    if (fd >= 0 && shutdown(fd, SHUT_RDWR) == 0) {
        // Reading what is left lets the close end with FIN rather than a reset. After the shutdown a read
        // returns 0 once the queue is empty, where Winsock fails; either ends the drain.
        char chunk[100];
        for (size_t total = 0; total < 64 * 1024;) {
            ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0) break;
            total += static_cast<size_t>(n);
        }
    }
    S = C_InvalidSocket;
    if (fd < 0 || close(fd) != 0) {
        if (fd < 0) errno = EBADF;
        Fail();
        return false;
    }
    return true;
}

bool WS_AddressBind(TSocket S, T_NumericIpAddress S_Addr, uint16_t SinPort) {
    int fd = FdOf(S);
    int type = 0;
    socklen_t len = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM) {
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    sockaddr_in a = ToNative(WS_MakeSockAddr(S_Addr, SinPort));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        Fail();
        return false;
    }
    return true;
}

bool WS_ConnectToSocket(TSocket S, T_NumericIpAddress HostAddr, uint16_t HostPort) {
    sockaddr_in a = ToNative(WS_MakeSockAddr(HostAddr, HostPort));
    if (connect(FdOf(S), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        int32_t e = posix_sockets::WSAErrorFromErrno(errno);
        if (e != C_WSAEWOULDBLOCK) {
            detail::SetLastWSError(e);
            return false;
        }
    }
    posix_sockets::OnConnectStarted(S);
    return true;
}

bool WS_Listen(TSocket S, int Backlog) {
    if (listen(FdOf(S), Backlog) != 0) {
        Fail();
        return false;
    }
    posix_sockets::OnListening(S);
    return true;
}

bool WS_Accept(TSocket ListenSocket, TSocket& ReplySocket, T_NumericIpAddress& RemoteAddr) {
    int lfd = FdOf(ListenSocket);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    // Like Winsock, the new socket is non-blocking when the listening one is.
    int flags = fcntl(lfd, F_GETFL);
    int fd = accept4(lfd, reinterpret_cast<sockaddr*>(&a), &len,
                     SOCK_CLOEXEC | (flags >= 0 && (flags & O_NONBLOCK) ? SOCK_NONBLOCK : 0));
    int err = errno;
    posix_sockets::OnAcceptCalled(ListenSocket);
    if (fd < 0) {
        ReplySocket = C_InvalidSocket;
        detail::SetLastWSError(posix_sockets::WSAErrorFromErrno(err));
        return false;
    }
    ReplySocket = posix_sockets::MakeHandle(fd);
    RemoteAddr = a.sin_addr.s_addr;
    posix_sockets::OnAccepted(ListenSocket, ReplySocket);
    return true;
}

int WS_Recv(TSocket S, void* Buffer, int Len, int32_t* Error) {
    ssize_t n = recv(FdOf(S), Buffer, static_cast<size_t>(Len < 0 ? 0 : Len), 0);
    int err = errno;
    // Re-enabled after the read, so a notification means data is still there after it.
    posix_sockets::OnReadCalled(S);
    if (n < 0) {
        int32_t e = detail::SetLastWSError(posix_sockets::WSAErrorFromErrno(err));
        if (Error) *Error = e;
        return -1;
    }
    return static_cast<int>(n);
}

int WS_Send(TSocket S, const void* Data, int Len, int32_t* Error) {
    // MSG_NOSIGNAL: a connection that is gone is an error result, never SIGPIPE.
    ssize_t n = send(FdOf(S), Data, static_cast<size_t>(Len < 0 ? 0 : Len), MSG_NOSIGNAL);
    if (n < 0) {
        int32_t e = detail::SetLastWSError(posix_sockets::WSAErrorFromErrno(errno));
        if (e == C_WSAEWOULDBLOCK) posix_sockets::OnSendWouldBlock(S);
        if (Error) *Error = e;
        return -1;
    }
    return static_cast<int>(n);
}

int WS_RecvFrom(TSocket S, void* Buffer, int Len, TWS_SockAddrIn& From, int32_t* Error) {
    sockaddr_in a{};
    socklen_t alen = sizeof a;
    size_t len = static_cast<size_t>(Len < 0 ? 0 : Len);
    // MSG_TRUNC makes the result the datagram's real length, so a datagram longer than the buffer is seen.
    ssize_t n = recvfrom(FdOf(S), Buffer, len, MSG_TRUNC, reinterpret_cast<sockaddr*>(&a), &alen);
    int err = errno;
    posix_sockets::OnReadCalled(S);
    if (n >= 0) From = FromNative(a);
    int32_t e = 0;
    if (n < 0)
        e = posix_sockets::WSAErrorFromErrno(err);
    else if (static_cast<size_t>(n) > len)
        e = C_WSAEMSGSIZE; // Winsock's result for a datagram that did not fit; the rest is lost
    if (e) {
        detail::SetLastWSError(e);
        if (Error) *Error = e;
        return -1;
    }
    return static_cast<int>(n);
}

int WS_SendTo(TSocket S, const void* Data, int Len, const TWS_SockAddrIn& To, int32_t* Error) {
    sockaddr_in a = ToNative(To);
    ssize_t n = sendto(FdOf(S), Data, static_cast<size_t>(Len < 0 ? 0 : Len), MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (n < 0) {
        int32_t e = detail::SetLastWSError(posix_sockets::WSAErrorFromErrno(errno));
        if (e == C_WSAEWOULDBLOCK) posix_sockets::OnSendWouldBlock(S);
        if (Error) *Error = e;
        return -1;
    }
    return static_cast<int>(n);
}

bool WS_GetSockName(TSocket S, TWS_SockAddrIn& Addr) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(FdOf(S), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        Fail();
        return false;
    }
    Addr = FromNative(a);
    return true;
}

bool WS_SetSocketOption(TSocket S, TWS_SocketOption Option, uint32_t Value) {
    int level, name;
    if (!OptionName(Option, level, name)) return false;
    if (setsockopt(FdOf(S), level, name, &Value, sizeof Value) != 0) {
        Fail();
        return false;
    }
    return true;
}

bool WS_GetSocketOption(TSocket S, TWS_SocketOption Option, uint32_t& Value) {
    int level, name;
    if (!OptionName(Option, level, name)) return false;
    int v = 0;
    socklen_t len = sizeof v;
    if (getsockopt(FdOf(S), level, name, &v, &len) != 0) {
        Fail();
        return false;
    }
    Value = static_cast<uint32_t>(v);
    return true;
}

std::string WS_GetHostName() {
    if (!WS_Start()) return {};
    char name[200];
    if (gethostname(name, sizeof name) != 0) {
        Fail();
        return {};
    }
    name[sizeof name - 1] = 0;
    return name;
}

namespace posix_sockets {

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

// Blocking IPv4 look-up; the first address or 0 with Error.
T_NumericIpAddress ResolveIPv4(const std::string& Name, int32_t& Error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    int r = getaddrinfo(Name.c_str(), nullptr, &hints, &res);
    if (r != 0) {
        Error = WSAErrorFromGai(r);
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

} // namespace posix_sockets

T_NumericIpAddress WS_LookUpName(const std::string& Name) {
    if (Name.empty() || !WS_Start()) return 0;
    int32_t e = 0;
    T_NumericIpAddress a = posix_sockets::ResolveIPv4(Name, e);
    if (!a) detail::SetLastWSError(e);
    return a;
}

namespace detail {

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
