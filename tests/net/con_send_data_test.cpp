// Connect-and-send workers against real peers on loopback: acknowledged, never acknowledged, the data taken at
// creation, freeing completed workers, and Clear while a worker still waits to connect.

#include "net/con_send_data.h"

#include "foundation/stop_watch.h"
#include "net/server_session.h"
#include "stream/smart_stream.h"
#include "tests/net/net_test_support.h"
#include "tests/net/session_test_support.h"
#include "tests/test_support.h"

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

// A peer of this program: a server whose sessions take (and so acknowledge) every packet.
struct TAckingPeer {
    rv::TWS_ServerSession Server{true, false};
    std::vector<std::string> Packets;
    TAckingPeer() {
        Server.OnClientConnect = [this](rv::TWS_ServerSession*, rv::TWS_TcpIpSession* S) {
            S->OnData = [this](rv::TWS_TcpIpSession*, const uint8_t* Data, uint32_t Len) {
                Packets.emplace_back(reinterpret_cast<const char*>(Data), Len);
                return true;
            };
        };
        EXPECT_TRUE(Server.StartServerSession(0));
    }
};

struct TReport {
    int Calls = 0;
    bool Successful = false;
    bool OnMainThread = false;
    uint32_t AfterMs = 0;
};

} // namespace

TEST(ConSendData, AnAcknowledgedPacketIsReportedSuccessfulWithoutWaitingForTheTimeOut) {
    TAckingPeer peer;
    rv::TRV_Constructed<TNote> note;
    note.Number = 7;
    note.Text = "info reply";
    TReport report;
    rv::TRV_StopWatch watch(true);
    rv::T_ConSendList list;
    list.Add(rv::T_ConSendData::Create(Loopback(), peer.Server.ServerPort(), 10000, note,
                                       [&](rv::T_ConSendData*, bool Successful, bool& FreeObject) {
                                           ++report.Calls;
                                           report.Successful = Successful;
                                           report.OnMainThread = rv::IsMainThread();
                                           report.AfterMs = watch.ElapsedTimeMS();
                                           EXPECT_FALSE(FreeObject);
                                       }));
    ASSERT_TRUE(PumpUntil([&] { return list.GetItem(0)->ProcessingComplete(); }, 15000));
    EXPECT_EQ(report.Calls, 1);
    EXPECT_TRUE(report.Successful);
    EXPECT_TRUE(report.OnMainThread);
    EXPECT_LT(report.AfterMs, 5000u); // soon after the acknowledgement, not at the 10 s time-out
    ASSERT_EQ(peer.Packets.size(), 1u);
    EXPECT_EQ(peer.Packets[0], Serialised(note));
    list.FreeCompletedThreads();
    EXPECT_EQ(list.Count(), 0);
}

TEST(ConSendData, APeerThatNeverAcknowledgesIsReportedUnsuccessfulAfterTheTimeOut) {
    uint16_t port;
    rv::TSocket listening = net_testing::Listener(port); // the connection is made, and nobody ever reads
    rv::TRV_Constructed<TNote> note;
    TReport report;
    rv::TRV_StopWatch watch(true);
    rv::T_ConSendList list;
    list.Add(rv::T_ConSendData::Create(Loopback(), port, 300, note, [&](rv::T_ConSendData*, bool Successful, bool&) {
        ++report.Calls;
        report.Successful = Successful;
        report.AfterMs = watch.ElapsedTimeMS();
    }));
    ASSERT_TRUE(PumpUntil([&] { return report.Calls == 1; }, 10000));
    EXPECT_FALSE(report.Successful);
    EXPECT_GE(report.AfterMs, 300u);
    net_testing::CloseQuietly(listening);
}

TEST(ConSendData, ARefusedConnectionIsReportedUnsuccessful) {
    rv::TRV_Constructed<TNote> note;
    TReport report;
    rv::T_ConSendList list;
    list.Add(rv::T_ConSendData::Create(Loopback(), net_testing::FreeTcpPort(), 2000, note,
                                       [&](rv::T_ConSendData*, bool Successful, bool&) {
                                           ++report.Calls;
                                           report.Successful = Successful;
                                       }));
    ASSERT_TRUE(PumpUntil([&] { return report.Calls == 1; }, 10000));
    EXPECT_FALSE(report.Successful);
}

TEST(ConSendData, WhatIsSentIsTheDataAsItWasAtCreation) {
    TAckingPeer peer;
    auto note = rv::MakeSmartStream<TNote>();
    note->Number = 1;
    note->Text = "before";
    const std::string before = Serialised(*note);
    int calls = 0;
    rv::T_ConSendList list;
    list.Add(rv::T_ConSendData::Create(Loopback(), peer.Server.ServerPort(), 5000, *note,
                                       [&](rv::T_ConSendData*, bool, bool&) { ++calls; }));
    note->Number = 2;
    note->Text = "after the worker was made";
    note.reset();
    ASSERT_TRUE(PumpUntil([&] { return calls == 1; }, 15000));
    ASSERT_EQ(peer.Packets.size(), 1u);
    EXPECT_EQ(peer.Packets[0], before);
}

TEST(ConSendData, AHandlerMayHaveTheWorkerFreeItself) {
    TAckingPeer peer;
    rv::TRV_Constructed<TNote> note;
    rv::T_ConSendList list;
    bool reported = false;
    list.Add(rv::T_ConSendData::Create(Loopback(), peer.Server.ServerPort(), 5000, note,
                                       [&](rv::T_ConSendData* Sender, bool Successful, bool& FreeObject) {
                                           EXPECT_TRUE(Successful);
                                           EXPECT_GE(list.NoDestroyRemove(Sender), 0);
                                           FreeObject = true;
                                           reported = true;
                                       }));
    ASSERT_TRUE(PumpUntil([&] { return reported; }, 15000));
    EXPECT_EQ(list.Count(), 0);
    // The worker ends and frees itself on its own thread; the sanitizer builds see a leak or a double free.
}

TEST(ConSendData, ClearWithAWorkerStillWaitingToConnectStopsItAndReportsNothing) {
    uint16_t port;
    rv::TSocket listening = net_testing::Listener(port);
    rv::TRV_Constructed<TNote> note;
    int calls = 0;
    rv::T_ConSendList list;
    // No message is let through before Clear, so the connect event cannot have been handled: the worker is
    // still waiting to connect (or has not started).
    for (int i = 0; i < 3; ++i)
        list.Add(rv::T_ConSendData::Create(Loopback(), port, 30000, note,
                                           [&](rv::T_ConSendData*, bool, bool&) { ++calls; }));
    rv::TRV_StopWatch watch(true);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_LT(watch.ElapsedTimeMS(), 10000u); // stopped, not left to its time-out
    testing_support::PumpUntil([] { return false; }, net_testing::kQuietMs);
    EXPECT_EQ(calls, 0);
    net_testing::CloseQuietly(listening);
}
