// Connect-and-send deliveries against real peers on loopback: acknowledged, never acknowledged, refused, the
// data taken when sent, the bound on deliveries at once, the queue (its own time-outs, coalescing, its
// limits), and Clear while deliveries are still connecting.

#include "net/con_send_data.h"

#include "foundation/stop_watch.h"
#include "net/server_session.h"
#include "stream/smart_stream.h"
#include "tests/net/net_test_support.h"
#include "tests/net/session_test_support.h"
#include "tests/test_support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

using net_testing::Loopback;
using session_testing::TNote;
using testing_support::PumpUntil;

namespace {

std::string Serialised(rv::TRV_SmartStream& R) {
    rv::TMemoryStream m;
    R.SaveToStream(m);
    return std::string(reinterpret_cast<const char*>(m.Memory()), static_cast<size_t>(m.Size()));
}

// A peer of this program: a server whose sessions take (and so acknowledge) every packet. It counts the
// connections waiting for their packet at once (a delivery ends with the acknowledgement, before the close reaches
// the peer).
struct TAckingPeer {
    rv::TWS_ServerSession Server{true, false};
    std::vector<std::string> Packets;
    int Open = 0;
    int MostOpen = 0;
    TAckingPeer() {
        Server.OnClientConnect = [this](rv::TWS_ServerSession*, rv::TWS_TcpIpSession* S) {
            MostOpen = std::max(MostOpen, ++Open);
            S->OnData = [this](rv::TWS_TcpIpSession*, const uint8_t* Data, uint32_t Len) {
                Packets.emplace_back(reinterpret_cast<const char*>(Data), Len);
                --Open;
                return true;
            };
        };
        EXPECT_TRUE(Server.StartServerSession(0));
    }
};

void Fill(TNote& N, int32_t Number, const std::string& Text) {
    N.Number = Number;
    N.Text = Text;
}

// The bytes of a note, as its peer receives them.
std::string Note(int32_t Number, const std::string& Text = "") {
    rv::TRV_Constructed<TNote> n;
    Fill(n, Number, Text);
    return Serialised(n);
}

// Sends a note to Port on loopback.
void SendNote(rv::T_ConSendList& List, uint16_t Port, uint32_t TimeOutMs, int Kind, int32_t Number,
              const std::string& Text, rv::T_OnConSendDataComplete OnComplete) {
    rv::TRV_Constructed<TNote> n;
    Fill(n, Number, Text);
    List.Send(Loopback(), Port, TimeOutMs, n, Kind, std::move(OnComplete));
}

struct TReport {
    int Calls = 0;
    bool Successful = false;
    bool OnMainThread = false;
    uint32_t AfterMs = 0;
};

using TStrings = std::vector<std::string>;

} // namespace

TEST(ConSendData, AnAcknowledgedPacketIsReportedSuccessfulWithoutWaitingForTheTimeOut) {
    TAckingPeer peer;
    rv::TRV_Constructed<TNote> note;
    Fill(note, 7, "info reply");
    TReport report;
    rv::TRV_StopWatch watch(true);
    rv::T_ConSendList list;
    list.Send(Loopback(), peer.Server.ServerPort(), 10000, note, rv::C_NoCoalescing,
              [&](rv::T_ConSendData* Sender, bool Successful) {
                  ++report.Calls;
                  report.Successful = Successful;
                  report.OnMainThread = rv::IsMainThread();
                  report.AfterMs = watch.ElapsedTimeMS();
                  EXPECT_EQ(Sender->HostPort(), peer.Server.ServerPort());
                  EXPECT_TRUE(Sender->ConSendSuccess());
              });
    EXPECT_EQ(report.Calls, 0); // never from inside Send
    ASSERT_TRUE(PumpUntil([&] { return report.Calls == 1; }, 15000));
    EXPECT_TRUE(report.Successful);
    EXPECT_TRUE(report.OnMainThread);
    EXPECT_LT(report.AfterMs, 5000u); // soon after the acknowledgement, not at the 10 s time-out
    ASSERT_EQ(peer.Packets.size(), 1u);
    EXPECT_EQ(peer.Packets[0], Serialised(note));
    EXPECT_EQ(list.Count(), 0);
}

