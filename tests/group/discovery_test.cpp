// The discovery broadcaster and the info providers over real loopback sockets: the broadcast's phases and jitter
// (with short periods), the floor of the normal period, giving up, the 512-byte limit, answers by TCP and by
// datagram, the answer server's fall-back port, and ticks that never see a half-built request.

#include "group/discovery.h"

#include "foundation/message_pump.h"
#include "tests/group/group_test_support.h"
#include "tests/net/net_test_support.h"
#include "tests/test_support.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

using group_testing::Lo;
using group_testing::TInfoSink;
using group_testing::TRawUdp;
using testing_support::PumpUntil;

namespace {

// Broadcasts of the tests go to a socket of the test on loopback, never onto a real network.
void AimAt(rv::T_UpdReqInfoBroadcaster& B, const TRawUdp& Target) {
    B.BroadcastAddr = rv::WS_MakeSockAddr(Lo(1), Target.Port());
}

std::vector<int> IntervalsMs(const std::vector<TRawUdp::TDatagram>& D) {
    std::vector<int> out;
    for (size_t i = 1; i < D.size(); ++i)
        out.push_back(static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(D[i].At - D[i - 1].At).count()));
    return out;
}

std::string Describe(const std::vector<int>& V) {
    std::string s;
    for (int v : V) s += std::to_string(v) + " ";
    return s;
}

rv::T_InfoServicesRec Services(uint32_t Session, uint16_t ReplyPort, uint16_t Tcp1 = 0) {
    rv::T_InfoServicesRec r;
    r.SessionId = Session;
    r.InfoReplyPort = ReplyPort;
    r.TcpIpServices = rv::MakeServices(Tcp1, 0);
    return r;
}

// Every timing check allows the delivery of the datagram to the test's thread this much either way.
constexpr int kSlackMs = 15;
constexpr int kLateMs = 45;

} // namespace

TEST(Broadcaster, FastPhaseThenNormalPeriodBothJittered) {
    TRawUdp target(Lo(1));
    rv::T_UpdReqInfoBroadcaster b(net_testing::FreeUdpPort(), {}, "G~*", 0);
    AimAt(b, target);
    // Scaled down: a fast phase of 130 ms for 900 ms, then 400 ms.
    b.InitBroadcastPeriodMs = 130;
    b.InitBroadcastDurationMs = 900;
    const auto start = std::chrono::steady_clock::now();
    b.StartBroadcasting(400, 0);
    EXPECT_EQ(b.State(), rv::bsInit);
    // Until four intervals of the normal period have passed (fast intervals are below 250 ms).
    ASSERT_TRUE(PumpUntil(
        [&] {
            const std::vector<int> iv = IntervalsMs(target.Received);
            return iv.size() > 1 && std::count_if(iv.begin() + 1, iv.end(), [](int V) { return V >= 250; }) >= 4;
        },
        8000));
    b.StopBroadcasting();

    const auto& d = target.Received;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(d[0].At - start).count(), kSlackMs)
        << "one broadcast at once";
    const std::vector<int> iv = IntervalsMs(d);
    // The timer's own period first, then base + (0..99) - 80 in the fast phase, then exactly the normal period
    // once, then base + (0..99) - 80 again.
    EXPECT_GE(iv[0], 130 - kSlackMs) << Describe(iv);
    EXPECT_LE(iv[0], 130 + kLateMs) << Describe(iv);
    size_t switchAt = 1;
    while (switchAt < iv.size() && iv[switchAt] < 250) ++switchAt;
    ASSERT_LT(switchAt + 3, iv.size()) << Describe(iv);
    for (size_t i = 1; i < switchAt; ++i) {
        EXPECT_GE(iv[i], 50 - kSlackMs) << i << ": " << Describe(iv);
        EXPECT_LE(iv[i], 149 + kLateMs) << i << ": " << Describe(iv);
    }
    // The tick that ends the fast phase came after its 900 ms.
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(d[switchAt].At - d[0].At).count(), 900 - kSlackMs);
    EXPECT_GE(iv[switchAt], 400 - kSlackMs) << Describe(iv);
    EXPECT_LE(iv[switchAt], 400 + kLateMs) << Describe(iv);
    for (size_t i = switchAt + 1; i < iv.size(); ++i) {
        EXPECT_GE(iv[i], 320 - kSlackMs) << i << ": " << Describe(iv);
        EXPECT_LE(iv[i], 419 + kLateMs) << i << ": " << Describe(iv);
    }
    // Jitter: the fast intervals are not all one value.
    EXPECT_NE(*std::min_element(iv.begin() + 1, iv.begin() + switchAt),
              *std::max_element(iv.begin() + 1, iv.begin() + switchAt));
    EXPECT_EQ(b.State(), rv::bsNormal);
}

