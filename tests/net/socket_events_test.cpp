// Winsock's event rules over real loopback sockets. Natively these test the POSIX emulation; under Wine the
// same checks run against WSAAsyncSelect.

#include "net/socket_notifier.h"

#include "tests/net/net_test_support.h"
#include "tests/test_support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace net_testing;
using testing_support::PumpUntil;

namespace {

// Reads what is there now (the socket is non-blocking).
std::string ReadAvailable(rv::TSocket S) {
    std::string out;
    char buf[4096];
    for (;;) {
        int n = rv::WS_Recv(S, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

bool SendAll(rv::TSocket S, const std::string& Data) {
    return rv::WS_Send(S, Data.data(), static_cast<int>(Data.size())) == static_cast<int>(Data.size());
}

} // namespace

TEST(SocketEvents, ReadIsReportedOnceAndAgainOnlyAfterTheNextRecv) {
    rv::TSocket client, server;
    TcpPair(client, server);
    TRecordingSocket obj(server);
    ASSERT_TRUE(obj.SetSocketEvents(rv::C_FD_READ | rv::C_FD_CLOSE));
    ASSERT_TRUE(SendAll(client, "abc"));
    ASSERT_TRUE(PumpUntil([&] { return obj.Count(rv::C_FD_READ) == 1; }));
    // More data without a read in between: no second report.
    ASSERT_TRUE(SendAll(client, "def"));
    PumpFor(kQuietMs);
    EXPECT_EQ(obj.Count(rv::C_FD_READ), 1);
    // A partial read re-enables: the rest is reported.
    char two[2];
    ASSERT_EQ(rv::WS_Recv(server, two, 2), 2);
    ASSERT_TRUE(PumpUntil([&] { return obj.Count(rv::C_FD_READ) == 2; }));
    EXPECT_EQ(ReadAvailable(server), "cdef");
    // Everything read: nothing more to report.
    PumpFor(kQuietMs);
    EXPECT_EQ(obj.Count(rv::C_FD_READ), 2);
    EXPECT_EQ(obj.Count(rv::C_FD_CLOSE), 0);
    EXPECT_TRUE(obj.OnMainThread);
    CloseQuietly(client);
}

TEST(SocketEvents, ARefusedConnectIsReportedOnceWith10061) {
    TRecordingSocket obj;
    rv::TSocket s;
    ASSERT_TRUE(rv::WS_CreateSocket(s));
    obj.FSocket = s;
    ASSERT_TRUE(obj.SetSocketEvents(rv::C_FD_READ | rv::C_FD_CONNECT | rv::C_FD_CLOSE));
    ASSERT_TRUE(rv::WS_ConnectToSocket(s, Loopback(), FreeTcpPort()));
    ASSERT_TRUE(PumpUntil([&] { return !obj.Events.empty(); }));
    PumpFor(kQuietMs);
    EXPECT_EQ(obj.Events, (std::vector<TEvent>{{rv::C_FD_CONNECT, uint16_t(rv::C_WSAECONNREFUSED)}}));
}

TEST(SocketEvents, AConnectIsReportedOnceThenTheFirstWrite) {
    uint16_t port;
    rv::TSocket listening = Listener(port);
    TRecordingSocket obj;
    rv::TSocket s;
    ASSERT_TRUE(rv::WS_CreateSocket(s));
    obj.FSocket = s;
    ASSERT_TRUE(obj.SetSocketEvents(rv::C_FD_READ | rv::C_FD_WRITE | rv::C_FD_CONNECT | rv::C_FD_CLOSE));
    ASSERT_TRUE(rv::WS_ConnectToSocket(s, Loopback(), port));
    ASSERT_TRUE(PumpUntil([&] { return obj.Events.size() >= 2; }));
    PumpFor(kQuietMs);
    EXPECT_EQ(obj.Events, (std::vector<TEvent>{{rv::C_FD_CONNECT, 0}, {rv::C_FD_WRITE, 0}}));
    CloseQuietly(listening);
}

TEST(SocketEvents, CloseComesOnceAfterTheRemainingDataWasReported) {
    rv::TSocket client, server;
    TcpPair(client, server);
    ASSERT_TRUE(SendAll(client, "last words"));
    ASSERT_TRUE(rv::WS_CloseSocket(client));
    TRecordingSocket obj(server);
    std::string got;
    std::vector<std::string> order;
    obj.OnEvent = [&](uint16_t Event, uint16_t) {
        order.push_back(Event == rv::C_FD_READ ? "read" : Event == rv::C_FD_CLOSE ? "close" : "other");
        if (Event == rv::C_FD_READ) got += ReadAvailable(server);
    };
    ASSERT_TRUE(obj.SetSocketEvents(rv::C_FD_READ | rv::C_FD_CLOSE));
    ASSERT_TRUE(PumpUntil([&] { return obj.Count(rv::C_FD_CLOSE) == 1; }));
    PumpFor(kQuietMs);
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.front(), "read");
    EXPECT_EQ(order.back(), "close");
    EXPECT_EQ(obj.Count(rv::C_FD_CLOSE), 1);
    EXPECT_EQ(got + ReadAvailable(server), "last words");
    EXPECT_EQ(obj.Events.back(), (TEvent{rv::C_FD_CLOSE, 0}));
}

TEST(SocketEvents, AcceptIsReportedOnceAndAgainOnlyAfterTheNextAccept) {
    uint16_t port;
    TRecordingSocket obj(Listener(port));
    ASSERT_TRUE(obj.SetSocketEvents(rv::C_FD_ACCEPT));
    rv::TSocket c1, c2;
    ASSERT_TRUE(rv::WS_CreateSocket(c1) && rv::WS_ConnectToSocket(c1, Loopback(), port));
    ASSERT_TRUE(rv::WS_CreateSocket(c2) && rv::WS_ConnectToSocket(c2, Loopback(), port));
    ASSERT_TRUE(PumpUntil([&] { return obj.Count(rv::C_FD_ACCEPT) == 1; }));
    PumpFor(kQuietMs);
    EXPECT_EQ(obj.Count(rv::C_FD_ACCEPT), 1) << "two connections wait, but accept was not called";

    rv::TSocket a1, a2;
    rv::T_NumericIpAddress peer = 0;
    ASSERT_TRUE(rv::WS_Accept(obj.FSocket.load(), a1, peer));
    EXPECT_EQ(peer, Loopback());
    ASSERT_TRUE(PumpUntil([&] { return obj.Count(rv::C_FD_ACCEPT) == 2; }));
    ASSERT_TRUE(rv::WS_Accept(obj.FSocket.load(), a2, peer));
    PumpFor(kQuietMs);
    EXPECT_EQ(obj.Count(rv::C_FD_ACCEPT), 2);
    for (rv::TSocket* s : {&c1, &c2, &a1, &a2}) CloseQuietly(*s);
}

TEST(SocketEvents, WriteComesAgainWhenTheBufferFreesAfterAWouldBlock) {
    rv::TSocket client, server;
    TcpPair(client, server);
    TRecordingSocket writer(server);
    TRecordingSocket reader(client);
    ASSERT_TRUE(reader.SetSocketEvents(rv::C_FD_READ)); // non-blocking, for the drain below
    ASSERT_TRUE(writer.SetSocketEvents(rv::C_FD_WRITE | rv::C_FD_CLOSE));
    // A connected socket that can send reports write once when asked.
    ASSERT_TRUE(PumpUntil([&] { return writer.Count(rv::C_FD_WRITE) == 1; }));
    const std::string chunk(64 * 1024, 'w');
    int32_t error = 0;
    size_t sent = 0;
    for (int i = 0; i < 100000; ++i) {
        int n = rv::WS_Send(server, chunk.data(), static_cast<int>(chunk.size()), &error);
        if (n < 0) break;
        sent += static_cast<size_t>(n);
    }
    ASSERT_EQ(error, rv::C_WSAEWOULDBLOCK);
    PumpFor(kQuietMs);
    EXPECT_EQ(writer.Count(rv::C_FD_WRITE), 1) << "the buffer is still full";
    size_t drained = 0;
    EXPECT_TRUE(PumpUntil(
        [&] {
            drained += ReadAvailable(client).size();
            return writer.Count(rv::C_FD_WRITE) == 2;
        },
        10000));
    EXPECT_GT(drained, 0u);
    EXPECT_LE(drained, sent);
}

// Sessions are opened by worker threads too: registration, connecting and freeing run there while the main
// thread dispatches.
TEST(SocketEvents, WorkersRegisterConnectAndFreeTheirSocketsWhileTheMainThreadDispatches) {
    uint16_t port;
    TRecordingSocket server(Listener(port));
    std::vector<rv::TSocket> accepted;
    std::string received;
    server.OnEvent = [&](uint16_t Event, uint16_t) {
        if (Event != rv::C_FD_ACCEPT) return;
        rv::TSocket a;
        rv::T_NumericIpAddress peer;
        if (rv::WS_Accept(server.FSocket.load(), a, peer)) accepted.push_back(a);
    };
    ASSERT_TRUE(server.SetSocketEvents(rv::C_FD_ACCEPT));

    class TWorkerSocket : public rv::TWS_SocketObj {
    public:
        ~TWorkerSocket() override { LeaveNotifier(); }
        void ProcessEvent(uint16_t EventId, uint16_t ErrorCode) override {
            if (EventId == rv::C_FD_CONNECT && ErrorCode == 0 && rv::IsMainThread()) Connected = true;
        }
        std::atomic<bool> Connected{false};
    };
    constexpr int kWorkers = 4;
    std::atomic<int> done{0}, failures{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            auto obj = std::make_unique<TWorkerSocket>();
            rv::TSocket s;
            if (!rv::WS_CreateSocket(s)) {
                ++failures;
                ++done;
                return;
            }
            obj->FSocket = s;
            bool ok = obj->SetSocketEvents(rv::C_FD_CONNECT | rv::C_FD_CLOSE) &&
                      rv::WS_ConnectToSocket(s, Loopback(), port);
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (ok && !obj->Connected && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const std::string msg(1, static_cast<char>('A' + w));
            if (!ok || !obj->Connected || rv::WS_Send(s, msg.data(), 1) != 1) ++failures;
            obj.reset(); // freed on the worker, while the main thread may be dispatching
            ++done;
        });
    }
    std::vector<std::unique_ptr<TRecordingSocket>> readers;
    EXPECT_TRUE(PumpUntil(
        [&] {
            for (; readers.size() < accepted.size();) {
                auto r = std::make_unique<TRecordingSocket>(accepted[readers.size()]);
                rv::TSocket a = accepted[readers.size()];
                r->OnEvent = [&received, a](uint16_t Event, uint16_t) {
                    if (Event == rv::C_FD_READ) received += ReadAvailable(a);
                };
                r->SetSocketEvents(rv::C_FD_READ | rv::C_FD_CLOSE);
                readers.push_back(std::move(r));
            }
            return done == kWorkers && received.size() == kWorkers;
        },
        15000));
    for (auto& t : workers) t.join();
    EXPECT_EQ(failures.load(), 0);
    std::sort(received.begin(), received.end());
    EXPECT_EQ(received, "ABCD");
    EXPECT_TRUE(server.OnMainThread);
}
