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
