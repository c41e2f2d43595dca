// The server session over real loopback connections: accepting, the client limit, the order of a client's
// disconnection, closing all connections, a port in use, the notifier's shut-down of servers with clients, the
// time-out of accepted connections that deliver nothing and the limit per address.

#include "net/server_session.h"

#include "foundation/stop_watch.h"
#include "tests/net/net_test_support.h"
#include "tests/net/session_test_support.h"
#include "tests/test_support.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace session_testing;
using net_testing::Loopback;
using net_testing::PumpFor;
using testing_support::PumpUntil;

namespace {

// A server whose client sessions report when they are freed; it keeps a log of what happened in order.
class TProbeServer : public rv::TWS_ServerSession {
public:
    TProbeServer() : rv::TWS_ServerSession(true, false) {
        OnClientConnect = [this](rv::TWS_ServerSession*, rv::TWS_TcpIpSession* S) {
            Log.push_back("connect");
            S->OnData = [this](rv::TWS_TcpIpSession*, const uint8_t* Data, uint32_t Len) {
                Received.emplace_back(reinterpret_cast<const char*>(Data), Len);
                return true;
            };
        };
    }
    // The clients go while the log they write to still exists.
    ~TProbeServer() override {
        CloseAllConnections(true);
        LeaveNotifier();
    }

    std::vector<std::string> Log;
    std::vector<std::string> Received;
    std::map<rv::TWS_TcpIpSession*, std::shared_ptr<std::atomic<bool>>> Freed;

protected:
    rv::TWS_TcpIpSession* CreateClientSession(rv::TSocket Socket) override {
        auto flag = std::make_shared<std::atomic<bool>>(false);
        auto* s = new TFlaggedSession(Socket, FOptionNoTcpDelay, FOptionKeepAlive, flag, Log);
        Freed[s] = flag;
        return s;
    }

private:
    class TFlaggedSession : public rv::TWS_TcpIpSession {
    public:
        TFlaggedSession(rv::TSocket S, bool NoDelay, bool KeepAlive, std::shared_ptr<std::atomic<bool>> Flag,
                        std::vector<std::string>& Log)
            : rv::TWS_TcpIpSession(S, NoDelay, KeepAlive), FFlag(std::move(Flag)), FLog(Log) {}
        ~TFlaggedSession() override {
            DetachSession();
            *FFlag = true;
            FLog.push_back("freed");
        }

    private:
        std::shared_ptr<std::atomic<bool>> FFlag;
        std::vector<std::string>& FLog;
    };
};

std::unique_ptr<TProbeSession> Connect(uint16_t Port) {
    auto c = std::make_unique<TProbeSession>(true);
    if (!c->OpenConnection(Loopback(), Port, 5000, false)) return nullptr;
    return c;
}

} // namespace

TEST(ServerSession, AcceptsClientsAndHandsThemTheServersSettings) {
    TProbeServer server;
    server.FIdlePeriodDisconnectMs = 60000;
    ASSERT_TRUE(server.StartServerSession(0));
    ASSERT_NE(server.ServerPort(), 0);
    auto client = Connect(server.ServerPort());
    ASSERT_TRUE(client);
    ASSERT_TRUE(PumpUntil([&] { return server.GetClientCount() == 1; }));
    rv::TWS_TcpIpSession* s = server.Clients().GetItem(0);
    EXPECT_EQ(s->Status(), rv::ssConnected);
    EXPECT_EQ(s->RemoteAddr(), Loopback());
    EXPECT_EQ(s->RemotePort(), server.ServerPort());
    EXPECT_EQ(s->IdlePeriodDisconnectMs, 60000u);
    EXPECT_EQ(s->Owner(), server.Owner());
    uint32_t noDelay = 0;
    ASSERT_TRUE(rv::WS_GetSocketOption(s->FSocket.load(), rv::TWS_SocketOption::NoTcpDelay, noDelay));
    EXPECT_NE(noDelay, 0u);
    ASSERT_TRUE(client->SessionSend("hello", 5));
    ASSERT_TRUE(PumpUntil([&] { return server.Received.size() == 1; }));
    EXPECT_EQ(server.Received[0], "hello");
}

TEST(ServerSession, WithoutOnClientConnectNothingIsAccepted) {
    rv::TWS_ServerSession server(true, false);
    ASSERT_TRUE(server.StartServerSession(0));
    rv::TSocket raw;
    ASSERT_TRUE(rv::WS_CreateSocket(raw));
    ASSERT_TRUE(rv::WS_ConnectToSocket(raw, Loopback(), server.ServerPort()));
    PumpFor(net_testing::kQuietMs);
    EXPECT_EQ(server.GetClientCount(), 0);
    net_testing::CloseQuietly(raw);
}

