#include "net/udp_socket.h"

#include "net/socket_primitives_internal.h"

#include "tests/net/net_test_support.h"
#include "tests/test_support.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace net_testing;
using testing_support::PumpUntil;

namespace {

// Keeps what OnDatagram delivers and how many datagrams each read event delivered.
class TObservedUdp : public rv::TWS_TudpSocket {
public:
    explicit TObservedUdp(uint16_t Port) : TWS_TudpSocket(Port) {
        OnDatagram = [this](rv::TWS_TudpSocket* Sender, rv::T_NumericIpAddress From, const uint8_t* Data,
                            uint32_t Len) {
            EXPECT_EQ(Sender, this);
            Delivered.emplace_back(reinterpret_cast<const char*>(Data), Len);
            From_.push_back(From);
            if (OnDelivered) OnDelivered(Delivered.back());
        };
    }
    void ProcessEvent(uint16_t EventId, uint16_t ErrorCode) override {
        const size_t before = Delivered.size();
        TWS_TudpSocket::ProcessEvent(EventId, ErrorCode);
        MostPerEvent = std::max(MostPerEvent, Delivered.size() - before);
    }
    bool Has(const std::string& Data) const {
        for (auto& d : Delivered)
            if (d == Data) return true;
        return false;
    }
    std::vector<std::string> Delivered;
    std::vector<rv::T_NumericIpAddress> From_;
    size_t MostPerEvent = 0;
    std::function<void(const std::string&)> OnDelivered;
};

// Datagrams from another host: on loopback, from 127.0.0.2, which is not one of this host's listed addresses.
class UdpFromAnotherHost : public testing::Test {
protected:
    void SetUp() override {
        Peer = std::make_unique<TRawUdp>(Loopback2());
        TRawUdp probe(Loopback());
        ASSERT_TRUE(Peer->SendTo("probe", Loopback(), probe.Port()));
        ASSERT_TRUE(PumpUntil([&] { return !probe.Received.empty(); }));
        PeerIp = probe.Received[0].From.sin_addr;
        if (rv::WS_IsLocalAddress(PeerIp)) {
            // Wine binds a datagram socket to every address whatever it is given, so the datagrams leave from
            // 127.0.0.1. For these tests that address then stands for the other host.
            std::vector<rv::T_NumericIpAddress> others = rv::WS_LocalAddresses();
            std::erase(others, PeerIp);
            rv::detail::SetLocalAddresses(others);
            FNarrowed = true;
        }
    }
    void TearDown() override {
        if (FNarrowed) rv::WS_RefreshLocalAddresses();
    }
    std::unique_ptr<TRawUdp> Peer;
    rv::T_NumericIpAddress PeerIp = 0;

private:
    bool FNarrowed = false;
};

} // namespace

TEST_F(UdpFromAnotherHost, DatagramsUpTo512BytesAreDeliveredLongerOnesNotAtAll) {
    TObservedUdp udp(FreeUdpPort());
    ASSERT_TRUE(udp.SocketBound());
    TRawUdp& peer = *Peer;
    struct Case {
        size_t Size;
        bool Delivered;
    };
    const Case cases[] = {{1, true}, {512, true}, {513, false}, {1400, false}, {0, false}};
    int round = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Size);
        const std::string data(c.Size, 'd');
        const std::string marker = "marker " + std::to_string(round++);
        udp.Delivered.clear();
        ASSERT_TRUE(peer.SendTo(data, Loopback(), udp.Port()));
        ASSERT_TRUE(peer.SendTo(marker, Loopback(), udp.Port()));
        ASSERT_TRUE(PumpUntil([&] { return udp.Has(marker); }));
        std::vector<std::string> expected;
        if (c.Delivered) expected.push_back(data);
        expected.push_back(marker);
        EXPECT_EQ(udp.Delivered, expected);
    }
    EXPECT_EQ(udp.From_.back(), PeerIp);
}

