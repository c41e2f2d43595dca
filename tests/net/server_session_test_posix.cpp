// The server session when the process runs out of descriptors: it waits instead of spinning on the connection
// it cannot accept, and accepts it once descriptors are free again.

#include "net/server_session.h"

#include "tests/net/net_test_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

using net_testing::Loopback;
using net_testing::PumpFor;
using testing_support::PumpUntil;

namespace {

#if defined(__SANITIZE_ADDRESS__)
// UndefinedBehaviorSanitizer, built with it, opens a pipe to check memory the first time it meets a type.
constexpr bool kRuntimeNeedsDescriptors = true;
#else
constexpr bool kRuntimeNeedsDescriptors = false;
#endif

// Counts the accept events it is given.
class TCountingServer : public rv::TWS_ServerSession {
public:
    TCountingServer() : rv::TWS_ServerSession(true, false) {
        OnClientConnect = [](rv::TWS_ServerSession*, rv::TWS_TcpIpSession*) {};
    }
    ~TCountingServer() override {
        CloseAllConnections(true);
        LeaveNotifier();
    }
    void DoSessionAccept() override {
        ++AcceptEvents;
        rv::TWS_ServerSession::DoSessionAccept();
    }
    int AcceptEvents = 0;
};

// No new descriptor while it lives; the limit comes back however the test ends.
class TNoNewDescriptors {
public:
    TNoNewDescriptors() {
        Ok = getrlimit(RLIMIT_NOFILE, &FOld) == 0;
        rlimit none = FOld;
        none.rlim_cur = 0;
        Ok = Ok && setrlimit(RLIMIT_NOFILE, &none) == 0;
    }
    ~TNoNewDescriptors() { Restore(); }
    void Restore() {
        if (Ok) setrlimit(RLIMIT_NOFILE, &FOld);
        Ok = false;
    }
    bool Ok = false;

private:
    rlimit FOld{};
};

} // namespace

TEST(ServerSessionPosix, OutOfDescriptorsTheServerWaitsInsteadOfSpinningAndAcceptsOnceTheyReturn) {
    if (kRuntimeNeedsDescriptors) GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
    TCountingServer server;
    ASSERT_TRUE(server.StartServerSession(0));
    rv::TSocket client;
    ASSERT_TRUE(rv::WS_CreateSocket(client));
    {
        TNoNewDescriptors limit;
        ASSERT_TRUE(limit.Ok);
        // The connection is complete in the listener's backlog, but accepting it needs a descriptor.
        ASSERT_TRUE(rv::WS_ConnectToSocket(client, Loopback(), server.ServerPort()));
        ASSERT_TRUE(PumpUntil([&] { return server.AcceptEvents > 0; }));
        const int before = server.AcceptEvents;
        PumpFor(1000);
        const int during = server.AcceptEvents - before;
        limit.Restore();
        EXPECT_EQ(server.GetClientCount(), 0);
        // One try per retry period, not one per pass of the message loop.
        EXPECT_LE(during, static_cast<int>(1000 / rv::C_AcceptRetryMs) + 2);
        EXPECT_GE(during, 1); // it does try again
    }
    ASSERT_TRUE(PumpUntil([&] { return server.GetClientCount() == 1; }));
    EXPECT_EQ(server.Clients().GetItem(0)->Status(), rv::ssConnected);
    net_testing::CloseQuietly(client);
}
