#include "net/socket_notifier.h"

#include "foundation/deferred_calls.h"
#include "tests/net/net_test_support.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

using namespace net_testing;
using testing_support::PumpUntil;

namespace {

// Handles that no socket has: the notifier only compares them.
constexpr rv::TSocket kFakeHandle = 0x7000123;
constexpr rv::TSocket kOtherFakeHandle = 0x7000456;

// A recording object on a fake handle; the handle is dropped before destruction so nothing is closed.
class TFakeSocket : public TRecordingSocket {
public:
    TFakeSocket(std::vector<std::string>& Log, std::string Name, rv::TSocket S = kFakeHandle)
        : TRecordingSocket(S), FLog(Log), FName(std::move(Name)) {}
    ~TFakeSocket() override { FSocket = rv::C_InvalidSocket; }
    void ProcessEvent(uint16_t EventId, uint16_t ErrorCode) override {
        FLog.push_back(FName);
        TRecordingSocket::ProcessEvent(EventId, ErrorCode);
    }

private:
    std::vector<std::string>& FLog;
    std::string FName;
};

rv::TMessage SelectMessage(rv::TSocket S, uint16_t Event, uint16_t Error = 0) {
    return rv::TMessage{rv::C_WM_WSASYNC_SELECT, static_cast<uintptr_t>(S), rv::WS_MakeSelectReply(Event, Error), 0};
}

} // namespace

TEST(SocketNotifier, ANotificationForAnUnknownHandleIsConsumedAndChangesNothing) {
    std::vector<std::string> log;
    TFakeSocket known(log, "known");
    rv::TMessage m = SelectMessage(kOtherFakeHandle, rv::C_FD_READ);
    rv::WSFOwner.load()->WndProc(m);
    EXPECT_EQ(m.Result, 1);
    EXPECT_TRUE(known.Events.empty());
    // Posted, then a marker behind it: once the marker arrived, the unknown one was handled (FIFO).
    rv::WSFOwner.load()->PostMessage(rv::C_WM_WSASYNC_SELECT, kOtherFakeHandle, rv::WS_MakeSelectReply(1, 0));
    rv::WSFOwner.load()->PostMessage(rv::C_WM_WSREAD_AGAIN, kFakeHandle, rv::WS_MakeSelectReply(1, 0));
    ASSERT_TRUE(PumpUntil([&] { return !known.Events.empty(); }));
    EXPECT_EQ(known.Events, (std::vector<TEvent>{{1, 0}}));
    EXPECT_EQ(known.Owner(), rv::WSFOwner.load());
}

TEST(SocketNotifier, EveryHolderOfTheHandleGetsTheEventFromTheLastRegisteredToTheFirst) {
    std::vector<std::string> log;
    TFakeSocket first(log, "first"), other(log, "other", kOtherFakeHandle), last(log, "last");
    rv::TMessage m = SelectMessage(kFakeHandle, rv::C_FD_CLOSE, rv::C_WSAECONNRESET);
    rv::WSFOwner.load()->WndProc(m);
    EXPECT_EQ(log, (std::vector<std::string>{"last", "first"}));
    EXPECT_EQ(last.Events, (std::vector<TEvent>{{rv::C_FD_CLOSE, uint16_t(rv::C_WSAECONNRESET)}}));
    EXPECT_TRUE(other.Events.empty());
}

TEST(SocketNotifier, AHandlerMayFreeOtherObjectsAndThrowWithoutHarmingTheWalk) {
    std::vector<std::string> log;
    auto doomed = std::make_unique<TFakeSocket>(log, "doomed");
    TFakeSocket first(log, "first");
    TFakeSocket middle(log, "middle");
    TFakeSocket last(log, "last");
    // The last one frees an object below it, then fails: the walk goes on to "middle" and "first", once each.
    last.OnEvent = [&](uint16_t, uint16_t) {
        doomed.reset();
        throw std::runtime_error("handler failed");
    };
    rv::TMessage m = SelectMessage(kFakeHandle, rv::C_FD_READ);
    rv::WSFOwner.load()->WndProc(m);
    EXPECT_EQ(m.Result, 1);
    EXPECT_EQ(log, (std::vector<std::string>{"last", "middle", "first"}));
}

