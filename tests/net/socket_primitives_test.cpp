#include "net/socket_primitives.h"

#include "net/async_name_lookup.h"
#include "net/socket_notifier.h"
#include "tests/net/net_test_support.h"
#include "tests/net/platform_test.h"
#include "tests/test_support.h"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <utility>

using namespace net_testing;

TEST(SocketLibrary, ASecondStartCreatesNothing) {
    ASSERT_TRUE(rv::WS_Start());
    rv::T_WSAsyncSocketNotifier* owner = rv::WSFOwner.load();
    rv::T_WSAsyncObjList* lookUps = rv::WS_AsyncList;
    ASSERT_NE(owner, nullptr);
    ASSERT_NE(lookUps, nullptr);
    EXPECT_TRUE(rv::WS_Start());
    EXPECT_EQ(rv::WSFOwner.load(), owner);
    EXPECT_EQ(rv::WS_AsyncList, lookUps);
}

TEST(SocketLibrary, FinishDetachesLiveObjectsAndTheLibraryStartsAgain) {
    ASSERT_TRUE(rv::WS_Start());
    auto survivor = std::make_unique<TRecordingSocket>();
    ASSERT_EQ(survivor->Owner(), rv::WSFOwner.load());
    rv::LastWSError = 4242;
    rv::WS_Finish();
    EXPECT_FALSE(rv::WS_Started());
    EXPECT_EQ(rv::WS_AsyncList, nullptr);
    EXPECT_EQ(rv::LastWSError.load(), 0); // the platform clean-up's result
    EXPECT_EQ(survivor->Owner(), nullptr);
    survivor.reset(); // must not reach back into the freed notifier

    // The first socket object starts the library again.
    TRecordingSocket next;
    EXPECT_TRUE(rv::WS_Started());
    EXPECT_EQ(next.Owner(), rv::WSFOwner.load());
}

TEST(SocketLibrary, AWorkerCannotBeTheFirstToStartIt) {
    rv::WS_Finish();
    bool started = true;
    int32_t error = 0;
    std::thread worker([&] {
        started = rv::WS_Start();
        error = rv::LastWSError.load();
    });
    worker.join();
    EXPECT_FALSE(started);
    EXPECT_EQ(error, rv::C_WSANOTINITIALISED);
    EXPECT_FALSE(rv::WS_Started());
    ASSERT_TRUE(rv::WS_Start());
}

