// Socket tests whose expectations are those of the POSIX backends.
#include "tests/net/platform_test.h"

#include "foundation/deferred_calls.h"
#include "net/socket_events_posix.h"
#include "net/socket_notifier.h"
#include "net/socket_primitives.h"
#include "net/udp_socket.h"
#include "tests/net/net_test_support.h"
#include "tests/test_support.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <utility>
#include <vector>

using namespace net_testing;
using testing_support::PumpUntil;

void ExpectTheLocalIpOfTheHostName(const std::string& Host) { EXPECT_EQ(rv::WS_LocalIP(), SystemLookUp(Host)); }

// The emulation posts its events through the queue, so they keep their place among the thread's messages:
// a message posted before the data was seen is handled before the read event.
TEST(SocketNotifier, EventsTakeTheirPlaceInTheMainThreadsMessageOrder) {
    rv::TSocket client, server;
    TcpPair(client, server);
    std::vector<std::string> order;
    TRecordingSocket obj(server);
    obj.OnEvent = [&](uint16_t Event, uint16_t) {
        if (Event == rv::C_FD_READ) order.push_back("read");
    };
    int32_t h = rv::AsyncRegisterCallBackEvent([&](int32_t) { order.push_back("posted"); });
    ASSERT_EQ(rv::WS_Send(client, "x", 1), 1);
    rv::AsyncPostNotification(h, 0);
    ASSERT_TRUE(obj.SetSocketEvents(rv::C_FD_READ));
    ASSERT_TRUE(PumpUntil([&] { return order.size() == 2; }));
    EXPECT_EQ(order, (std::vector<std::string>{"posted", "read"}));
    rv::AsyncRemoveCallBackEvent(h);
    CloseQuietly(client);
}

// A descriptor is reused at once after a close, but its handle is not: a late event for the closed socket
// cannot reach the new one.
TEST(SocketNotifier, ALateEventForAClosedSocketNeverReachesTheSocketThatReusedItsDescriptor) {
    rv::TSocket old;
    ASSERT_TRUE(rv::WS_CreateUdpSocket(old));
    const rv::TSocket oldHandle = old;
    rv::WS_CloseSocket(old);
    rv::TSocket fresh;
    ASSERT_TRUE(rv::WS_CreateUdpSocket(fresh));
    EXPECT_NE(fresh, oldHandle);
    EXPECT_EQ(fresh & 0xffffffffu, oldHandle & 0xffffffffu) << "the descriptor was not reused; nothing to show";
    TRecordingSocket obj(fresh);
    rv::TMessage m = SelectMessage(oldHandle, rv::C_FD_CLOSE);
    rv::WSFOwner.load()->WndProc(m);
    EXPECT_TRUE(obj.Events.empty());
}

// On POSIX the drain is what keeps the close orderly: closing with unread data would reset the connection.
// (Winsock fails reads after the shutdown, so there the drain reads nothing.)
TEST(SocketPrimitives, CloseDrainsPendingDataSoThePeerSeesAnOrderlyEnd) {
    rv::TSocket client, server;
    TcpPair(client, server);
    const std::string data(300, 'x');
    ASSERT_EQ(rv::WS_Send(client, data.data(), static_cast<int>(data.size())), 300);
    // Let the data arrive before the close.
    TRecordingSocket waiter(server);
    waiter.SetSocketEvents(rv::C_FD_READ);
    ASSERT_TRUE(testing_support::PumpUntil([&] { return waiter.Count(rv::C_FD_READ) == 1; }));
    waiter.FSocket = rv::C_InvalidSocket;
    EXPECT_TRUE(rv::WS_CloseSocket(server));
    char buf[16];
    int32_t error = 0;
    EXPECT_EQ(rv::WS_Recv(client, buf, sizeof buf, &error), 0) << "error " << error;
    // A reset would make this send fail; after an orderly close the peer's socket still takes it.
    EXPECT_EQ(rv::WS_Send(client, "x", 1, &error), 1) << "error " << error;
    CloseQuietly(client);
}

// The POSIX backend's errors are Winsock's numbers; these are the ones callers and peers act on.
TEST(SocketPrimitives, PosixErrorsTranslateToWinsocksNumbers) {
    const std::pair<int, int32_t> table[] = {
        {EWOULDBLOCK, 10035}, {EAGAIN, 10035},      {EINPROGRESS, 10035}, {EADDRINUSE, 10048},
        {ECONNREFUSED, 10061}, {ETIMEDOUT, 10060},  {ECONNRESET, 10054},  {ENOTSOCK, 10038},
        {EBADF, 10038},        {EADDRNOTAVAIL, 10049}, {ENETUNREACH, 10051}, {EHOSTUNREACH, 10065},
        {EMSGSIZE, 10040},     {EACCES, 10013},     {ENOTCONN, 10057},    {ECONNABORTED, 10053},
        {0, 0},
    };
    for (auto [err, wsa] : table) EXPECT_EQ(rv::posix_sockets::WSAErrorFromErrno(err), wsa) << "errno " << err;
}

TEST(UdpSocket, ASocketThatCouldNotBeCreatedRaisesOnTheFirstSend) {
    const uint16_t port = FreeUdpPort();
    // One made while descriptors are plentiful: the sanitizers check an object's type once, and that check
    // needs descriptors of its own.
    std::make_unique<rv::TWS_TudpSocket>(port).reset();
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit none = old;
    none.rlim_cur = 0; // no new descriptor for a moment
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    auto udp = std::make_unique<rv::TWS_TudpSocket>(port);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_FALSE(rv::SocketIsOpen(udp->FSocket.load()));
    try {
        udp->SendBroadcastDatagram("x", 1);
        ADD_FAILURE() << "no exception";
    } catch (const rv::EWS_SocketError& e) {
        EXPECT_EQ(std::string(e.what()), "TWS_TudpSocket: socket failed to be created");
    }
}