TEST(ServerSession, TheClientLimitClosesTheConnectionBeyondItUntilAClientLeaves) {
    TProbeServer server;
    server.FMaxClientConnections = 1;
    ASSERT_TRUE(server.StartServerSession(0));
    auto first = Connect(server.ServerPort());
    ASSERT_TRUE(first);
    ASSERT_TRUE(PumpUntil([&] { return server.GetClientCount() == 1; }));

    // The server accepts the connection and closes it at once. Whether the client saw it connected first
    // depends on the platform; either way it ends disconnected.
    auto second = std::make_unique<TProbeSession>(true);
    second->OpenConnection(Loopback(), server.ServerPort(), 5000, false);
    ASSERT_TRUE(PumpUntil([&] { return second->Status() == rv::ssDisconnected; }));
    EXPECT_EQ(server.GetClientCount(), 1);
    EXPECT_EQ(std::count(server.Log.begin(), server.Log.end(), "connect"), 1);

    first.reset();
    ASSERT_TRUE(PumpUntil([&] { return server.GetClientCount() == 0; }));
    auto third = Connect(server.ServerPort());
    ASSERT_TRUE(third);
    ASSERT_TRUE(PumpUntil([&] { return server.GetClientCount() == 1; }));
    PumpFor(net_testing::kQuietMs);
    EXPECT_EQ(third->Status(), rv::ssConnected);
}

TEST(ServerSession, ADisconnectingClientLeavesTheListBeforeItIsReportedAndIsFreedAfter) {
    TProbeServer server;
    ASSERT_TRUE(server.StartServerSession(0));
    auto client = Connect(server.ServerPort());
    ASSERT_TRUE(client);
    ASSERT_TRUE(PumpUntil([&] { return server.GetClientCount() == 1; }));
    rv::TWS_TcpIpSession* s = server.Clients().GetItem(0);
    auto freed = server.Freed[s];
    bool inListDuringReport = true, freedDuringReport = true;
    rv::T_SessionState stateDuringReport = rv::ssIdle;
    server.OnClientDisConnect = [&](rv::TWS_ServerSession* Sender, rv::TWS_TcpIpSession* Session) {
        EXPECT_EQ(Sender, &server);
        EXPECT_EQ(Session, s);
        server.Log.push_back("reported");
        inListDuringReport = server.Clients().IndexOf(Session) >= 0;
        freedDuringReport = freed->load();
        stateDuringReport = Session->Status(); // still a live object here
    };
    client.reset();
    ASSERT_TRUE(PumpUntil([&] { return freed->load(); }));
    EXPECT_FALSE(inListDuringReport);
    EXPECT_FALSE(freedDuringReport);
    EXPECT_EQ(stateDuringReport, rv::ssConnected);
    EXPECT_EQ(server.Log, (std::vector<std::string>{"connect", "reported", "freed"}));
    EXPECT_EQ(server.GetClientCount(), 0);
}

TEST(ServerSession, CloseAllConnectionsDropsEveryClientSilently) {
    for (bool stopListening : {false, true}) {
        TProbeServer server;
        ASSERT_TRUE(server.StartServerSession(0));
        const uint16_t port = server.ServerPort();
        int reported = 0;
        server.OnClientDisConnect = [&](rv::TWS_ServerSession*, rv::TWS_TcpIpSession*) { ++reported; };
        auto a = Connect(port), b = Connect(port);
        ASSERT_TRUE(a && b);
        ASSERT_TRUE(PumpUntil([&] { return server.GetClientCount() == 2; }));
        server.CloseAllConnections(stopListening);
        EXPECT_EQ(server.GetClientCount(), 0);
        for (auto& f : server.Freed) EXPECT_TRUE(f.second->load());
        ASSERT_TRUE(PumpUntil([&] { return a->Status() == rv::ssDisconnected && b->Status() == rv::ssDisconnected; }));
        EXPECT_EQ(reported, 0);
        auto c = std::make_unique<TProbeSession>(true);
        if (stopListening) {
            EXPECT_FALSE(c->OpenConnection(Loopback(), port, 5000, false));
        } else {
            ASSERT_TRUE(c->OpenConnection(Loopback(), port, 5000, false));
            ASSERT_TRUE(PumpUntil([&] { return server.GetClientCount() == 1; }));
        }
    }
}

TEST(ServerSession, StartingOnAPortThatIsListenedOnElsewhereFailsWithPortInUse) {
    rv::TWS_ServerSession first(true, false);
    ASSERT_TRUE(first.StartServerSession(0));
    rv::TWS_ServerSession second(true, false);
    EXPECT_FALSE(second.StartServerSession(first.ServerPort()));
    EXPECT_TRUE(rv::WS_PortInUseError());
    // A successful start clears the error.
    EXPECT_TRUE(second.StartServerSession(0));
    EXPECT_EQ(rv::LastWSError.load(), 0);
}

TEST(ServerSession, FreeingTheNotifierClosesTheClientsOfAServerFirst) {
    auto notifier = std::make_unique<rv::T_WSAsyncSocketNotifier>();
    TProbeServer server;
    server.SetOwner(notifier.get());
    ASSERT_TRUE(server.StartServerSession(0));
    auto a = Connect(server.ServerPort()), b = Connect(server.ServerPort());
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(PumpUntil([&] { return server.GetClientCount() == 2; }));
    for (int i = 0; i < 2; ++i) EXPECT_EQ(server.Clients().GetItem(i)->Owner(), notifier.get());
    notifier.reset();
    EXPECT_EQ(server.GetClientCount(), 0);
    for (auto& f : server.Freed) EXPECT_TRUE(f.second->load());
    EXPECT_EQ(server.Owner(), nullptr);
    EXPECT_FALSE(rv::SocketIsOpen(server.FSocket.load())); // it stopped listening
    ASSERT_TRUE(PumpUntil([&] { return a->Status() == rv::ssDisconnected && b->Status() == rv::ssDisconnected; }));
}

