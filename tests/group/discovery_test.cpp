// The broadcast schedule on made-up times and seeds (phases, jitter, the floor of the normal period, giving up),
// then the discovery broadcaster and the info providers over real loopback sockets: ticks driven by an injected
// clock and seed, broadcasts on the real clock (no interval is measured), the 512-byte limit, answers by TCP and
// by datagram, the answer server's fall-back port, and ticks that never see a half-built request.

#include "group/discovery.h"

#include "foundation/message_pump.h"
#include "tests/group/group_test_support.h"
#include "tests/net/net_test_support.h"
#include "tests/test_support.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <gtest/gtest.h>
#include <memory>
#include <set>
#include <string>
#include <vector>

using group_testing::Lo;
using group_testing::TInfoSink;
using group_testing::TRawUdp;
using testing_support::PumpUntil;

namespace {

// Broadcasts of the tests go to a socket of the test on loopback, never onto a real network.
void AimAt(rv::T_UpdReqInfoBroadcaster& B, const TRawUdp& Target) {
    B.SetBroadcastAddr(rv::WS_MakeSockAddr(Lo(1), Target.Port()));
}

rv::T_InfoServicesRec Services(uint32_t Session, uint16_t ReplyPort, uint16_t Tcp1 = 0) {
    rv::T_InfoServicesRec r;
    r.SessionId = Session;
    r.InfoReplyPort = ReplyPort;
    r.TcpIpServices = rv::MakeServices(Tcp1, 0);
    return r;
}

// Collects the datagrams that arrived before a marker sent now: whatever the broadcaster sent before it.
void DrainBehindMarker(TRawUdp& Target) {
    TRawUdp marker(Lo(1));
    ASSERT_TRUE(marker.SendTo("marker", Lo(1), Target.Port()));
    ASSERT_TRUE(PumpUntil([&] { return !Target.Received.empty() && Target.Received.back().Data == "marker"; }));
    Target.Received.pop_back();
}

} // namespace

// --- The schedule, on made-up times ---------------------------------------------------------------------------

TEST(BroadcastSchedule, FastPhaseThenNormalPeriodThenGiveUp) {
    rv::T_BroadcastSchedule s(1234);
    using TStep = rv::T_BroadcastSchedule::TStep;
    const TStep first = s.Start(130, 900, 400, 3000);
    EXPECT_EQ(first.State, rv::bsInit);
    EXPECT_EQ(first.PeriodMs, 130u) << "the first period is not jittered";
    EXPECT_FALSE(first.Stop);
    std::set<uint32_t> fast;
    // Up to and including the fast phase's duration: the fast period, jittered to 130 - 80 .. 130 + 19.
    for (uint32_t t = 0; t <= 900; t += 60) {
        const TStep step = s.Tick(t);
        ASSERT_EQ(step.State, rv::bsInit) << t;
        EXPECT_GE(step.PeriodMs, 50u) << t;
        EXPECT_LE(step.PeriodMs, 149u) << t;
        EXPECT_FALSE(step.Stop);
        fast.insert(step.PeriodMs);
    }
    EXPECT_GT(fast.size(), 1u) << "jittered";
    // Past it: the plain normal period once, then the normal period jittered.
    const TStep normal = s.Tick(901);
    EXPECT_EQ(normal.State, rv::bsNormal);
    EXPECT_EQ(normal.PeriodMs, 400u);
    for (uint32_t t = 1300; t <= 3000; t += 400) {
        const TStep step = s.Tick(t);
        ASSERT_EQ(step.State, rv::bsNormal) << t;
        EXPECT_GE(step.PeriodMs, 320u) << t;
        EXPECT_LE(step.PeriodMs, 419u) << t;
        EXPECT_FALSE(step.Stop);
    }
    // Past the give-up period: this tick stops the broadcasting; later ones change nothing.
    const TStep last = s.Tick(3001);
    EXPECT_EQ(last.State, rv::bsGivenUp);
    EXPECT_TRUE(last.Stop);
    const TStep after = s.Tick(5000);
    EXPECT_EQ(after.State, rv::bsGivenUp);
    EXPECT_EQ(after.PeriodMs, 0u);
    EXPECT_FALSE(after.Stop);
}

TEST(BroadcastSchedule, StartWithoutAFastPhaseAndWithoutAGiveUp) {
    struct TCase {
        uint32_t InitPeriod, InitDuration, Period, First, JitterMin, JitterMax;
    };
    const TCase cases[] = {
        // No fast phase: the normal period at once, never below 200 ms.
        {0, 10000, 100, 200, 120, 219},
        {200, 0, 100, 200, 120, 219},
        {200, 0, 500, 500, 420, 519},
        // A fast phase of 60 ms: jitter never below 50 ms.
        {60, 10000, 100, 60, 50, 79},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.InitPeriod) + "/" + std::to_string(c.InitDuration) + "/" +
                     std::to_string(c.Period));
        rv::T_BroadcastSchedule s(99);
        const auto first = s.Start(c.InitPeriod, c.InitDuration, c.Period, 0);
        EXPECT_EQ(first.PeriodMs, c.First);
        uint32_t lo = UINT32_MAX, hi = 0;
        // Without a give-up period the ticks go on however late they come.
        for (uint32_t i = 0; i < 2000; ++i) {
            const auto step = s.Tick(c.InitDuration == 10000 ? i : UINT32_MAX - i);
            ASSERT_FALSE(step.Stop);
            lo = std::min(lo, step.PeriodMs);
            hi = std::max(hi, step.PeriodMs);
        }
        EXPECT_EQ(lo, c.JitterMin);
        EXPECT_EQ(hi, c.JitterMax);
    }
}