TEST(Broadcaster, WithoutAFastPhaseTheNormalPeriodIsAtLeast200) {
    TRawUdp target(Lo(1));
    rv::T_UpdReqInfoBroadcaster b(net_testing::FreeUdpPort(), {}, "G~*", 0);
    AimAt(b, target);
    b.InitBroadcastDurationMs = 0;
    b.StartBroadcasting(100, 0);
    EXPECT_EQ(b.State(), rv::bsNormal);
    ASSERT_TRUE(PumpUntil([&] { return target.Received.size() >= 9; }, 6000));
    b.StopBroadcasting();
    const std::vector<int> iv = IntervalsMs(target.Received);
    // 200 ms exactly first, then 120 to 219 ms: with 100 ms as the base they would be 50 to 119.
    EXPECT_GE(iv[0], 200 - kSlackMs) << Describe(iv);
    EXPECT_LE(iv[0], 200 + kLateMs) << Describe(iv);
    for (size_t i = 1; i < iv.size(); ++i) {
        EXPECT_GE(iv[i], 120 - kSlackMs) << Describe(iv);
        EXPECT_LE(iv[i], 219 + kLateMs) << Describe(iv);
    }
    const double mean = std::accumulate(iv.begin() + 1, iv.end(), 0.0) / static_cast<double>(iv.size() - 1);
    EXPECT_GT(mean, 130.0) << Describe(iv);
}

TEST(Broadcaster, GivesUpAfterItsPeriodSendingOnTheLastTick) {
    TRawUdp target(Lo(1));
    rv::T_UpdReqInfoBroadcaster b(net_testing::FreeUdpPort(), {}, "G~*", 0);
    AimAt(b, target);
    b.InitBroadcastDurationMs = 0;
    b.StartBroadcasting(200, 500);
    ASSERT_TRUE(PumpUntil([&] { return b.State() == rv::bsGivenUp; }, 5000));
    // Waits for the tick that gave up (it holds the tick lock while it sends), then puts a marker behind its
    // broadcast: everything before the marker is what was broadcast.
    EXPECT_FALSE(b.Broadcasting());
    TRawUdp marker(Lo(1));
    ASSERT_TRUE(marker.SendTo("marker", Lo(1), target.Port()));
    ASSERT_TRUE(PumpUntil([&] { return !target.Received.empty() && target.Received.back().Data == "marker"; }));
    target.Received.pop_back();
    // The tick that gave up, after the 500 ms, still sent its broadcast; nothing follows it.
    ASSERT_GE(target.Received.size(), 3u);
    const auto last = target.Received.back().At;
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(last - target.Received.front().At).count(),
              500 - kSlackMs);
    const size_t count = target.Received.size();
    net_testing::PumpFor(450);
    EXPECT_EQ(target.Received.size(), count);
}

TEST(Broadcaster, EachStartDrawsANewSessionAndSendsItAtOnce) {
    TRawUdp target(Lo(1));
    rv::T_UpdReqInfoBroadcaster b(net_testing::FreeUdpPort(), {}, "G~*", 0);
    AimAt(b, target);
    std::vector<uint32_t> sessions;
    for (int i = 0; i < 3; ++i) {
        b.StartBroadcasting(1000, 0);
        ASSERT_TRUE(PumpUntil([&] { return target.Received.size() == sessions.size() + 1; }));
        rv::TRV_Constructed<rv::T_UpdInfoStream> r;
        rv::TRV_BlockMemoryStream in(target.Received.back().Data.data(),
                                     static_cast<int64_t>(target.Received.back().Data.size()));
        ASSERT_TRUE(r.ReadFromStream(in));
        EXPECT_EQ(r.sT.TransmissionType, rv::ttBroadcast);
        EXPECT_EQ(r.UniqueIdStr(), "G~*"); // the search's wildcard stays in the request
        EXPECT_EQ(r.sT.isR.SessionId, b.SessionId());
        sessions.push_back(r.sT.isR.SessionId);
    }
    std::sort(sessions.begin(), sessions.end());
    EXPECT_EQ(std::unique(sessions.begin(), sessions.end()), sessions.end());
}