TEST_F(UdpFromAnotherHost, QueuedDatagramsArriveOnePerReadEventInOrder) {
    TObservedUdp udp(FreeUdpPort());
    TRawUdp& peer = *Peer;
    for (const char* d : {"one", "two", "three"}) ASSERT_TRUE(peer.SendTo(d, Loopback(), udp.Port()));
    ASSERT_TRUE(PumpUntil([&] { return udp.Delivered.size() == 3; }));
    EXPECT_EQ(udp.Delivered, (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(udp.MostPerEvent, 1u);
}

TEST(UdpSocket, DatagramsFromAnyOfThisHostsAddressesAreReceivedAndDropped) {
    TObservedUdp udp(FreeUdpPort());
    const std::vector<rv::T_NumericIpAddress> local = rv::WS_LocalAddresses();
    ASSERT_FALSE(local.empty());
    uint32_t size = 60;
    for (rv::T_NumericIpAddress own : local) {
        SCOPED_TRACE(rv::WS_IpToStr(own));
        TRawUdp sender(own);
        const std::string data(++size, 'o');
        ASSERT_TRUE(sender.SendTo(data, own, udp.Port()));
        // Received (its length and sender are recorded) but not delivered.
        ASSERT_TRUE(PumpUntil([&] { return udp.RxBytes() == size && udp.DatagramReceivedFromIP() == own; }));
        EXPECT_TRUE(udp.Delivered.empty());
    }
}

TEST_F(UdpFromAnotherHost, AReplyGoesToTheLastSendersAddressAndPort) {
    TObservedUdp udp(FreeUdpPort());
    EXPECT_FALSE(udp.SendDatagramReply("early", 5)) << "nobody has sent anything yet";
    TRawUdp& peer = *Peer;
    bool replied = false;
    udp.OnDelivered = [&](const std::string& d) {
        if (d == "ping") replied = udp.SendDatagramReply("pong", 4);
    };
    ASSERT_TRUE(peer.SendTo("ping", Loopback(), udp.Port()));
    ASSERT_TRUE(PumpUntil([&] { return !peer.Received.empty(); }));
    EXPECT_TRUE(replied);
    EXPECT_EQ(peer.Received[0].Data, "pong");
    EXPECT_EQ(rv::WS_SockAddrPort(peer.Received[0].From), udp.Port());
}

TEST_F(UdpFromAnotherHost, AFailingHandlerDoesNotStopTheNextDatagram) {
    TObservedUdp udp(FreeUdpPort());
    udp.OnDelivered = [](const std::string& d) {
        if (d == "bad") throw std::runtime_error("handler failed");
    };
    TRawUdp& peer = *Peer;
    ASSERT_TRUE(peer.SendTo("bad", Loopback(), udp.Port()));
    ASSERT_TRUE(peer.SendTo("good", Loopback(), udp.Port()));
    ASSERT_TRUE(PumpUntil([&] { return udp.Has("good"); }));
    EXPECT_EQ(udp.Delivered, (std::vector<std::string>{"bad", "good"}));
}

TEST(UdpSocket, TheBroadcastPermissionIsSetOnceBeforeTheFirstBroadcast) {
    TObservedUdp udp(FreeUdpPort());
    const rv::TSocket s = udp.FSocket.load();
    uint32_t option = 1;
    ASSERT_TRUE(rv::WS_GetSocketOption(s, rv::TWS_SocketOption::Broadcast, option));
    EXPECT_EQ(option, 0u);
    EXPECT_FALSE(udp.BroadcastOptionEnabled());

    const bool sent = udp.SendBroadcastDatagram("hello", 5);
    const int32_t firstError = rv::LastWSError.load();
    EXPECT_TRUE(udp.BroadcastOptionEnabled());
    ASSERT_TRUE(rv::WS_GetSocketOption(s, rv::TWS_SocketOption::Broadcast, option));
    EXPECT_NE(option, 0u);
    if (!sent) GTEST_SKIP() << "this machine refuses broadcasts (error " << firstError << ")";

    // Taken away behind the socket's back: a socket that set it again would still send; this one does not.
    ASSERT_TRUE(rv::WS_SetSocketOption(s, rv::TWS_SocketOption::Broadcast, 0));
    EXPECT_FALSE(udp.SendBroadcastDatagram("again", 5));
    EXPECT_EQ(rv::LastWSError.load(), rv::C_WSAEACCES);
}

// The discovery tick broadcasts on the timer thread while the main thread may broadcast too: the permission is
// set once and every datagram arrives where the broadcasts are aimed (here one socket of the test on loopback).
TEST(UdpSocket, TwoThreadsMayBroadcastAtOnce) {
    TObservedUdp udp(FreeUdpPort());
    TRawUdp target(Loopback());
    udp.SetBroadcastAddr(rv::WS_MakeSockAddr(Loopback(), target.Port()));
    constexpr int kEach = 20;
    auto burst = [&udp](char Tag) {
        for (int i = 0; i < kEach; ++i) {
            const std::string d = std::string(1, Tag) + std::to_string(i);
            // A full send buffer (Wine) is would-block: the datagram is sent again, as the next tick would.
            bool sent = false;
            for (int attempt = 0; attempt < 500 && !sent; ++attempt) {
                sent = udp.SendBroadcastDatagram(d.data(), static_cast<uint32_t>(d.size()));
                if (!sent && rv::LastWSError.load() != rv::C_WSAEWOULDBLOCK) break;
                if (!sent) std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            EXPECT_TRUE(sent) << d << ": " << rv::LastWSError.load();
        }
    };
    std::thread other(burst, 't');
    burst('m');
    other.join();
    EXPECT_TRUE(udp.BroadcastOptionEnabled());
    ASSERT_TRUE(PumpUntil([&] { return target.Received.size() == 2 * kEach; })) << target.Received.size();
    for (char tag : {'m', 't'})
        for (int i = 0; i < kEach; ++i) {
            const std::string d = std::string(1, tag) + std::to_string(i);
            EXPECT_TRUE(std::any_of(target.Received.begin(), target.Received.end(),
                                    [&](const TRawUdp::TDatagram& R) { return R.Data == d; }))
                << d;
        }
}

TEST(UdpSocket, OwnBroadcastsComeBackAndAreDropped) {
    TObservedUdp udp(FreeUdpPort());
    const std::string data(66, 'b');
    if (!udp.SendBroadcastDatagram(data.data(), static_cast<uint32_t>(data.size())))
        GTEST_SKIP() << "this machine refuses broadcasts (error " << rv::LastWSError.load() << ")";
    if (!PumpUntil([&] { return udp.RxBytes() == data.size(); }, 3000))
        GTEST_SKIP() << "the broadcast was sent but this machine does not deliver it back to the sender";
    EXPECT_TRUE(rv::WS_IsLocalAddress(udp.DatagramReceivedFromIP())) << rv::WS_IpToStr(udp.DatagramReceivedFromIP());
    EXPECT_TRUE(udp.Delivered.empty());
}

TEST(UdpSocket, ABoundPortLeavesSocketBoundFalseAndTheFirstSendRaisesWithThePort) {
    const uint16_t port = FreeUdpPort();
    rv::TWS_TudpSocket holder(port);
    ASSERT_TRUE(holder.SocketBound());
    rv::TWS_TudpSocket second(port);
    EXPECT_FALSE(second.SocketBound());
    EXPECT_TRUE(rv::WS_PortInUseError());
    const std::string text =
        "TWS_TudpSocket: socket on port " + std::to_string(port) + " failed to bind, probably already in use";
    for (int send = 0; send < 2; ++send) {
        try {
            if (send == 0)
                second.SendBroadcastDatagram("x", 1);
            else
                second.SendDatagramReply("x", 1);
            ADD_FAILURE() << "no exception";
        } catch (const rv::EWS_SocketError& e) {
            EXPECT_EQ(std::string(e.what()), text);
        }
    }
}