TEST(BroadcastSchedule, TheSeedDecidesTheJitter) {
    auto draws = [](rv::T_BroadcastSchedule& S) {
        std::vector<uint32_t> v;
        S.Start(250, 8000, 500, 0);
        for (uint32_t t = 0; t < 20; ++t) v.push_back(S.Tick(t).PeriodMs);
        return v;
    };
    rv::T_BroadcastSchedule a(7), b(7), c(8);
    const std::vector<uint32_t> first = draws(a);
    EXPECT_EQ(draws(b), first);
    EXPECT_NE(draws(c), first);
    b.Reseed(7);
    EXPECT_EQ(draws(b), first) << "a reseeded schedule starts its draws again";
}

// --- The broadcaster's ticks -------------------------------------------------------------------------------------

TEST(Broadcaster, TheTicksFollowTheScheduleOnTheInjectedClockAndSeed) {
    TRawUdp target(Lo(1));
    rv::T_UpdReqInfoBroadcaster b(net_testing::FreeUdpPort(), {}, "G~*", 0);
    AimAt(b, target);
    auto now = std::make_shared<std::atomic<uint32_t>>(1000);
    b.SetScheduleClock([now] { return now->load(); });
    b.SetScheduleSeed(5);
    b.InitBroadcastPeriodMs = 60;
    b.InitBroadcastDurationMs = 500;
    b.StartBroadcasting(300, 2000);
    EXPECT_EQ(b.State(), rv::bsInit);

    // The clock stands still in the fast phase: every period the timer gets is one the seeded schedule draws.
    rv::T_BroadcastSchedule expected(5);
    std::vector<uint32_t> periods{expected.Start(60, 500, 300, 2000).PeriodMs};
    for (int i = 0; i < 200; ++i) periods.push_back(expected.Tick(0).PeriodMs);
    std::set<uint32_t> seen;
    ASSERT_TRUE(PumpUntil([&] {
        seen.insert(b.TimerPeriodMs());
        return target.Received.size() >= 6;
    }));
    const size_t ticks = target.Received.size();
    for (uint32_t p : seen)
        EXPECT_NE(std::find(periods.begin(), periods.begin() + static_cast<long>(ticks) + 1, p),
                  periods.begin() + static_cast<long>(ticks) + 1)
            << p << " is not among the first periods of seed 5";
    EXPECT_EQ(b.State(), rv::bsInit) << "no time has passed on the schedule's clock";

    // Past the fast phase: the normal period (300 - 80 .. 300 + 19 once jittered).
    *now = 1000 + 501;
    ASSERT_TRUE(PumpUntil([&] { return b.State() == rv::bsNormal; }));
    EXPECT_GE(b.TimerPeriodMs(), 220u);
    EXPECT_LE(b.TimerPeriodMs(), 319u);
    EXPECT_TRUE(b.Broadcasting());

    // Past the give-up period: the next tick ends the timer.
    *now = 1000 + 2001;
    ASSERT_TRUE(PumpUntil([&] { return b.State() == rv::bsGivenUp; }, 5000));
    EXPECT_FALSE(b.Broadcasting());
    ASSERT_NO_FATAL_FAILURE(DrainBehindMarker(target));
    const size_t count = target.Received.size();
    net_testing::PumpFor(700);
    EXPECT_EQ(target.Received.size(), count) << "nothing after giving up";
}

TEST(Broadcaster, BroadcastsRepeatOnTheRealClockUntilStopped) {
    TRawUdp target(Lo(1));
    rv::T_UpdReqInfoBroadcaster b(net_testing::FreeUdpPort(), {}, "G~*", 0);
    AimAt(b, target);
    b.InitBroadcastPeriodMs = 60;
    b.StartBroadcasting(500, 0);
    ASSERT_TRUE(PumpUntil([&] { return target.Received.size() >= 4; }, 8000));
    b.StopBroadcasting();
    EXPECT_FALSE(b.Broadcasting());
    EXPECT_EQ(b.State(), rv::bsInit) << "stopping keeps the state";
    ASSERT_NO_FATAL_FAILURE(DrainBehindMarker(target));
    for (const auto& d : target.Received) EXPECT_EQ(d.Data, b.SendStreamBytes());
    const size_t count = target.Received.size();
    net_testing::PumpFor(300);
    EXPECT_EQ(target.Received.size(), count) << "nothing after the stop";
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