// A delivery that cannot complete is reported unsuccessful: at its time-out when the peer never acknowledges
// (the connection is made and nobody reads), at once when the connection is refused.
TEST(ConSendData, UndeliveredMessagesAreReportedUnsuccessful) {
    uint16_t silentPort;
    rv::TSocket listening = net_testing::Listener(silentPort);
    struct TCase {
        const char* Name;
        uint16_t Port;
        uint32_t TimeOutMs;
        uint32_t AtLeastMs, AtMostMs;
    };
    const TCase cases[] = {
        {"never acknowledged", silentPort, 300, 300, 5000},
        {"refused", net_testing::FreeTcpPort(), 8000, 0, 4000},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TReport report;
        rv::TRV_StopWatch watch(true);
        rv::T_ConSendList list;
        SendNote(list, c.Port, c.TimeOutMs, rv::C_NoCoalescing, 1, "",
                 [&](rv::T_ConSendData*, bool Successful) {
                     ++report.Calls;
                     report.Successful = Successful;
                     report.AfterMs = watch.ElapsedTimeMS();
                 });
        ASSERT_TRUE(PumpUntil([&] { return report.Calls == 1; }, 10000));
        EXPECT_FALSE(report.Successful);
        EXPECT_GE(report.AfterMs, c.AtLeastMs);
        EXPECT_LE(report.AfterMs, c.AtMostMs);
        EXPECT_EQ(list.Count(), 0);
    }
    net_testing::CloseQuietly(listening);
}

TEST(ConSendData, WhatIsSentIsTheDataAsItWasWhenSent) {
    TAckingPeer peer;
    auto note = rv::MakeSmartStream<TNote>();
    note->Number = 1;
    note->Text = "before";
    const std::string before = Serialised(*note);
    int calls = 0;
    rv::T_ConSendList list;
    list.Send(Loopback(), peer.Server.ServerPort(), 5000, *note, rv::C_NoCoalescing,
              [&](rv::T_ConSendData*, bool) { ++calls; });
    note->Number = 2;
    note->Text = "after it was sent";
    note.reset();
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }, 15000));
    ASSERT_EQ(peer.Packets.size(), 1u);
    EXPECT_EQ(peer.Packets[0], before);
}

// A burst of messages: never more deliveries at once than the limit, every message delivered once, in the
// order sent, and not a thread more.
TEST(ConSendData, ABurstIsDeliveredAFewAtATime) {
    TAckingPeer peer;
    rv::T_ConSendList list(rv::T_ConSendLimits{.MaxActive = 4});
    const int threadsBefore = testing_support::ProcessThreadCount();
    std::vector<int> reported;
    int mostActive = 0;
    for (int i = 0; i < 60; ++i) {
        SendNote(list, peer.Server.ServerPort(), 10000, rv::C_NoCoalescing, i, "",
                 [&, i](rv::T_ConSendData*, bool Successful) {
                     EXPECT_TRUE(Successful);
                     reported.push_back(i);
                 });
        mostActive = std::max(mostActive, list.ActiveCount());
    }
    EXPECT_EQ(list.ActiveCount(), 4);
    EXPECT_EQ(testing_support::ProcessThreadCount(), threadsBefore);
    ASSERT_TRUE(PumpUntil(
        [&] {
            mostActive = std::max(mostActive, list.ActiveCount());
            return reported.size() == 60;
        },
        30000));
    EXPECT_EQ(mostActive, 4);
    EXPECT_LE(peer.MostOpen, 4);
    std::vector<std::string> expected;
    for (int i = 0; i < 60; ++i)
        expected.push_back(Note(i));
    EXPECT_EQ(peer.Packets, expected);
    for (int i = 0; i < 60; ++i)
        EXPECT_EQ(reported[i], i);
    EXPECT_EQ(list.Count(), 0);
}