TEST(Broadcaster, ARequestOfMoreThan512BytesIsRefusedAndChangesNothing) {
    rv::T_UpdReqInfoBroadcaster b(net_testing::FreeUdpPort(), {}, "G~*", 0);
    const std::string before = b.SendStreamBytes();
    // 37 bytes with both texts empty: an identifier of 475 characters makes 512, one more is too large.
    EXPECT_NO_THROW(b.Configure(0, std::string(475, 'x')));
    EXPECT_EQ(b.SendStreamBytes().size(), 512u);
    try {
        b.Configure(7, std::string(476, 'x'));
        FAIL() << "no error";
    } catch (const rv::ERV_Error& e) {
        EXPECT_EQ(std::string(e.what()), "T_UpdReqInfoBroadcaster.StartBroadcasting message too large");
    }
    EXPECT_EQ(b.SendStreamBytes().size(), 512u);
    EXPECT_EQ(b.BroadcastR.sT.isR.InfoReplyPort, 0);
    b.Configure(0, "G~*");
    EXPECT_EQ(b.SendStreamBytes(), before);

    b.BroadcastR.SetParameterStr(std::string(600, 'p'));
    EXPECT_THROW(b.StartBroadcasting(500, 0), rv::ERV_Error);
    EXPECT_FALSE(b.Broadcasting());
}

TEST(Broadcaster, AnAnswerEndsTheSearchUnlessTheHandlerSaysOtherwise) {
    TRawUdp target(Lo(1));
    group_testing::TUdpPeer answerer(2);
    struct TCall {
        rv::T_NumericIpAddress From;
        uint16_t Tcp1, Tcp2;
        std::string AppData;
    };
    std::vector<TCall> calls;
    bool keepSearching = false;
    const uint16_t udpPort = net_testing::FreeUdpPort();
    rv::T_UpdReqInfoBroadcaster b(
        udpPort,
        [&](rv::T_UpdReqInfoBroadcaster*, rv::T_NumericIpAddress From, uint16_t T1, uint16_t T2, rv::TStream& App,
            bool& Stop) {
            std::string data(static_cast<size_t>(App.Size() - App.Position()), '\0');
            App.ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
            calls.push_back({From, T1, T2, data});
            EXPECT_TRUE(Stop);
            if (keepSearching) Stop = false;
        },
        "G~*", 0);
    AimAt(b, target);
    b.StartBroadcasting(500, 0);

    // An answer of another group, and a request, reach no handler.
    answerer.Socket.SendTo(group_testing::Info(rv::ttInfoReply, "H~x~y", "", Services(1, 0, 9)), Lo(1), udpPort);
    answerer.Socket.SendTo(group_testing::Info(rv::ttBroadcast, "G~x~y", "", Services(1, 0, 9)), Lo(1), udpPort);
    net_testing::PumpFor(net_testing::kQuietMs);
    EXPECT_TRUE(calls.empty());

    struct TPayload : rv::TRV_SmartStream {
        std::string Text = "payload";
        void AssignElements() override {
            TRV_SmartStream::AssignElements();
            AddLongString(Text);
        }
    };
    rv::TRV_Constructed<TPayload> payload;
    keepSearching = true;
    answerer.Socket.SendTo(group_testing::Info(rv::ttInfoReply, "g~Launcher~A", "", rv::T_InfoServicesRec{0, 0, 0,
                                        rv::MakeServices(2000, 2001), 0}, &payload), Lo(1), udpPort);
    ASSERT_TRUE(PumpUntil([&] { return calls.size() == 1; }));
    EXPECT_EQ(calls[0].From, answerer.Ip);
    EXPECT_EQ(calls[0].Tcp1, 2000);
    EXPECT_EQ(calls[0].Tcp2, 2001);
    rv::TMemoryStream expected;
    payload.SaveToStream(expected);
    EXPECT_EQ(calls[0].AppData, std::string(reinterpret_cast<const char*>(expected.Memory()),
                                            static_cast<size_t>(expected.Size())));
    EXPECT_TRUE(b.Broadcasting()) << "Stop set false: the search goes on";

    keepSearching = false;
    answerer.Socket.SendTo(group_testing::Info(rv::ttInfoReply, "G~Launcher~A", "", Services(0, 0)), Lo(1), udpPort);
    ASSERT_TRUE(PumpUntil([&] { return calls.size() == 2; }));
    EXPECT_FALSE(b.Broadcasting()) << "Stop left true: the search ends";
}

