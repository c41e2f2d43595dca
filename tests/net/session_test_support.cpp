#include "tests/net/session_test_support.h"

#include "foundation/message_pump.h"
#include "tests/net/net_test_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <sstream>

namespace session_testing {

std::string Hex(const std::string& Text) {
    std::string out;
    std::istringstream in(Text);
    std::string h;
    while (in >> h) out.push_back(static_cast<char>(std::stoul(h, nullptr, 16)));
    return out;
}

std::string Pattern(uint32_t N, uint32_t Seed) {
    std::string out(N, '\0');
    for (uint32_t i = 0; i < N; ++i) out[i] = static_cast<char>(((i + Seed) * 7 + 1) % 251);
    return out;
}

std::string Packet(const std::string& Payload, bool AskAck) {
    uint8_t head[rv::C_PacketHeaderSize];
    rv::TWS_ReservedHeader{rv::C_PacketStx,
                           static_cast<uint32_t>(Payload.size()) | (AskAck ? rv::C_PacketAckFlag : 0u)}
        .Encode(head);
    return std::string(reinterpret_cast<const char*>(head), sizeof head) + Payload;
}

// --- TRawPeer -------------------------------------------------------------------------------------------------

TRawPeer::TRawPeer(rv::TSocket S) {
    FSocket = S;
    SetSocketEvents(rv::C_FD_READ | rv::C_FD_CLOSE);
}

void TRawPeer::ProcessEvent(uint16_t EventId, uint16_t ErrorCode) {
    if (EventId == rv::C_FD_READ && Reading) ReadAvailable();
    if (EventId == rv::C_FD_CLOSE) {
        if (Reading) ReadAvailable();
        Closed = true;
        CloseError = ErrorCode;
    }
}

void TRawPeer::ReadAvailable() {
    char buf[65536];
    for (;;) {
        int n = rv::WS_Recv(FSocket.load(), buf, sizeof buf);
        if (n <= 0) return;
        Received.append(buf, static_cast<size_t>(n));
    }
}

void TRawPeer::StartReading() {
    Reading = true;
    ReadAvailable();
}

bool TRawPeer::Send(const std::string& Data) {
    size_t done = 0;
    return testing_support::PumpUntil(
        [&] {
            while (done < Data.size()) {
                int32_t error = 0;
                int n = rv::WS_Send(FSocket.load(), Data.data() + done, static_cast<int>(Data.size() - done), &error);
                if (n < 0) {
                    if (error != rv::C_WSAEWOULDBLOCK) throw std::runtime_error("raw send failed");
                    return false; // the buffer is full: let the main thread read the other end
                }
                done += static_cast<size_t>(n);
            }
            return true;
        },
        20000);
}

bool TRawPeer::WaitForBytes(size_t N, uint32_t TimeoutMs) {
    return testing_support::PumpUntil([&] { return Received.size() >= N; }, TimeoutMs);
}

// --- TProbeSession --------------------------------------------------------------------------------------------

TProbeSession::TProbeSession(rv::TSocket S, std::atomic<bool>* Freed)
    : rv::TWS_TcpIpSession(S, true, false), FFreed(Freed) {
    Hook();
}

TProbeSession::TProbeSession(bool NoDelay, std::atomic<bool>* Freed)
    : rv::TWS_TcpIpSession(NoDelay, false), FFreed(Freed) {
    Hook();
}

TProbeSession::~TProbeSession() {
    DetachSession();
    if (FFreed) *FFreed = true;
}

void TProbeSession::Hook() {
    OnData = [this](rv::TWS_TcpIpSession*, const uint8_t* Data, uint32_t Len) {
        std::string p(reinterpret_cast<const char*>(Data), Len);
        Packets.push_back(p);
        return Take(p);
    };
    OnPacketAck = [this](rv::TWS_TcpIpSession*) { ++Acks; };
    OnConnect = [this](rv::TWS_TcpIpSession*) { ++Connects; };
    OnDisConnect = [this](rv::TWS_TcpIpSession*, bool&) { ++DisConnects; };
}

void MakeAdoptedPair(std::unique_ptr<TProbeSession>& Session, std::unique_ptr<TRawPeer>& Peer, uint32_t IdleMs,
                     std::atomic<bool>* Freed) {
    rv::TSocket client, server;
    net_testing::TcpPair(client, server);
    Peer = std::make_unique<TRawPeer>(client);
    Session = std::make_unique<TProbeSession>(server, Freed);
    Session->IdlePeriodDisconnectMs = IdleMs;
    Session->DoConnected();
    Session->SetSocketEvents(rv::C_AcceptedSessionEvents);
}

} // namespace session_testing