// Behind one delivery that hangs (its peer never acknowledges), messages of one kind to one address replace
// each other while they wait; other kinds and other addresses keep their own places.
TEST(ConSendData, AWaitingMessageIsReplacedByANewerOneOfItsKindToItsAddress) {
    uint16_t silentPort;
    rv::TSocket listening = net_testing::Listener(silentPort);
    TAckingPeer peer, other;
    rv::T_ConSendList list(rv::T_ConSendLimits{.MaxActive = 1});
    std::vector<std::string> reports;
    auto send = [&](uint16_t Port, int Kind, int Number, uint32_t TimeOutMs = 10000) {
        SendNote(list, Port, TimeOutMs, Kind, Number, "",
                 [&reports, Number](rv::T_ConSendData*, bool Successful) {
                     reports.push_back(std::to_string(Number) + (Successful ? "+" : "-"));
                 });
    };
    send(silentPort, rv::C_NoCoalescing, 0, 500);
    send(peer.Server.ServerPort(), 5, 1);
    send(peer.Server.ServerPort(), 6, 2);
    send(other.Server.ServerPort(), 5, 3);
    send(peer.Server.ServerPort(), 5, 4); // replaces 1, in its place
    send(peer.Server.ServerPort(), rv::C_NoCoalescing, 5);
    send(peer.Server.ServerPort(), rv::C_NoCoalescing, 6);
    send(peer.Server.ServerPort(), 5, 7); // replaces 4
    EXPECT_EQ(list.Count(), 6);
    ASSERT_TRUE(PumpUntil([&] { return reports.size() == 6; }, 20000));
    EXPECT_EQ(reports, (TStrings{"0-", "7+", "2+", "3+", "5+", "6+"}));
    EXPECT_EQ(peer.Packets, (TStrings{Note(7), Note(2), Note(5), Note(6)}));
    EXPECT_EQ(other.Packets, TStrings{Note(3)});
    net_testing::CloseQuietly(listening);
}

// Each waiting message keeps its own time-out: one that waited its whole time-out behind a hanging delivery
// goes unsent and is reported unsuccessful, while a longer-lived one behind it is still delivered.
TEST(ConSendData, AMessageThatWaitedItsWholeTimeOutIsReportedUnsent) {
    uint16_t silentPort;
    rv::TSocket listening = net_testing::Listener(silentPort);
    TAckingPeer peer;
    rv::T_ConSendList list(rv::T_ConSendLimits{.MaxActive = 1});
    std::vector<std::pair<std::string, uint32_t>> reports;
    rv::TRV_StopWatch watch(true);
    auto send = [&](uint16_t Port, uint32_t TimeOutMs, const std::string& Name) {
        SendNote(list, Port, TimeOutMs, rv::C_NoCoalescing, 0, Name,
                 [&, Name](rv::T_ConSendData*, bool Successful) {
                     reports.emplace_back(Name + (Successful ? "+" : "-"), watch.ElapsedTimeMS());
                 });
    };
    send(silentPort, 1500, "hanging");
    send(peer.Server.ServerPort(), 300, "short");
    send(peer.Server.ServerPort(), 10000, "long");
    ASSERT_TRUE(PumpUntil([&] { return reports.size() == 3; }, 20000));
    ASSERT_EQ(reports[0].first, "short-");
    EXPECT_GE(reports[0].second, 300u);
    EXPECT_LT(reports[0].second, 1500u); // before the hanging delivery ended: it never held the slot
    EXPECT_EQ(reports[1].first, "hanging-");
    EXPECT_EQ(reports[2].first, "long+");
    ASSERT_EQ(peer.Packets.size(), 1u);
    EXPECT_EQ(peer.Packets[0], Note(0, "long"));
    net_testing::CloseQuietly(listening);
}

