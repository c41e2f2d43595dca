#include "net/socket_primitives.h"

#include "foundation/main_loop.h"
#include "net/async_name_lookup.h"
#include "net/socket_notifier.h"

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

bool WS_Started() { return WSFOwner.load() != nullptr; }

bool WS_Start() {
    if (WSFOwner.load()) return true;
    if (!IsMainThread()) {
        detail::SetLastWSError(C_WSANOTINITIALISED);
        return false;
    }
    if (int32_t e = detail::PlatformStartup()) {
        detail::SetLastWSError(e);
        return false;
    }
    WS_AsyncList = new T_WSAsyncObjList;
    // The notifier last: from here on the library counts as started, and the look-ups below may use it.
    WSFOwner = new T_WSAsyncSocketNotifier;
    WS_RefreshLocalAddresses();
    return true;
}

void WS_Finish() {
    T_WSAsyncSocketNotifier* owner = WSFOwner.load();
    if (!owner) return;
    delete owner;
    WSFOwner = nullptr;
    delete WS_AsyncList;
    WS_AsyncList = nullptr;
    LastWSError = detail::PlatformCleanup();
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