namespace {

// A raw connection to Port from FromAddr (0: the system's choice), connected before it returns.
std::unique_ptr<TRawPeer> RawConnect(uint16_t Port, rv::T_NumericIpAddress FromAddr = 0) {
    rv::TSocket raw;
    if (!rv::WS_CreateSocket(raw)) return nullptr;
    if (FromAddr != 0 && !rv::WS_AddressBind(raw, FromAddr, 0)) {
        net_testing::CloseQuietly(raw);
        return nullptr;
    }
    if (!rv::WS_ConnectToSocket(raw, Loopback(), Port)) {
        net_testing::CloseQuietly(raw);
        return nullptr;
    }
    return std::make_unique<TRawPeer>(raw);
}

} // namespace

TEST(ServerSession, AnAcceptedConnectionThatDeliversNoCompletePacketInTimeIsClosed) {
    constexpr uint32_t kTimeOutMs = 300;
    struct TCase {
        const char* Name;
        std::string Sent;
        bool Stays;
    } cases[] = {
        {"nothing", "", false},
        {"half a header", Hex("02 10 00"), false},
        {"an acknowledgement only", Hex("02 00 00 00 80"), false},
        {"a header and part of its payload", Hex("02 04 00 00 00") + "ab", false},
        {"a complete packet", Packet("hello", false), true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TProbeServer server;
        server.AcceptIdleTimeOutMs = kTimeOutMs;
        int reported = 0;
        server.OnClientDisConnect = [&](rv::TWS_ServerSession*, rv::TWS_TcpIpSession*) { ++reported; };
        ASSERT_TRUE(server.StartServerSession(0));
        rv::TRV_StopWatch watch(true);
        auto peer = RawConnect(server.ServerPort());
        ASSERT_TRUE(peer);
        ASSERT_TRUE(PumpUntil([&] { return server.GetClientCount() == 1; }));
        EXPECT_EQ(server.Clients().GetItem(0)->FirstPacketTimeOutMs, kTimeOutMs);
        if (!c.Sent.empty()) {
            ASSERT_TRUE(peer->Send(c.Sent));
        }
        if (c.Stays) {
            ASSERT_TRUE(PumpUntil([&] { return server.Received.size() == 1; }));
            // Well past the time-out, and traffic-free: the first packet ended the count for good.
            PumpFor(3 * kTimeOutMs);
            EXPECT_FALSE(peer->Closed);
            EXPECT_EQ(server.GetClientCount(), 1);
            EXPECT_EQ(server.Received, (std::vector<std::string>{"hello"}));
        } else {
            ASSERT_TRUE(PumpUntil([&] { return peer->Closed; }));
            EXPECT_GE(watch.ElapsedTimeMS(), kTimeOutMs - 50);
            EXPECT_EQ(server.GetClientCount(), 0);
            EXPECT_EQ(reported, 1);
            EXPECT_TRUE(server.Received.empty());
        }
    }
}

TEST(ServerSession, ConnectionsFromOneAddressBeyondItsLimitAreClosedAtOnce) {
    TProbeServer server;
    server.MaxConnectionsPerAddress = 2;
    ASSERT_TRUE(server.StartServerSession(0));
    const uint16_t port = server.ServerPort();
    std::vector<std::unique_ptr<TRawPeer>> peers;
    for (int i = 0; i < 2; ++i) {
        peers.push_back(RawConnect(port));
        ASSERT_TRUE(peers.back());
    }
    ASSERT_TRUE(PumpUntil([&] { return server.GetClientCount() == 2; }));
    auto third = RawConnect(port);
    ASSERT_TRUE(third);
    ASSERT_TRUE(PumpUntil([&] { return third->Closed; }));
    EXPECT_EQ(server.GetClientCount(), 2);
    EXPECT_EQ(std::count(server.Log.begin(), server.Log.end(), "connect"), 2);

    // Another address has a count of its own.
    auto other = RawConnect(port, net_testing::Loopback2());
    ASSERT_TRUE(other);
    ASSERT_TRUE(PumpUntil([&] { return server.GetClientCount() == 3; }));
    EXPECT_EQ(server.Clients().GetItem(2)->RemoteAddr(), net_testing::Loopback2());

    // One leaves: the address may connect again.
    peers[0]->Close();
    ASSERT_TRUE(PumpUntil([&] { return server.GetClientCount() == 2; }));
    auto again = RawConnect(port);
    ASSERT_TRUE(again);
    ASSERT_TRUE(PumpUntil([&] { return server.GetClientCount() == 3; }));
    PumpFor(net_testing::kQuietMs);
    EXPECT_FALSE(again->Closed);
    EXPECT_FALSE(other->Closed);
}