// A full queue, by count or by bytes, refuses the message: reported unsuccessful afterwards, never sent.
TEST(ConSendData, AFullQueueRefusesTheMessage) {
    uint16_t silentPort;
    rv::TSocket listening = net_testing::Listener(silentPort);
    TAckingPeer peer;
    struct TCase {
        const char* Name;
        rv::T_ConSendLimits Limits;
        std::string Text; // the size of each message
    };
    const TCase cases[] = {
        {"by count", {.MaxActive = 1, .MaxQueued = 2}, "x"},
        {"by bytes", {.MaxActive = 1, .MaxQueued = 100, .MaxQueuedBytes = 2500}, std::string(1000, 'x')},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        peer.Packets.clear();
        rv::T_ConSendList list(c.Limits);
        std::vector<std::string> reports;
        for (int i = 0; i < 4; ++i) {
            // The first hangs for a while; the others outlive it in the queue.
            SendNote(list, i == 0 ? silentPort : peer.Server.ServerPort(), i == 0 ? 300 : 10000, rv::C_NoCoalescing, i,
                     c.Text,
                     [&reports, i](rv::T_ConSendData*, bool Successful) {
                         reports.push_back(std::to_string(i) + (Successful ? "+" : "-"));
                     });
        }
        EXPECT_TRUE(reports.empty());
        ASSERT_TRUE(PumpUntil([&] { return reports.size() == 4; }, 20000));
        // The refused one at once; the two queued once the hanging one has timed out.
        EXPECT_EQ(reports, (TStrings{"3-", "0-", "1+", "2+"}));
        EXPECT_EQ(peer.Packets, (TStrings{Note(1, c.Text), Note(2, c.Text)}));
    }
    net_testing::CloseQuietly(listening);
}

// A report handler may send again, clear the list, or free it.
TEST(ConSendData, AReportHandlerMaySendClearOrFreeTheList) {
    TAckingPeer peer;
    rv::TRV_Constructed<TNote> note;
    const uint16_t port = peer.Server.ServerPort();
    {
        rv::T_ConSendList list;
        int calls = 0;
        list.Send(Loopback(), port, 5000, note, rv::C_NoCoalescing, [&](rv::T_ConSendData*, bool) {
            if (++calls == 1)
                list.Send(Loopback(), port, 5000, note, rv::C_NoCoalescing,
                          [&](rv::T_ConSendData*, bool) { ++calls; });
        });
        ASSERT_TRUE(PumpUntil([&] { return calls == 2; }, 15000));
        EXPECT_EQ(list.Count(), 0);
    }
    {
        rv::T_ConSendList list(rv::T_ConSendLimits{.MaxActive = 1});
        int calls = 0;
        for (int i = 0; i < 3; ++i)
            list.Send(Loopback(), port, 5000, note, rv::C_NoCoalescing, [&](rv::T_ConSendData*, bool) {
                ++calls;
                list.Clear();
            });
        ASSERT_TRUE(PumpUntil([&] { return calls == 1; }, 15000));
        PumpUntil([] { return false; }, net_testing::kQuietMs);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(list.Count(), 0);
    }
    {
        auto list = std::make_unique<rv::T_ConSendList>();
        int calls = 0;
        for (int i = 0; i < 2; ++i)
            list->Send(Loopback(), port, 5000, note, rv::C_NoCoalescing, [&](rv::T_ConSendData*, bool) {
                ++calls;
                list.reset();
            });
        ASSERT_TRUE(PumpUntil([&] { return calls >= 1; }, 15000));
        PumpUntil([] { return false; }, net_testing::kQuietMs);
        EXPECT_EQ(calls, 1);
    }
}

TEST(ConSendData, ClearWithDeliveriesStillConnectingDropsThemAndReportsNothing) {
    uint16_t port;
    rv::TSocket listening = net_testing::Listener(port);
    rv::TRV_Constructed<TNote> note;
    int calls = 0;
    rv::T_ConSendList list(rv::T_ConSendLimits{.MaxActive = 2});
    // No message is let through before Clear, so no connect event has been handled: two deliveries are
    // connecting and one waits.
    for (int i = 0; i < 3; ++i)
        list.Send(Loopback(), port, 30000, note, rv::C_NoCoalescing,
                  [&](rv::T_ConSendData*, bool) { ++calls; });
    EXPECT_EQ(list.ActiveCount(), 2);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.ActiveCount(), 0);
    testing_support::PumpUntil([] { return false; }, net_testing::kQuietMs);
    EXPECT_EQ(calls, 0);
    net_testing::CloseQuietly(listening);
}