TEST(SocketNotifier, SetOwnerMovesAnObjectToAnotherNotifier) {
    std::vector<std::string> log;
    TFakeSocket obj(log, "obj");
    rv::T_WSAsyncSocketNotifier other;
    obj.SetOwner(&other);
    EXPECT_EQ(obj.Owner(), &other);
    rv::TMessage m = SelectMessage(kFakeHandle, rv::C_FD_READ);
    rv::WSFOwner.load()->WndProc(m);
    EXPECT_TRUE(obj.Events.empty());
    other.WndProc(m);
    EXPECT_EQ(obj.Events.size(), 1u);
    obj.SetOwner(rv::WSFOwner.load());
    EXPECT_TRUE(other.enhSockList.empty());
}

namespace {

// Stands in for the server session: it owns client objects registered with the same notifier.
class TFakeServer : public TFakeSocket {
public:
    TFakeServer(std::vector<std::string>& Log, std::string Name, rv::T_WSAsyncSocketNotifier& N, int Clients,
                bool Stubborn = false)
        : TFakeSocket(Log, Name), FShutDownLog(Log), FName(std::move(Name)), FStubborn(Stubborn) {
        SetOwner(&N);
        for (int i = 0; i < Clients; ++i) {
            Clients_.push_back(std::make_unique<TRecordingSocket>());
            Clients_.back()->SetOwner(&N);
        }
    }
    bool HasClientsToShutDown() const override { return !Clients_.empty(); }
    void ShutDownServerSession() override {
        FShutDownLog.push_back("shut down " + FName);
        if (!FStubborn) Clients_.clear(); // each client leaves the notifier's list as it goes
    }
    std::vector<std::unique_ptr<TRecordingSocket>> Clients_;

private:
    std::vector<std::string>& FShutDownLog;
    std::string FName;
    bool FStubborn;
};

} // namespace

TEST(SocketNotifier, DestructionShutsDownServersWithClientsFromTheEndThenDetachesTheRest) {
    std::vector<std::string> log;
    auto n = std::make_unique<rv::T_WSAsyncSocketNotifier>();
    TFakeServer s1(log, "s1", *n, 2);
    TRecordingSocket plain;
    plain.SetOwner(n.get());
    TFakeServer s2(log, "s2", *n, 1);
    TFakeServer idle(log, "idle", *n, 0);
    // A server whose shutdown keeps its clients must not hold the destruction up for ever.
    TFakeServer stubborn(log, "stubborn", *n, 1, true);
    n.reset();
    EXPECT_EQ(log, (std::vector<std::string>{"shut down stubborn", "shut down s2", "shut down s1"}));
    EXPECT_TRUE(s1.Clients_.empty());
    EXPECT_TRUE(s2.Clients_.empty());
    for (rv::TWS_SocketObj* o : std::vector<rv::TWS_SocketObj*>{&s1, &s2, &idle, &stubborn, &plain,
                                                               stubborn.Clients_.front().get()})
        EXPECT_EQ(o->Owner(), nullptr);
    // The survivors are destroyed after the notifier; they must not reach back into it (ASan checks).
}

#ifndef _WIN32
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
#endif

#ifdef _WIN32
// Winsock hands a closed socket's handle value to the next socket at once, while events posted for the closed
// one may still wait in the queue: delivered by handle, they would reach the new socket.
TEST(SocketNotifier, EventsQueuedForAClosedSocketNeverReachTheSocketThatGetsItsHandleAgain) {
    std::vector<std::string> log;
    TRecordingSocket first;
    rv::TSocket s;
    ASSERT_TRUE(rv::WS_CreateSocket(s));
    first.FSocket = s;
    ASSERT_TRUE(first.SetSocketEvents(rv::C_FD_READ | rv::C_FD_CLOSE));
    const rv::TSocket handle = s;
    // A close the platform posted before the socket was closed, still queued.
    rv::T_WSAsyncSocketNotifier* n = rv::WSFOwner.load();
    ASSERT_TRUE(n->PostMessage(rv::C_WM_WSASYNC_SELECT, handle, rv::WS_MakeSelectReply(rv::C_FD_CLOSE, 0)));
    first.ShutDownSocket();
    // The socket that got the handle again (here: an object holding it), and an event posted for it.
    TFakeSocket second(log, "second", handle);
    ASSERT_TRUE(n->PostMessage(rv::C_WM_WSASYNC_SELECT, handle, rv::WS_MakeSelectReply(rv::C_FD_READ, 0)));
    ASSERT_TRUE(PumpUntil([&] { return !second.Events.empty(); }));
    PumpFor(kQuietMs);
    EXPECT_EQ(second.Events, (std::vector<TEvent>{{rv::C_FD_READ, 0}}));
}
#endif