TEST(Broadcaster, AnswersByTcpAreHandledAsDatagrams) {
    int calls = 0;
    rv::T_NumericIpAddress from = 0;
    rv::T_UpdReqInfoBroadcaster b(
        net_testing::FreeUdpPort(),
        [&](rv::T_UpdReqInfoBroadcaster*, rv::T_NumericIpAddress From, uint16_t, uint16_t, rv::TStream&, bool&) {
            ++calls;
            from = From;
        },
        "G~*", net_testing::FreeTcpPort());
    ASSERT_NE(b.AnswerPort(), 0);
    EXPECT_EQ(b.BroadcastR.sT.isR.InfoReplyPort, b.AnswerPort());
    ASSERT_TRUE(group_testing::SendPacketFrom(Lo(3), b.AnswerPort(),
                                              group_testing::Info(rv::ttInfoReply, "G~C~U", "", Services(5, 0))));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(from, Lo(3)) << "the address the connection came from";
    // A damaged answer is dropped; the server takes the next.
    std::string damaged = group_testing::Info(rv::ttInfoReply, "G~C~U", "", Services(5, 0));
    damaged[10] ^= 0x55;
    ASSERT_TRUE(group_testing::SendPacketFrom(Lo(3), b.AnswerPort(), damaged));
    EXPECT_EQ(calls, 1);
}

TEST(Broadcaster, TheAnswerServerFallsBackWhenItsPortIsTakenAndAnnouncesThePortItGot) {
    const uint16_t wanted = net_testing::FreeTcpPort();
    ASSERT_LT(wanted, 65535 - 400);
    rv::TWS_ServerSession occupant(true, false);
    ASSERT_TRUE(occupant.StartServerSession(wanted));
    rv::T_UpdReqInfoBroadcaster b(net_testing::FreeUdpPort(), {}, "G~*", wanted);
    const uint16_t got = b.AnswerPort();
    EXPECT_GE(got, wanted + 100);
    EXPECT_LT(got, wanted + 100 + 80 + 200);
    EXPECT_EQ(b.BroadcastR.sT.isR.InfoReplyPort, got);
    rv::TRV_Constructed<rv::T_UpdInfoStream> sent;
    const std::string bytes = b.SendStreamBytes();
    rv::TRV_BlockMemoryStream in(bytes.data(), static_cast<int64_t>(bytes.size()));
    ASSERT_TRUE(sent.ReadFromStream(in));
    EXPECT_EQ(sent.sT.isR.InfoReplyPort, got);

    // A free port is taken as asked.
    occupant.ShutDownServerSession();
    rv::T_UpdReqInfoBroadcaster c(net_testing::FreeUdpPort(), {}, "G~*", wanted);
    EXPECT_EQ(c.AnswerPort(), wanted);
}

