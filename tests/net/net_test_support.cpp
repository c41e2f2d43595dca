#include "tests/net/net_test_support.h"

#include "foundation/main_loop.h"
#include "net/async_name_lookup.h"
#include "tests/test_support.h"

#include TOLVANE_SOCKET_API

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <stdexcept>

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

namespace {

// The library ends before the foundation does, as in the programs.
class TSocketsEnvironment : public testing::Environment {
public:
    void SetUp() override {
        if (!rv::WS_Start()) throw std::runtime_error("the sockets library does not start");
    }
    void TearDown() override { rv::WS_Finish(); }
};

[[maybe_unused]] testing::Environment* const GEnvironment =
    testing::AddGlobalTestEnvironment(new TSocketsEnvironment);

} // namespace

void TRecordingSocket::ProcessEvent(uint16_t EventId, uint16_t ErrorCode) {
    Events.push_back({EventId, ErrorCode});
    OnMainThread = OnMainThread && rv::IsMainThread();
    if (OnEvent) OnEvent(EventId, ErrorCode);
}

int TRecordingSocket::Count(uint16_t Event) const {
    int n = 0;
    for (auto& e : Events) n += e.Event == Event;
    return n;
}

void TFakeSocket::ProcessEvent(uint16_t EventId, uint16_t ErrorCode) {
    FLog.push_back(FName);
    TRecordingSocket::ProcessEvent(EventId, ErrorCode);
}

rv::TMessage SelectMessage(rv::TSocket S, uint16_t Event, uint16_t Error) {
    return rv::TMessage{rv::C_WM_WSASYNC_SELECT, static_cast<uintptr_t>(S), rv::WS_MakeSelectReply(Event, Error), 0};
}

TRawUdp::TRawUdp(rv::T_NumericIpAddress Addr, uint16_t Port) {
    rv::TSocket s;
    if (!rv::WS_CreateUdpSocket(s)) throw std::runtime_error("no UDP socket");
    FSocket = s;
    if (!rv::WS_AddressBind(s, Addr, Port)) throw std::runtime_error("cannot bind to " + rv::WS_IpToStr(Addr));
    SetSocketEvents(rv::C_FD_READ);
}

void TRawUdp::ProcessEvent(uint16_t EventId, uint16_t) {
    if (EventId != rv::C_FD_READ) return;
    char buf[2048];
    rv::TWS_SockAddrIn from;
    int n = rv::WS_RecvFrom(FSocket.load(), buf, sizeof buf, from);
    if (n >= 0) Received.push_back({std::string(buf, static_cast<size_t>(n)), from, std::chrono::steady_clock::now()});
}

bool TRawUdp::SendTo(const std::string& Data, rv::T_NumericIpAddress Addr, uint16_t Port) {
    return rv::WS_SendTo(FSocket.load(), Data.data(), static_cast<int>(Data.size()), rv::WS_MakeSockAddr(Addr, Port)) ==
           static_cast<int>(Data.size());
}

uint16_t TRawUdp::Port() const {
    rv::TWS_SockAddrIn a;
    return rv::WS_GetSockName(FSocket.load(), a) ? rv::WS_SockAddrPort(a) : 0;
}

rv::T_NumericIpAddress Loopback() { return rv::WS_IpAddress(127, 0, 0, 1); }
rv::T_NumericIpAddress Loopback2() { return rv::WS_IpAddress(127, 0, 0, 2); }

rv::TSocket Listener(uint16_t& Port) {
    rv::TSocket s;
    if (!rv::WS_CreateSocket(s) || !rv::WS_AddressBind(s, Loopback(), 0) || !rv::WS_Listen(s, 5))
        throw std::runtime_error("no listening socket");
    rv::TWS_SockAddrIn a;
    rv::WS_GetSockName(s, a);
    Port = rv::WS_SockAddrPort(a);
    return s;
}

namespace {
uint16_t FreePort(bool Udp) {
    rv::TSocket s;
    if (!(Udp ? rv::WS_CreateUdpSocket(s) : rv::WS_CreateSocket(s)) || !rv::WS_AddressBind(s, 0, 0))
        throw std::runtime_error("no free port");
    rv::TWS_SockAddrIn a;
    rv::WS_GetSockName(s, a);
    rv::WS_CloseSocket(s);
    return rv::WS_SockAddrPort(a);
}
} // namespace

uint16_t FreeTcpPort() { return FreePort(false); }
uint16_t FreeUdpPort() { return FreePort(true); }

void TcpPair(rv::TSocket& Client, rv::TSocket& Server) {
    uint16_t port;
    rv::TSocket l = Listener(port);
    if (!rv::WS_CreateSocket(Client) || !rv::WS_ConnectToSocket(Client, Loopback(), port))
        throw std::runtime_error("no connection");
    rv::T_NumericIpAddress peer;
    if (!rv::WS_Accept(l, Server, peer)) throw std::runtime_error("nothing to accept");
    rv::WS_CloseSocket(l);
}

void CloseQuietly(rv::TSocket& S) {
    if (rv::SocketIsOpen(S)) rv::WS_CloseSocket(S);
}

void PumpFor(uint32_t Ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(Ms);
    testing_support::PumpUntil([&] { return std::chrono::steady_clock::now() >= end; }, Ms + 1000);
}

} // namespace net_testing
