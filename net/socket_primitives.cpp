#include "net/socket_primitives.h"

#include "net/socket_primitives_internal.h"

// The platform's socket headers and its few differences (net/socket_api_<backend>.h).
#include TOLVANE_SOCKET_API

#include <algorithm>
#include <bit>
#include <cstring>

namespace rv {

std::atomic<int32_t> LastWSError{0};
std::atomic<T_NumericIpAddress> WS_LocalAddr{0};

namespace {

std::mutex GLocalLock;
std::vector<T_NumericIpAddress> GLocalAddrs; // guarded by GLocalLock

} // namespace

std::recursive_mutex& WS_SessionCS() {
    // Never destroyed: a worker may still leave a list while the program ends.
    static auto* cs = new std::recursive_mutex;
    return *cs;
}

using socket_api::NativeOf;

namespace {

int32_t Fail() { return detail::SetLastWSError(socket_api::LastError()); }

// Stores a failed transfer's error (would-block aside) and hands it back; the transfer's result.
int TransferFailed(int32_t E, int32_t* Error) {
    detail::SetLastWSError(E);
    if (Error) *Error = E;
    return -1;
}

int Clamp(int Len) { return Len < 0 ? 0 : Len; }

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
    S = C_InvalidSocket;
    if (!WS_Start()) return false;
    socket_api::TNative s = socket(AF_INET, Type | socket_api::C_CreateFlags, Protocol);
    if (s == socket_api::C_InvalidNative) {
        Fail();
        return false;
    }
    S = socket_api::AdoptNative(s);
    socket_api::SocketCreated(S, Type == SOCK_STREAM);
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

namespace {

// The last step of both closes: the handle is forgotten first, then released. The invalid handle fails here too:
// "not a socket" (10038).
bool ReleaseNative(TSocket& S) {
    const TSocket closing = S;
    S = C_InvalidSocket;
    socket_api::BeforeNativeClose(closing);
    if (socket_api::CloseNative(NativeOf(closing)) != 0) {
        Fail();
        return false;
    }
    return true;
}

} // namespace

bool WS_CloseSocket(TSocket& S) {
    const socket_api::TNative s = NativeOf(S);
    socket_api::BeforeShutdown(S);
    if (shutdown(s, socket_api::C_ShutdownBoth) == 0) {
        // Reading what is left lets the close end with FIN rather than a reset.
        char chunk[100];
        for (size_t total = 0; total < 64 * 1024;) {
            auto n = recv(s, chunk, sizeof chunk, socket_api::C_DrainFlags);
            if (n <= 0) break;
            total += static_cast<size_t>(n);
        }
    }
    return ReleaseNative(S);
}

bool WS_AbortSocket(TSocket& S) {
    socket_api::BeforeShutdown(S);
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(NativeOf(S), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    return ReleaseNative(S);
}

bool WS_AddressBind(TSocket S, T_NumericIpAddress S_Addr, uint16_t SinPort) {
    socket_api::BeforeBind(NativeOf(S));
    sockaddr_in a = ToNative(WS_MakeSockAddr(S_Addr, SinPort));
    if (bind(NativeOf(S), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        Fail();
        return false;
    }
    return true;
}

bool WS_ConnectToSocket(TSocket S, T_NumericIpAddress HostAddr, uint16_t HostPort) {
    sockaddr_in a = ToNative(WS_MakeSockAddr(HostAddr, HostPort));
    if (connect(NativeOf(S), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        int32_t e = socket_api::LastError();
        if (e != C_WSAEWOULDBLOCK) {
            detail::SetLastWSError(e);
            return false;
        }
    }
    socket_api::ConnectStarted(S);
    return true;
}

bool WS_Listen(TSocket S, int Backlog) {
    if (listen(NativeOf(S), Backlog) != 0) {
        Fail();
        return false;
    }
    socket_api::Listening(S);
    return true;
}

bool WS_Accept(TSocket ListenSocket, TSocket& ReplySocket, T_NumericIpAddress& RemoteAddr) {
    sockaddr_in a{};
    socket_api::TSockLen len = sizeof a;
    socket_api::TNative s = socket_api::AcceptNative(NativeOf(ListenSocket), a, len);
    const int32_t e = s == socket_api::C_InvalidNative ? socket_api::LastError() : 0;
    socket_api::AcceptCalled(ListenSocket);
    if (e != 0) {
        ReplySocket = C_InvalidSocket;
        detail::SetLastWSError(e);
        return false;
    }
    ReplySocket = socket_api::AdoptNative(s);
    RemoteAddr = a.sin_addr.s_addr;
    socket_api::Accepted(ListenSocket, ReplySocket);
    return true;
}

int WS_Recv(TSocket S, void* Buffer, int Len, int32_t* Error) {
    auto n = recv(NativeOf(S), static_cast<char*>(Buffer), Clamp(Len), 0);
    const int32_t e = n < 0 ? socket_api::LastError() : 0;
    // Re-enabled after the read, so a notification means data is still there after it.
    socket_api::ReadCalled(S);
    if (n < 0) return TransferFailed(e, Error);
    return static_cast<int>(n);
}

int WS_Send(TSocket S, const void* Data, int Len, int32_t* Error) {
    auto n = send(NativeOf(S), static_cast<const char*>(Data), Clamp(Len), socket_api::C_SendFlags);
    if (n < 0) {
        const int32_t e = socket_api::LastError();
        if (e == C_WSAEWOULDBLOCK) socket_api::SendWouldBlock(S);
        return TransferFailed(e, Error);
    }
    return static_cast<int>(n);
}

int WS_RecvFrom(TSocket S, void* Buffer, int Len, TWS_SockAddrIn& From, int32_t* Error) {
    sockaddr_in a{};
    socket_api::TSockLen alen = sizeof a;
    auto n = recvfrom(NativeOf(S), static_cast<char*>(Buffer), Clamp(Len), socket_api::C_RecvFromFlags,
                      reinterpret_cast<sockaddr*>(&a), &alen);
    const int32_t e = n < 0 ? socket_api::LastError() : 0;
    socket_api::ReadCalled(S);
    if (n >= 0) From = FromNative(a);
    if (e) return TransferFailed(e, Error);
    // A datagram that did not fit (its real length reported): Winsock's result, and the rest is lost.
    if (n > Clamp(Len)) return TransferFailed(C_WSAEMSGSIZE, Error);
    return static_cast<int>(n);
}

int WS_SendTo(TSocket S, const void* Data, int Len, const TWS_SockAddrIn& To, int32_t* Error) {
    sockaddr_in a = ToNative(To);
    auto n = sendto(NativeOf(S), static_cast<const char*>(Data), Clamp(Len), socket_api::C_SendFlags,
                    reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (n < 0) {
        const int32_t e = socket_api::LastError();
        if (e == C_WSAEWOULDBLOCK) socket_api::SendWouldBlock(S);
        return TransferFailed(e, Error);
    }
    return static_cast<int>(n);
}

bool WS_GetSockName(TSocket S, TWS_SockAddrIn& Addr) {
    sockaddr_in a{};
    socket_api::TSockLen len = sizeof a;
    if (getsockname(NativeOf(S), reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        Fail();
        return false;
    }
    Addr = FromNative(a);
    return true;
}

bool WS_SetSocketOption(TSocket S, TWS_SocketOption Option, uint32_t Value) {
    int level, name;
    if (!OptionName(Option, level, name)) return false;
    if (setsockopt(NativeOf(S), level, name, reinterpret_cast<const char*>(&Value), sizeof Value) != 0) {
        Fail();
        return false;
    }
    return true;
}

bool WS_GetSocketOption(TSocket S, TWS_SocketOption Option, uint32_t& Value) {
    int level, name;
    if (!OptionName(Option, level, name)) return false;
    // Options come back as 4 bytes; a stack that writes fewer leaves the rest zero.
    uint32_t v = 0;
    socket_api::TSockLen len = sizeof v;
    if (getsockopt(NativeOf(S), level, name, reinterpret_cast<char*>(&v), &len) != 0) {
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
    int32_t e = 0;
    T_NumericIpAddress a = detail::ResolveIPv4(Name, e);
    if (!a && e) detail::SetLastWSError(e);
    return a;
}

bool SocketIsOpen(TSocket S) { return S != C_InvalidSocket; }

bool WS_ProtocolBind(TSocket S, T_NumericIpAddress S_Addr, uint16_t SinPort) {
    return WS_AddressBind(S, S_Addr, SinPort);
}

bool WS_PortInUseError() { return LastWSError.load() == C_WSAEADDRINUSE; }

T_NumericIpAddress WS_LocalIP() { return WS_LookUpName(WS_GetHostName()); }

std::string WS_IpToStr(T_NumericIpAddress Ip) {
    // The value is in network order: its first byte in memory is the first dotted number.
    uint8_t b[4];
    static_assert(sizeof b == sizeof Ip);
    std::memcpy(b, &Ip, 4);
    return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
           std::to_string(b[3]);
}

std::string WS_IpToStr(const TWS_SockAddrIn& Addr) { return WS_IpToStr(Addr.sin_addr); }

bool WS_StrToIp(const std::string& Text, T_NumericIpAddress& Ip) {
    uint8_t b[4];
    size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i == Text.size() || Text[i] != '.') return false;
            ++i;
        }
        unsigned n = 0;
        size_t digits = 0;
        for (; i < Text.size() && Text[i] >= '0' && Text[i] <= '9'; ++i) {
            if (++digits > 3) return false;
            n = n * 10 + static_cast<unsigned>(Text[i] - '0');
        }
        if (digits == 0 || n > 255) return false;
        b[part] = static_cast<uint8_t>(n);
    }
    if (i != Text.size()) return false;
    Ip = WS_IpAddress(b[0], b[1], b[2], b[3]);
    return true;
}

T_NumericIpAddress WS_IpAddress(uint8_t A, uint8_t B, uint8_t C, uint8_t D) {
    const uint8_t b[4] = {A, B, C, D};
    T_NumericIpAddress ip;
    std::memcpy(&ip, b, 4);
    return ip;
}

uint16_t WS_HostToNetPort(uint16_t Port) {
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<uint16_t>((Port >> 8) | (Port << 8));
    else
        return Port;
}

uint16_t WS_NetToHostPort(uint16_t Port) { return WS_HostToNetPort(Port); }

TWS_SockAddrIn WS_MakeSockAddr(T_NumericIpAddress Addr, uint16_t Port) {
    TWS_SockAddrIn a;
    a.sin_family = C_AF_INET;
    a.sin_port = WS_HostToNetPort(Port);
    a.sin_addr = Addr;
    return a;
}

void WS_RefreshLocalAddresses() {
    std::vector<T_NumericIpAddress> addrs;
    // The host name's address first: it is the one address that code wanting a single address has always used.
    if (T_NumericIpAddress own = WS_LocalIP()) addrs.push_back(own);
    for (T_NumericIpAddress a : detail::InterfaceAddresses())
        if (a != 0 && std::find(addrs.begin(), addrs.end(), a) == addrs.end()) addrs.push_back(a);
    detail::SetLocalAddresses(std::move(addrs));
}

std::vector<T_NumericIpAddress> WS_LocalAddresses() {
    std::lock_guard<std::mutex> lock(GLocalLock);
    return GLocalAddrs;
}

bool WS_IsLocalAddress(T_NumericIpAddress Addr) {
    std::lock_guard<std::mutex> lock(GLocalLock);
    return std::find(GLocalAddrs.begin(), GLocalAddrs.end(), Addr) != GLocalAddrs.end();
}

namespace detail {

void SetLocalAddresses(std::vector<T_NumericIpAddress> Addrs) {
    std::lock_guard<std::mutex> lock(GLocalLock);
    GLocalAddrs = std::move(Addrs);
    WS_LocalAddr = GLocalAddrs.empty() ? 0 : GLocalAddrs.front();
}

int32_t SetLastWSError(int32_t Error) {
    if (Error != C_WSAEWOULDBLOCK) LastWSError = Error;
    return Error;
}

} // namespace detail

} // namespace rv