TEST(Broadcaster, TicksNeverSeeAHalfBuiltRequest) {
    TRawUdp target(Lo(1));
    rv::T_UpdReqInfoBroadcaster b(net_testing::FreeUdpPort(), {}, "G~*", 0);
    AimAt(b, target);
    b.InitBroadcastPeriodMs = 60; // ticks every 50 to 79 ms, on the timer thread
    b.InitBroadcastDurationMs = 60000;
    const std::string a = "G~" + std::string(200, 'a') + "*", z = "G~" + std::string(30, 'z') + "*";
    b.Configure(0, z);
    b.StartBroadcasting(500, 0);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(700);
    for (int i = 0; std::chrono::steady_clock::now() < end; ++i) {
        b.Configure(static_cast<uint16_t>(i), i % 2 ? a : z);
        rv::ProcessApplicationMessages(100, rv::pmoNone);
    }
    b.StopBroadcasting();
    ASSERT_GE(target.Received.size(), 5u);
    for (const auto& d : target.Received) {
        rv::TRV_Constructed<rv::T_UpdInfoStream> r;
        rv::TRV_BlockMemoryStream in(d.Data.data(), static_cast<int64_t>(d.Data.size()));
        ASSERT_TRUE(r.ReadFromStream(in)) << "a damaged broadcast";
        // Port and identifier of one Configure call: odd ports go with a.
        EXPECT_EQ(r.UniqueIdStr(), r.sT.isR.InfoReplyPort % 2 ? a : z);
    }
}

// --- Providers ------------------------------------------------------------------------------------------------------

namespace {

std::string SearchRequest(uint16_t ReplyPort, const std::string& Id = "G~*") {
    return group_testing::Info(rv::ttBroadcast, Id, "G~Launcher~Searcher", Services(77, ReplyPort, 3000));
}

void ExpectAnswer(const std::string& Bytes, uint32_t Session, uint16_t Tcp1) {
    rv::TRV_Constructed<rv::T_UpdInfoStream> r;
    rv::TRV_BlockMemoryStream in(Bytes.data(), static_cast<int64_t>(Bytes.size()));
    ASSERT_TRUE(r.ReadFromStream(in));
    EXPECT_EQ(r.sT.TransmissionType, rv::ttInfoReply);
    EXPECT_EQ(r.UniqueIdStr(), "G~") << "the answer's identifier never holds a wildcard";
    EXPECT_EQ(r.sT.isR.SessionId, Session);
    EXPECT_EQ(rv::LoWord(r.sT.isR.TcpIpServices), Tcp1);
}

} // namespace

TEST(InfoProvider, ARequestWithoutAnAnswerPortIsAnsweredByDatagramToItsSource) {
    group_testing::TUdpPeer searcher(2);
    // The stand-alone provider with its own socket, and the one inside the broadcaster.
    rv::T_UpdInfoProvider alone("G~*", 4000, 0);
    const uint16_t alonePort = net_testing::FreeUdpPort();
    ASSERT_TRUE(alone.ListenOn(alonePort));
    const uint16_t dualPort = net_testing::FreeUdpPort();
    rv::T_BroadcasterAndInfoProvider dual(dualPort, 5000, 0, {}, "G~*", 0);
    TRawUdp sink(Lo(1));
    AimAt(dual, sink);
    dual.StartBroadcasting(1000, 0); // draws the session number both of its halves carry

    ASSERT_TRUE(searcher.Socket.SendTo(SearchRequest(0), Lo(1), alonePort));
    ASSERT_TRUE(PumpUntil([&] { return searcher.Socket.Received.size() == 1; }));
    EXPECT_EQ(rv::WS_SockAddrPort(searcher.Socket.Received[0].From), alonePort);
    ExpectAnswer(searcher.Socket.Received[0].Data, 0, 4000);

    ASSERT_TRUE(searcher.Socket.SendTo(SearchRequest(0), Lo(1), dualPort));
    ASSERT_TRUE(PumpUntil([&] { return searcher.Socket.Received.size() == 2; }));
    EXPECT_EQ(rv::WS_SockAddrPort(searcher.Socket.Received[1].From), dualPort);
    ExpectAnswer(searcher.Socket.Received[1].Data, dual.SessionId(), 5000);
}

