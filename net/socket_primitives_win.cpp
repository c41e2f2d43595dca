#include "net/socket_primitives.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstring>

namespace rv {

static_assert(sizeof(TSocket) == sizeof(SOCKET));
static_assert(C_InvalidSocket == INVALID_SOCKET);

namespace {

WSADATA WSData; // filled by WSAStartup

int32_t Fail() { return detail::SetLastWSError(WSAGetLastError()); }

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
    SOCKET s = socket(AF_INET, Type, Protocol);
    S = s;
    if (s == INVALID_SOCKET) {
        Fail();
        return false;
    }
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

int Clamp(int Len) { return Len < 0 ? 0 : Len; }

} // namespace

bool WS_CreateSocket(TSocket& S) { return Create(S, SOCK_STREAM, IPPROTO_TCP); }

bool WS_CreateUdpSocket(TSocket& S) { return Create(S, SOCK_DGRAM, IPPROTO_UDP); }

bool WS_CloseSocket(TSocket& S) {
    SOCKET s = S;
    if (shutdown(s, SD_BOTH) == 0) {
        char chunk[100];
        for (size_t total = 0; total < 64 * 1024;) {
            int n = recv(s, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            total += static_cast<size_t>(n);
        }
    }
    S = C_InvalidSocket;
    // Before the handle can be reused: the events still queued for it are stale from here on.
    detail::BeforeSocketClose(s);
    if (closesocket(s) != 0) {
        Fail();
        return false;
    }
    return true;
}

bool WS_AddressBind(TSocket S, T_NumericIpAddress S_Addr, uint16_t SinPort) {
    sockaddr_in a = ToNative(WS_MakeSockAddr(S_Addr, SinPort));
    if (bind(S, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        Fail();
        return false;
    }
    return true;
}

bool WS_ConnectToSocket(TSocket S, T_NumericIpAddress HostAddr, uint16_t HostPort) {
    sockaddr_in a = ToNative(WS_MakeSockAddr(HostAddr, HostPort));
    if (connect(S, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        int32_t e = WSAGetLastError();
        if (e != WSAEWOULDBLOCK) {
            detail::SetLastWSError(e);
            return false;
        }
    }
    return true;
}

bool WS_Listen(TSocket S, int Backlog) {
    if (listen(S, Backlog) != 0) {
        Fail();
        return false;
    }
    return true;
}

bool WS_Accept(TSocket ListenSocket, TSocket& ReplySocket, T_NumericIpAddress& RemoteAddr) {
    sockaddr_in a{};
    int len = sizeof a;
    SOCKET s = accept(ListenSocket, reinterpret_cast<sockaddr*>(&a), &len);
    ReplySocket = s;
    if (s == INVALID_SOCKET) {
        Fail();
        return false;
    }
    RemoteAddr = a.sin_addr.s_addr;
    detail::InheritEventWindow(ListenSocket, s);
    return true;
}

int WS_Recv(TSocket S, void* Buffer, int Len, int32_t* Error) {
    int n = recv(S, static_cast<char*>(Buffer), Clamp(Len), 0);
    if (n == SOCKET_ERROR) {
        int32_t e = Fail();
        if (Error) *Error = e;
        return -1;
    }
    return n;
}

int WS_Send(TSocket S, const void* Data, int Len, int32_t* Error) {
    int n = send(S, static_cast<const char*>(Data), Clamp(Len), 0);
    if (n == SOCKET_ERROR) {
        int32_t e = Fail();
        if (Error) *Error = e;
        return -1;
    }
    return n;
}

int WS_RecvFrom(TSocket S, void* Buffer, int Len, TWS_SockAddrIn& From, int32_t* Error) {
    sockaddr_in a{};
    int alen = sizeof a;
    int n = recvfrom(S, static_cast<char*>(Buffer), Clamp(Len), 0, reinterpret_cast<sockaddr*>(&a), &alen);
    if (n == SOCKET_ERROR) {
        int32_t e = Fail();
        if (Error) *Error = e;
        return -1;
    }
    From = FromNative(a);
    return n;
}

int WS_SendTo(TSocket S, const void* Data, int Len, const TWS_SockAddrIn& To, int32_t* Error) {
    sockaddr_in a = ToNative(To);
    int n = sendto(S, static_cast<const char*>(Data), Clamp(Len), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (n == SOCKET_ERROR) {
        int32_t e = Fail();
        if (Error) *Error = e;
        return -1;
    }
    return n;
}

bool WS_GetSockName(TSocket S, TWS_SockAddrIn& Addr) {
    sockaddr_in a{};
    int len = sizeof a;
    if (getsockname(S, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        Fail();
        return false;
    }
    Addr = FromNative(a);
    return true;
}

bool WS_SetSocketOption(TSocket S, TWS_SocketOption Option, uint32_t Value) {
    int level, name;
    if (!OptionName(Option, level, name)) return false;
    if (setsockopt(S, level, name, reinterpret_cast<const char*>(&Value), sizeof Value) != 0) {
        Fail();
        return false;
    }
    return true;
}

bool WS_GetSocketOption(TSocket S, TWS_SocketOption Option, uint32_t& Value) {
    int level, name;
    if (!OptionName(Option, level, name)) return false;
    // BOOL options come back as 4 bytes; a stack that writes fewer leaves the rest zero.
    uint32_t v = 0;
    int len = sizeof v;
    if (getsockopt(S, level, name, reinterpret_cast<char*>(&v), &len) != 0) {
        Fail();
        return false;
    }
    Value = len == 1 ? (v & 0xff) : v;
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

T_NumericIpAddress WS_LookUpName(const std::string& Name) {
    if (Name.empty() || !WS_Start()) return 0;
    // gethostbyname keeps its result per thread, so a worker may call this too.
    hostent* he = gethostbyname(Name.c_str());
    if (!he) {
        Fail();
        return 0;
    }
    if (he->h_addrtype != AF_INET || he->h_length != 4 || !he->h_addr_list || !he->h_addr_list[0]) {
        detail::SetLastWSError(WSANO_DATA);
        return 0;
    }
    T_NumericIpAddress a;
    std::memcpy(&a, he->h_addr_list[0], 4);
    return a;
}

namespace detail {

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