// Each failing call leaves its Winsock code in LastWSError.
TEST(SocketPrimitives, FailuresLeaveTheWinsockCode) {
    uint16_t port;
    rv::TSocket listening = Listener(port);
    struct Case {
        const char* What;
        std::function<bool()> Call;
        int32_t Expected;
    };
    rv::TSocket scratch = rv::C_InvalidSocket;
    const Case cases[] = {
        {"bind to a port that is listening",
         [&] {
             rv::WS_CreateSocket(scratch);
             return rv::WS_AddressBind(scratch, Loopback(), port);
         },
         rv::C_WSAEADDRINUSE},
        {"bind to an address of no interface",
         [&] {
             // A stream socket: Wine binds datagram sockets to such addresses anyway.
             rv::WS_CreateSocket(scratch);
             return rv::WS_AddressBind(scratch, rv::WS_IpAddress(198, 51, 100, 7), 0);
         },
         rv::C_WSAEADDRNOTAVAIL},
        {"connect (blocking) to a port nobody listens on",
         [&] {
             rv::WS_CreateSocket(scratch);
             return rv::WS_ConnectToSocket(scratch, Loopback(), FreeTcpPort());
         },
         rv::C_WSAECONNREFUSED},
        {"close the invalid socket",
         [&] {
             rv::TSocket s = rv::C_InvalidSocket;
             return rv::WS_CloseSocket(s);
         },
         rv::C_WSAENOTSOCK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        rv::LastWSError = 0;
        EXPECT_FALSE(c.Call());
        EXPECT_EQ(rv::LastWSError.load(), c.Expected);
        CloseQuietly(scratch);
    }
    rv::LastWSError = 0;
    rv::WS_CreateSocket(scratch);
    EXPECT_FALSE(rv::WS_ProtocolBind(scratch, 0, port));
    EXPECT_TRUE(rv::WS_PortInUseError());
    CloseQuietly(scratch);
    CloseQuietly(listening);
}

TEST(SocketPrimitives, ANonBlockingConnectIsUnderWayAndLeavesLastWSErrorAlone) {
    uint16_t port;
    rv::TSocket listening = Listener(port);
    TRecordingSocket client;
    rv::TSocket s;
    ASSERT_TRUE(rv::WS_CreateSocket(s));
    client.FSocket = s;
    ASSERT_TRUE(client.SetSocketEvents(rv::C_FD_CONNECT)); // non-blocking from here on
    rv::LastWSError = 12345;
    EXPECT_TRUE(rv::WS_ConnectToSocket(s, Loopback(), port));
    EXPECT_EQ(rv::LastWSError.load(), 12345);
    // The connection completes with its event.
    ASSERT_TRUE(testing_support::PumpUntil([&] { return client.Count(rv::C_FD_CONNECT) == 1; }));
    EXPECT_EQ(client.Events.front(), (TEvent{rv::C_FD_CONNECT, 0}));
    CloseQuietly(listening);
}

TEST(SocketPrimitives, WouldBlockIsAResultNotAnError) {
    rv::TSocket client, server;
    TcpPair(client, server);
    TRecordingSocket obj(server);
    ASSERT_TRUE(obj.SetSocketEvents(rv::C_FD_READ));
    rv::LastWSError = 777;
    char buf[16];
    int32_t error = 0;
    EXPECT_EQ(rv::WS_Recv(server, buf, sizeof buf, &error), -1);
    EXPECT_EQ(error, rv::C_WSAEWOULDBLOCK);
    EXPECT_EQ(rv::LastWSError.load(), 777);
    CloseQuietly(client);
}

TEST(SocketPrimitives, CloseMakesTheHandleInvalid) {
    rv::TSocket s;
    ASSERT_TRUE(rv::WS_CreateUdpSocket(s));
    EXPECT_TRUE(rv::SocketIsOpen(s));
    EXPECT_TRUE(rv::WS_CloseSocket(s));
    EXPECT_EQ(s, rv::C_InvalidSocket);
    EXPECT_FALSE(rv::SocketIsOpen(s));
}

TEST(SocketPrimitives, HostNameAndBlockingLookUps) {
    const std::string host = rv::WS_GetHostName();
    EXPECT_FALSE(host.empty());
    // A machine whose host files do not name it (or lack localhost) resolves neither: the look-ups agree with
    // the platform's resolver either way.
    EXPECT_EQ(rv::WS_LocalIP(), rv::WS_LookUpName(host));
    ExpectTheLocalIpOfTheHostName(host);
    EXPECT_EQ(rv::WS_LookUpName(""), 0u);
    EXPECT_EQ(rv::WS_LookUpName("127.0.0.1"), Loopback());
    EXPECT_EQ(rv::WS_LookUpName("localhost"), SystemLookUp("localhost"));
    rv::LastWSError = 0;
    EXPECT_EQ(rv::WS_LookUpName("no-such-host.invalid"), 0u);
    EXPECT_GE(rv::LastWSError.load(), rv::C_WSAHOST_NOT_FOUND);
    EXPECT_LE(rv::LastWSError.load(), rv::C_WSANO_DATA);
}

TEST(SocketPrimitives, AddressesAsDottedText) {
    struct Case {
        rv::T_NumericIpAddress Ip;
        const char* Text;
    };
    const Case cases[] = {
        {rv::WS_IpAddress(127, 0, 0, 1), "127.0.0.1"},
        {rv::WS_IpAddress(192, 168, 1, 254), "192.168.1.254"},
        {0, "0.0.0.0"},
        {0xffffffffu, "255.255.255.255"},
    };
    for (const Case& c : cases) EXPECT_EQ(rv::WS_IpToStr(c.Ip), c.Text);
    rv::TWS_SockAddrIn a = rv::WS_MakeSockAddr(rv::WS_IpAddress(10, 1, 2, 3), 53795);
    EXPECT_EQ(rv::WS_IpToStr(a), "10.1.2.3");
    EXPECT_EQ(rv::WS_SockAddrPort(a), 53795);
    // The port is in network order inside the record: high byte first.
    const auto* bytes = reinterpret_cast<const uint8_t*>(&a.sin_port);
    EXPECT_EQ(bytes[0], 53795 >> 8);
    EXPECT_EQ(bytes[1], 53795 & 0xff);
}

TEST(SocketPrimitives, DottedTextToAnAddress) {
    struct Accepted {
        const char* Text;
        rv::T_NumericIpAddress Ip;
    };
    const Accepted accepted[] = {
        {"10.77.0.1", rv::WS_IpAddress(10, 77, 0, 1)},
        {"0.0.0.0", 0},
        {"255.255.255.255", 0xffffffffu},
        {"192.168.001.020", rv::WS_IpAddress(192, 168, 1, 20)}, // leading zeros are decimal, not octal
        {"000.0.00.9", rv::WS_IpAddress(0, 0, 0, 9)},
    };
    for (const Accepted& c : accepted) {
        SCOPED_TRACE(c.Text);
        rv::T_NumericIpAddress ip = 12345;
        ASSERT_TRUE(rv::WS_StrToIp(c.Text, ip));
        EXPECT_EQ(ip, c.Ip);
    }
    // Network order: the first dotted number is the first byte in memory.
    rv::T_NumericIpAddress ip = 0;
    ASSERT_TRUE(rv::WS_StrToIp("1.2.3.4", ip));
    const auto* bytes = reinterpret_cast<const uint8_t*>(&ip);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(bytes[3], 4);
    EXPECT_EQ(rv::WS_IpToStr(ip), "1.2.3.4");

    const char* refused[] = {
        "", "10.77.0.300", "256.0.0.1", "10.0.0", "10.0.0.1.5", "10.0.0.1.", ".10.0.0.1", "10..0.1",
        "10.0.0.", "0010.0.0.1", "10.0.0.0001", " 10.0.0.1", "10.0.0.1 ", "10. 0.0.1", "+10.0.0.1",
        "10.-0.0.1", "10.0.0.1x", "a.b.c.d", "10,0,0,1", "4294967306.0.0.1", "1e1.0.0.1", "localhost",
    };
    for (const char* text : refused) {
        SCOPED_TRACE(text);
        rv::T_NumericIpAddress untouched = 12345;
        EXPECT_FALSE(rv::WS_StrToIp(text, untouched));
        EXPECT_EQ(untouched, 12345u);
    }
    // A NUL inside the text is not the end of it.
    EXPECT_FALSE(rv::WS_StrToIp(std::string("1.2.3.4\0", 8), ip));
}

TEST(SocketPrimitives, TheLocalAddressesAreThisHostsAndTheFirstIsWS_LocalAddr) {
    const std::vector<rv::T_NumericIpAddress> local = rv::WS_LocalAddresses();
    ASSERT_FALSE(local.empty());
    EXPECT_EQ(rv::WS_LocalAddr.load(), local.front());
    // The host name's address comes first; a host name that does not resolve leaves the interfaces' addresses.
    if (rv::WS_LocalIP() != 0) {
        EXPECT_EQ(rv::WS_LocalAddr.load(), rv::WS_LocalIP());
    }
    EXPECT_TRUE(rv::WS_IsLocalAddress(Loopback()));
    EXPECT_FALSE(rv::WS_IsLocalAddress(rv::WS_IpAddress(198, 51, 100, 7)));
    // Each is really an address of this host: a socket can be bound to it.
    for (rv::T_NumericIpAddress a : local) {
        SCOPED_TRACE(rv::WS_IpToStr(a));
        rv::TSocket s;
        ASSERT_TRUE(rv::WS_CreateUdpSocket(s));
        EXPECT_TRUE(rv::WS_AddressBind(s, a, 0));
        rv::WS_CloseSocket(s);
    }
    // The address this host sends from to the outside is among them (connecting a UDP socket sends nothing).
    rv::TSocket s;
    ASSERT_TRUE(rv::WS_CreateUdpSocket(s));
    rv::TWS_SockAddrIn own;
    if (!rv::WS_ConnectToSocket(s, rv::WS_IpAddress(198, 51, 100, 1), 9) || !rv::WS_GetSockName(s, own)) {
        rv::WS_CloseSocket(s);
        GTEST_SKIP() << "no route off this host, so no outward address to compare";
    }
    rv::WS_CloseSocket(s);
    EXPECT_TRUE(rv::WS_IsLocalAddress(own.sin_addr)) << rv::WS_IpToStr(own.sin_addr);
}