TEST(InfoProvider, ARequestNamingAPortIsAnsweredByTcpAndTheOutcomeReported) {
    group_testing::TUdpPeer searcher(2);
    TInfoSink sink;
    const uint16_t port = net_testing::FreeUdpPort();
    rv::T_BroadcasterAndInfoProvider dual(port, 5000, 5001, {}, "G~*", 0);
    std::vector<std::pair<rv::T_NumericIpAddress, bool>> status;
    dual.InfoProvider->FOnTcpIpInfoReplyStatus = [&](rv::T_UpdInfoProvider*, rv::T_NumericIpAddress Ip, bool Ok) {
        status.push_back({Ip, Ok});
    };
    ASSERT_TRUE(searcher.Socket.SendTo(SearchRequest(sink.Port()), Lo(1), port));
    ASSERT_TRUE(PumpUntil([&] { return status.size() == 1; }));
    ASSERT_EQ(sink.Packets.size(), 1u);
    ExpectAnswer(sink.Packets[0].Data, 0, 5000);
    EXPECT_EQ(status[0], std::make_pair(searcher.Ip, true));
    EXPECT_TRUE(searcher.Socket.Received.empty()) << "no datagram besides";
    EXPECT_TRUE(PumpUntil([&] { return dual.InfoProvider->Workers().Count() == 0; }))
        << "a reported worker frees itself";
}

TEST(InfoProvider, HandlersMayRefuseOrFillTheAnswer) {
    struct TCase {
        const char* Name;
        bool RefuseOnReceipt, RefuseBeforeSending;
        const char* RequestId;
        bool Answered;
    };
    const TCase cases[] = {
        {"answered", false, false, "G~*", true},
        {"refused on receipt", true, false, "G~*", false},
        {"refused before sending", false, true, "G~*", false},
        {"another group", false, false, "H~*", false},
        {"case does not count", false, false, "g~*", true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        group_testing::TUdpPeer searcher(2);
        const uint16_t port = net_testing::FreeUdpPort();
        rv::T_UpdInfoProvider p("G~*", 4000, 0);
        ASSERT_TRUE(p.ListenOn(port));
        int received = 0, about = 0;
        p.FOnBroadcastReceived = [&](rv::T_UpdInfoProvider*, rv::T_UpdInfoStream& R, bool& Reply) {
            ++received;
            EXPECT_EQ(R.sT.isR.SessionId, 77u);
            if (c.RefuseOnReceipt) Reply = false;
            throw std::runtime_error("a failing handler does not stop the answer");
        };
        struct TNote : rv::TRV_SmartStream {
            std::string Text = "filled in";
            void AssignElements() override {
                TRV_SmartStream::AssignElements();
                AddLongString(Text);
            }
        };
        p.FOnAboutToSendInfoReply = [&](rv::T_UpdInfoProvider* Sender, rv::T_NumericIpAddress From, uint16_t Port,
                                        rv::T_UpdInfoStream&, bool& Reply) {
            ++about;
            EXPECT_EQ(From, searcher.Ip);
            EXPECT_EQ(Port, 0);
            rv::TRV_Constructed<TNote> note;
            Sender->SetAppData(note);
            if (c.RefuseBeforeSending) Reply = false;
        };
        ASSERT_TRUE(searcher.Socket.SendTo(SearchRequest(0, c.RequestId), Lo(1), port));
        // An answer (ttInfoReply) is never answered.
        ASSERT_TRUE(searcher.Socket.SendTo(group_testing::Info(rv::ttInfoReply, "G~x~y", "", Services(1, 0)), Lo(1), port));
        if (c.Answered) {
            ASSERT_TRUE(PumpUntil([&] { return searcher.Socket.Received.size() == 1; }));
            rv::TRV_Constructed<rv::T_UpdInfoStream> r;
            rv::TRV_BlockMemoryStream in(searcher.Socket.Received[0].Data.data(),
                                         static_cast<int64_t>(searcher.Socket.Received[0].Data.size()));
            ASSERT_TRUE(r.ReadFromStream(in));
            rv::TRV_Constructed<TNote> note;
            note.Text.clear();
            r.AppDataStream.SetPosition(0);
            ASSERT_TRUE(note.ReadFromStream(r.AppDataStream));
            EXPECT_EQ(note.Text, "filled in");
        }
        net_testing::PumpFor(net_testing::kQuietMs);
        EXPECT_EQ(searcher.Socket.Received.size(), c.Answered ? 1u : 0u);
        EXPECT_EQ(received, std::string(c.RequestId) == "H~*" ? 0 : 1);
        EXPECT_EQ(about, c.RefuseOnReceipt || std::string(c.RequestId) == "H~*" ? 0 : 1);
    }
}
