// T_NetGroup over real loopback sockets. The group under test is this host (127.0.0.1 and its other addresses);
// other members speak from 127.0.0.2 and up, so one process plays several hosts. Their answer ports are sinks of
// the test, which take and acknowledge every group message, or listeners that never acknowledge anything.

#include "group/net_group.h"

#include "foundation/tick_count.h"
#include "net/multi_timer.h"
#include "net/packet_framing.h"
#include "tests/group/group_test_support.h"
#include "tests/net/net_test_support.h"
#include "tests/test_support.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

using group_testing::Lo;
using group_testing::TInfoSink;
using group_testing::TRawUdp;
using testing_support::PumpUntil;

namespace {

// Ports are free ones; MsgTimeOut 1 s makes the join retries come every 2 s.
void FillCfg(rv::T_NetGroupCfg& C, const std::string& Group = "G", const std::string& Class = "Launcher",
             const std::string& Unit = "Me") {
    C.GroupId = Group;
    C.ClassId = Class;
    C.UnitId = Unit;
    C.sT.UdpPort = net_testing::FreeUdpPort();
    C.sT.InfoReplyPort = net_testing::FreeTcpPort();
    C.sT.MsgTimeOut = 1;
    C.sT.TcpIpServices = rv::MakeServices(2000, 2001);
    C.sT.NetGroupSearchMethod = rv::ngsUdp;
}

std::string Ip(int64_t MemberIpAddress) { return rv::WS_IpToStr(static_cast<rv::T_NumericIpAddress>(MemberIpAddress)); }

// One group under test, its events in order, and a socket of the test where its search broadcasts go (never
// onto a real network).
struct TRig {
    // The group is made from FillCfg's configuration, after Adjust (when given) has changed it.
    explicit TRig(const std::function<void(rv::T_NetGroupCfg&)>& Adjust = {}) {
        FillCfg(Cfg);
        if (Adjust) Adjust(Cfg);
        G = std::make_unique<rv::T_NetGroup>(
            Cfg, [this](rv::T_NetGroup*, const std::string& Text) { Failures.push_back(Text); });
        G->UdpLink->SetBroadcastAddr(rv::WS_MakeSockAddr(Lo(1), Searches.Port()));
        G->OnJoin = [this](rv::T_NetGroup*) { Log.push_back("join"); };
        G->OnLeave = [this](rv::T_NetGroup*) { Log.push_back("leave"); };
        G->OnMemberJoin = [this](rv::T_NetGroup*, rv::T_NetGroupMember* M) {
            Log.push_back("+" + M->UnitId + "@" + Ip(M->sT.MemberIpAddress));
        };
        G->OnMemberLeave = [this](rv::T_NetGroup*, rv::T_NetGroupMember* M) { Log.push_back("-" + M->UnitId); };
        G->OnMemberInfoChanged = [this](rv::T_NetGroup*, rv::T_NetGroupMember* M) { Log.push_back("~" + M->UnitId); };
    }

    // Members as "unit@address", in list order.
    std::vector<std::string> Members() const {
        std::vector<std::string> out;
        for (int i = 0; i < G->Members().Count(); ++i) {
            const rv::T_NetGroupMember* m = G->Members().Item(i);
            out.push_back(m->UnitId + "@" + Ip(m->sT.MemberIpAddress));
        }
        return out;
    }
    rv::T_NetGroupMember* Member(rv::T_NumericIpAddress A) const {
        const int i = G->Members().IndexOfIp(A);
        return i < 0 ? nullptr : G->Members().Item(i);
    }
    // A group message from a member at From, delivered to the group's announced answer port; when this returns
    // true the group has handled it.
    bool Tell(rv::T_NumericIpAddress From, const std::string& Message) {
        return group_testing::SendPacketFrom(From, G->InfoReplyPort(), Message);
    }
    // Joins and takes the answer of member "Peer" at 127.0.0.2, whose answer port is AnswerPort; the log starts
    // empty afterwards.
    void JoinWithPeer(uint16_t AnswerPort) {
        G->JoinGroup();
        ASSERT_TRUE(Tell(Lo(2), group_testing::GroupMessage(rv::ngmtJoinReply, "Launcher", "Peer", AnswerPort)));
        Log.clear();
    }
    // A search request from a member, sent to the group's discovery port.
    void Search(group_testing::TUdpPeer& From, uint32_t Session, uint16_t ReplyPort, const std::string& Unit,
                rv::TRV_SmartStream* Payload = nullptr) {
        rv::T_InfoServicesRec s;
        s.SessionId = Session;
        s.InfoReplyPort = ReplyPort;
        s.TcpIpServices = rv::MakeServices(3000, 0);
        ASSERT_TRUE(From.Socket.SendTo(group_testing::Info(rv::ttBroadcast, "G~*", "G~Launcher~" + Unit, s, Payload), Lo(1),
                                G->UdpLink->Port()));
    }

    rv::TRV_Constructed<rv::T_NetGroupCfg> Cfg; // what the group was made from; a test may change it for Configure
    TRawUdp Searches{Lo(1)};
    std::unique_ptr<rv::T_NetGroup> G;
    std::vector<std::string> Log;
    std::vector<std::string> Failures;
};

using TStrings = std::vector<std::string>;

struct TReadMessage {
    rv::TRV_Constructed<rv::T_UpdInfoStream> Info;
    rv::TRV_Constructed<rv::T_NetGroupInfoR> Message;
    std::vector<std::string> ListedUnits() const {
        std::vector<std::string> out;
        for (int i = 0; i < Message.Members.Count(); ++i)
            out.push_back(Message.Members.Item(i)->UnitId + "@" + Ip(Message.Members.Item(i)->sT.MemberIpAddress));
        return out;
    }
};

// The group message of a packet a sink took.
std::unique_ptr<TReadMessage> Read(const TInfoSink::TPacket& P) {
    auto r = std::make_unique<TReadMessage>();
    EXPECT_TRUE(group_testing::ReadGroupMessage(P.Data, r->Info, r->Message));
    return r;
}

} // namespace

// --- Identity ------------------------------------------------------------------------------------------------------

TEST(NetGroupIdentity, TildesAreRemovedAndTheIdentifiersBuiltFromTheParts) {
    struct TCase {
        const char *Group, *Class, *Unit;
        const char *FullId, *SearchId;
    };
    const TCase cases[] = {
        {"AB", "C", "U", "AB~C~U", "AB~*"},
        {"A~B", "C", "U", "AB~C~U", "AB~*"},
        {"~G~", "Cl~ass", "Un~~it", "G~Class~Unit", "G~*"},
        {"G", "", "U", "G~~U", "G~*"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.FullId);
        rv::TRV_Constructed<rv::T_NetGroupCfg> cfg;
        FillCfg(cfg, c.Group, c.Class, c.Unit);
        rv::T_NetGroup g(cfg);
        EXPECT_EQ(g.GetFullId(), c.FullId);
        EXPECT_EQ(g.GroupSearchId(), c.SearchId);
        std::string group, cls, unit;
        rv::T_NetGroup::ExtractIdFields(g.GetFullId(), group, cls, unit);
        EXPECT_EQ(group + "~" + cls + "~" + unit, c.FullId) << "each part free of \"~\"";
        EXPECT_EQ(group, g.GroupId());
        EXPECT_EQ(cls, g.ClassId());
        EXPECT_EQ(unit, g.UnitId());
        // What goes on the wire: the search names the group with its wildcard and carries the full identifier;
        // the answer names the group without a wildcard.
        rv::TRV_Constructed<rv::T_UpdInfoStream> sent;
        const std::string bytes = g.UdpLink->SendStreamBytes();
        rv::TRV_BlockMemoryStream in(bytes.data(), static_cast<int64_t>(bytes.size()));
        ASSERT_TRUE(sent.ReadFromStream(in));
        EXPECT_EQ(sent.UniqueIdStr(), c.SearchId);
        EXPECT_EQ(sent.ParameterStr(), c.FullId);
        EXPECT_EQ(sent.sT.isR.InfoReplyPort, g.InfoReplyPort());
        EXPECT_EQ(sent.sT.isR.TcpIpServices, rv::MakeServices(2000, 2001));
        std::string answerId = c.SearchId;
        answerId.pop_back();
        EXPECT_EQ(g.UdpLink->InfoProvider->ReplyInfoR.UniqueIdStr(), answerId);
    }
}

TEST(NetGroupIdentity, ExtractIdFieldsTakesTheTextBeforeEachTilde) {
    struct TCase {
        const char *FullId, *Group, *Class, *Unit;
    };
    const TCase cases[] = {
        {"G~C~U", "G", "C", "U"},     {"G~C", "G", "C", ""},      {"G", "G", "", ""},
        {"", "", "", ""},             {"~~", "", "", ""},         {"G~C~U~X", "G", "C", "U"},
        {"~C~", "", "C", ""},         {"G~~U", "G", "", "U"},
    };
    for (const TCase& c : cases) {
        std::string group = "old", cls = "old", unit = "old";
        rv::T_NetGroup::ExtractIdFields(c.FullId, group, cls, unit);
        EXPECT_EQ(group, c.Group) << c.FullId;
        EXPECT_EQ(cls, c.Class) << c.FullId;
        EXPECT_EQ(unit, c.Unit) << c.FullId;
    }
}

TEST(NetGroupIdentity, AClashIsTheSameClassAndUnitWhateverTheirCase) {
    struct TCase {
        const char *Class, *Unit;
        bool Clash;
    };
    const TCase cases[] = {
        {"Launcher", "Me", true}, {"LAUNCHER", "me", true}, {"Launcher", "Me2", false},
        {"Other", "Me", false},   {"Launcher", "", false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.Class) + "/" + c.Unit);
        TRig rig;
        rig.G->JoinGroup();
        TInfoSink sink;
        ASSERT_TRUE(rig.Tell(Lo(2), group_testing::GroupMessage(rv::ngmtJoinReply, "Other", "Someone", sink.Port())));
        EXPECT_FALSE(rig.G->IdentityClash());
        ASSERT_TRUE(rig.Tell(Lo(3), group_testing::GroupMessage(rv::ngmtJoinReply, c.Class, c.Unit, sink.Port())));
        ASSERT_EQ(rig.G->Members().Count(), 2);
        EXPECT_EQ(rig.G->IdentityClash(), c.Clash);
    }
}

// --- Joining -------------------------------------------------------------------------------------------------------

TEST(NetGroupJoin, NeedsAGroupAndAUnitAndHappensOnce) {
    struct TCase {
        const char *Group, *Unit;
        bool Joins;
    };
    const TCase cases[] = {{"", "Me", false}, {"G", "", false}, {"~", "Me", false}, {"G", "Me", true}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.Group) + "/" + c.Unit);
        TRig rig([&](rv::T_NetGroupCfg& C) {
            C.GroupId = c.Group;
            C.UnitId = c.Unit;
        });
        rig.G->JoinGroup();
        EXPECT_EQ(rig.G->ParticipatingInGroup(), c.Joins);
        EXPECT_EQ(rig.G->JoinInProgress(), c.Joins);
        if (!c.Joins) {
            net_testing::PumpFor(net_testing::kQuietMs);
            EXPECT_TRUE(rig.Searches.Received.empty());
            continue;
        }
        // A search at once, carrying this copy's full identifier and the answer port it announces.
        ASSERT_TRUE(PumpUntil([&] { return !rig.Searches.Received.empty(); }));
        rv::TRV_Constructed<rv::T_UpdInfoStream> r;
        rv::TRV_BlockMemoryStream in(rig.Searches.Received[0].Data.data(),
                                     static_cast<int64_t>(rig.Searches.Received[0].Data.size()));
        ASSERT_TRUE(r.ReadFromStream(in));
        EXPECT_EQ(r.sT.TransmissionType, rv::ttBroadcast);
        EXPECT_EQ(r.ParameterStr(), "G~Launcher~Me");
        EXPECT_EQ(r.sT.isR.InfoReplyPort, rig.G->InfoReplyPort());
        EXPECT_NE(rig.G->InfoReplyPort(), 0);
        // A second join starts no new search (a new search would draw a new session number).
        const uint32_t session = rig.G->UdpLink->SessionId();
        EXPECT_EQ(r.sT.isR.SessionId, session);
        rig.G->JoinGroup();
        EXPECT_EQ(rig.G->UdpLink->SessionId(), session);
        EXPECT_TRUE(rig.Log.empty());
    }
}

TEST(NetGroupJoin, ByAddressAsksTheMemberAtTheConfiguredPortUntilAMessageIsDelivered) {
    // The member's answer port is the configured one; this copy's own server then falls back to another port,
    // which its requests announce.
    for (const bool memberAcknowledges : {true, false}) {
        SCOPED_TRACE(memberAcknowledges ? "delivered" : "never acknowledged");
        TInfoSink sink;
        group_testing::THangingListener hanging;
        hanging.AcceptEvents = true;
        const uint16_t memberPort = memberAcknowledges ? sink.Port() : hanging.Port();
        TRig rig([&](rv::T_NetGroupCfg& C) {
            C.sT.InfoReplyPort = memberPort;
            C.sT.NetGroupSearchMethod = rv::ngsMemberIp;
            C.sT.HostIP = Lo(2);
        });
        EXPECT_EQ(rig.G->ConfiguredInfoReplyPort(), memberPort);
        ASSERT_NE(rig.G->InfoReplyPort(), memberPort);
        ASSERT_NE(rig.G->InfoReplyPort(), 0);
        rig.G->JoinGroup();
        EXPECT_TRUE(rig.G->RetryingJoin());

        if (memberAcknowledges) {
            ASSERT_TRUE(PumpUntil([&] { return !sink.Packets.empty(); }));
            const auto m = Read(sink.Packets[0]);
            EXPECT_EQ(m->Message.sT.MessageType, rv::ngmtJoinRequest);
            EXPECT_EQ(m->Info.UniqueIdStr(), "G~Launcher~Me");
            EXPECT_EQ(m->Info.sT.isR.InfoReplyPort, rig.G->InfoReplyPort()) << "answers come to the port bound";
            EXPECT_EQ(m->Info.sT.isR.SessionId, rig.G->UdpLink->SessionId());
            EXPECT_EQ(m->Message.LocalMember.UnitId, "Me");
            // A delivered message ends the retries.
            EXPECT_TRUE(PumpUntil([&] { return !rig.G->RetryingJoin(); }));
        } else {
            // Every NgTimeOut + 1000 ms the same request again.
            ASSERT_TRUE(PumpUntil([&] { return hanging.Accepted.size() >= 2; }, 6000));
            EXPECT_TRUE(rig.G->RetryingJoin());
        }
        EXPECT_TRUE(rig.Searches.Received.empty()) << "no broadcast when joining a given member";
        EXPECT_TRUE(rig.G->JoinInProgress());

        // The member answers: it joins, and a join request is never sent again.
        ASSERT_TRUE(rig.Tell(Lo(2), group_testing::GroupMessage(rv::ngmtJoinReply, "Launcher", "Peer", memberPort)));
        EXPECT_FALSE(rig.G->RetryingJoin());
        EXPECT_FALSE(rig.G->JoinInProgress());
        EXPECT_EQ(rig.Log, (TStrings{"join", "+Peer@127.0.0.2"}));
        EXPECT_TRUE(rig.Failures.empty());
    }
}

TEST(NetGroupJoin, ByHostNameLooksTheNameUpOrReportsThatItDoesNotExist) {
    TInfoSink sink;
    struct TCase {
        const char* Name;
        bool Exists;
    };
    // A machine without host files knows no localhost: the numeric name still goes through the look-up.
    const char* loopbackName = net_testing::SystemLookUp("localhost") != 0 ? "localhost" : "127.0.0.1";
    for (const TCase& c : {TCase{loopbackName, true}, TCase{"no-such-member.invalid", false}}) {
        SCOPED_TRACE(c.Name);
        TRig rig([&](rv::T_NetGroupCfg& C) {
            C.GroupId = "Team~7";
            C.sT.InfoReplyPort = sink.Port();
            C.sT.NetGroupSearchMethod = rv::ngsMemberHostName;
            C.HostName = c.Name;
            C.sT.HostIP = Lo(9); // not read: the name decides
        });
        const size_t before = sink.Packets.size();
        rig.G->JoinGroup();
        if (c.Exists) {
            ASSERT_TRUE(PumpUntil([&] { return sink.Packets.size() > before; }, 10000));
            EXPECT_EQ(Read(sink.Packets.back())->Message.sT.MessageType, rv::ngmtJoinRequest);
            EXPECT_TRUE(rig.Failures.empty());
        } else {
            ASSERT_TRUE(PumpUntil([&] { return !rig.Failures.empty(); }, 20000));
            EXPECT_EQ(rig.Failures,
                      TStrings{"Joining Net Group Team7 failed: Member host name no-such-member.invalid does not exist"});
            // The owner decides whether to leave.
            EXPECT_TRUE(rig.G->ParticipatingInGroup());
            EXPECT_TRUE(rig.G->JoinInProgress());
            EXPECT_FALSE(rig.G->RetryingJoin());
        }
        EXPECT_TRUE(rig.Searches.Received.empty());
    }
}

// --- Answering searches ----------------------------------------------------------------------------------------------

TEST(NetGroupSearch, AMemberIsAddedOnceAndAnsweredOnEveryTwelfthBroadcastOrAtOnceAfterARestart) {
    TRig rig;
    group_testing::TUdpPeer peer(2);
    const std::string peerIp = rv::WS_IpToStr(peer.Ip);
    TInfoSink peerSink, thirdSink;

    // Not participating: nobody is answered or added.
    rig.Search(peer, 100, peerSink.Port(), "Peer");
    net_testing::PumpFor(net_testing::kQuietMs);
    EXPECT_TRUE(peerSink.Packets.empty());
    EXPECT_EQ(rig.G->Members().Count(), 0);

    rig.G->JoinGroup();
    ASSERT_TRUE(rig.Tell(Lo(3), group_testing::GroupMessage(rv::ngmtJoinReply, "Launcher", "Third", thirdSink.Port())));
    rig.Search(peer, 100, peerSink.Port(), "Peer");
    ASSERT_TRUE(PumpUntil([&] { return peerSink.Packets.size() == 1; }));
    EXPECT_EQ(rig.Log, (TStrings{"join", "+Third@127.0.0.3", "+Peer@" + peerIp}));
    rv::T_NetGroupMember* m = rig.Member(peer.Ip);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->ClassId, "Launcher");
    EXPECT_EQ(m->sT.isR.SessionId, 100u);
    EXPECT_EQ(m->sT.isR.InfoReplyPort, peerSink.Port());
    EXPECT_TRUE(m->HaveReceivedFromMember);
    EXPECT_TRUE(PumpUntil([&] { return m->HaveSentToMember; })) << "the answer's delivery is noted";

    // The answer: a join reply from this copy, listing the members it knows but not the one it answers.
    auto answer = Read(peerSink.Packets[0]);
    EXPECT_EQ(answer->Info.sT.TransmissionType, rv::ttInfoReply);
    EXPECT_EQ(answer->Message.sT.MessageType, rv::ngmtJoinReply);
    EXPECT_EQ(answer->Message.LocalMember.UnitId, "Me");
    EXPECT_EQ(answer->Message.LocalMember.sT.isR.SessionId, rig.G->UdpLink->SessionId());
    EXPECT_EQ(answer->ListedUnits(), TStrings{"Third@127.0.0.3"});

    // The same search again: answered once every twelve broadcasts, the member not reported again.
    std::vector<int> answeredAt;
    for (int n = 2; n <= 25; ++n) {
        const size_t packets = peerSink.Packets.size();
        const uint16_t unanswered = m->BroadcastRxCount;
        rig.Search(peer, 100, peerSink.Port(), "Peer");
        ASSERT_TRUE(PumpUntil([&] { return m->BroadcastRxCount != unanswered || peerSink.Packets.size() > packets; }));
        if (m->BroadcastRxCount == 0) {
            answeredAt.push_back(n);
            ASSERT_TRUE(PumpUntil([&] { return peerSink.Packets.size() > packets; }));
        }
    }
    EXPECT_EQ(answeredAt, (std::vector<int>{13, 25}));
    EXPECT_EQ(rig.Members(), (TStrings{"Third@127.0.0.3", "Peer@" + peerIp}));

    // The member restarts (a new session number): answered at once, reported as left and joined again.
    rig.Log.clear();
    const size_t packets = peerSink.Packets.size();
    rig.Search(peer, 101, peerSink.Port(), "Peer");
    ASSERT_TRUE(PumpUntil([&] { return peerSink.Packets.size() > packets; }));
    EXPECT_EQ(rig.Log, (TStrings{"-Peer", "+Peer@" + peerIp}));
    EXPECT_EQ(rig.Member(peer.Ip), m) << "the same record, updated";
    EXPECT_EQ(m->sT.isR.SessionId, 101u);
    EXPECT_EQ(Read(peerSink.Packets.back())->ListedUnits(), TStrings{"Third@127.0.0.3"});
}

TEST(NetGroupSearch, ASearchCarryingALeaveNoticeIsAnsweredButNotAdded) {
    TRig rig;
    rig.G->JoinGroup();
    group_testing::TUdpPeer peer(2);
    TInfoSink sink;
    rv::TRV_Constructed<rv::T_NetGroupInfoR> leaving;
    leaving.sT.MessageType = rv::ngmtLeaving;
    rig.Search(peer, 7, sink.Port(), "Peer", &leaving);
    ASSERT_TRUE(PumpUntil([&] { return sink.Packets.size() == 1; }));
    EXPECT_EQ(rig.G->Members().Count(), 0);
    EXPECT_TRUE(rig.Log.empty());
}

// --- Group messages --------------------------------------------------------------------------------------------------

TEST(NetGroupMessages, AnAnswerAddsItsSenderDirectlyAndItsListIndirectlyButNeverThisHost) {
    TRig rig;
    rig.G->JoinGroup();
    ASSERT_TRUE(PumpUntil([&] { return !rig.Searches.Received.empty(); }));
    EXPECT_TRUE(rig.G->UdpLink->Broadcasting());
    TInfoSink peerSink, listedSink;

    // From this host itself: ignored, whichever of its addresses it comes from.
    ASSERT_TRUE(rig.Tell(Lo(1), group_testing::GroupMessage(rv::ngmtJoinReply, "Launcher", "Echo", peerSink.Port())));
    EXPECT_EQ(rig.G->Members().Count(), 0);
    EXPECT_TRUE(rig.G->UdpLink->Broadcasting());

    // The answer of 127.0.0.2, naming 127.0.0.3, 127.0.0.1 and this host's own address.
    ASSERT_TRUE(rig.Tell(Lo(2), group_testing::GroupMessage(
                                    rv::ngmtJoinReply, "Launcher", "Peer", peerSink.Port(), 2500,
                                    {{Lo(3), "Listed"}, {Lo(1), "Self"}, {rv::WS_LocalAddr.load(), "Self"}},
                                    listedSink.Port())));
    EXPECT_FALSE(rig.G->UdpLink->Broadcasting()) << "an answer ends the search";
    EXPECT_EQ(rig.Members(), (TStrings{"Peer@127.0.0.2", "Listed@127.0.0.3"}));
    EXPECT_EQ(rig.Log, (TStrings{"join", "+Peer@127.0.0.2", "+Listed@127.0.0.3"}));
    EXPECT_FALSE(rig.G->JoinInProgress());
    const rv::T_NetGroupMember* peer = rig.Member(Lo(2));
    EXPECT_TRUE(peer->HaveReceivedFromMember);
    EXPECT_EQ(peer->sT.isR.InfoReplyPort, peerSink.Port());
    EXPECT_EQ(rv::LoWord(peer->sT.isR.TcpIpServices), 2500);
    EXPECT_FALSE(rig.Member(Lo(3))->HaveReceivedFromMember) << "known only from a list";

    // The same answer again changes nothing: no new members, no events.
    rig.Log.clear();
    ASSERT_TRUE(rig.Tell(Lo(2), group_testing::GroupMessage(rv::ngmtJoinReply, "Launcher", "Peer", peerSink.Port(),
                                                            2500, {{Lo(3), "Listed"}}, listedSink.Port())));
    EXPECT_TRUE(rig.Log.empty());
    EXPECT_EQ(rig.G->Members().Count(), 2);
}

TEST(NetGroupMessages, ChangedDetailsLeaveNoticesAndDamagedMessages) {
    TRig rig;
    TInfoSink sink;
    ASSERT_NO_FATAL_FAILURE(rig.JoinWithPeer(sink.Port()));

    // New details from a member: taken over and reported; from an unknown sender: a new member.
    ASSERT_TRUE(rig.Tell(Lo(2), group_testing::GroupMessage(rv::ngmtChangedInfo, "Launcher", "Renamed", sink.Port())));
    ASSERT_TRUE(rig.Tell(Lo(4), group_testing::GroupMessage(rv::ngmtChangedInfo, "Launcher", "Fourth", sink.Port())));
    EXPECT_EQ(rig.Log, (TStrings{"~Renamed", "+Fourth@127.0.0.4"}));
    EXPECT_EQ(rig.Members(), (TStrings{"Renamed@127.0.0.2", "Fourth@127.0.0.4"}));

    // Damaged or foreign messages are dropped; the answer server goes on.
    std::string damaged = group_testing::GroupMessage(rv::ngmtChangedInfo, "Launcher", "Broken", sink.Port());
    damaged[damaged.size() - 3] ^= 0x5A;
    ASSERT_TRUE(rig.Tell(Lo(2), damaged));
    rv::T_InfoServicesRec services;
    ASSERT_TRUE(rig.Tell(Lo(5), group_testing::Info(rv::ttInfoReply, "Other~Launcher~X", "", services)));
    ASSERT_TRUE(rig.Tell(Lo(5), group_testing::Info(rv::ttInfoReply, "G~Launcher~NoPayload", "", services)));
    EXPECT_EQ(rig.Members(), (TStrings{"Renamed@127.0.0.2", "Fourth@127.0.0.4"}));

    // A leave notice from an unknown address changes nothing; from a member it removes it.
    rig.Log.clear();
    ASSERT_TRUE(rig.Tell(Lo(9), group_testing::GroupMessage(rv::ngmtLeaving, "Launcher", "Stranger", sink.Port())));
    EXPECT_TRUE(rig.Log.empty());
    ASSERT_TRUE(rig.Tell(Lo(2), group_testing::GroupMessage(rv::ngmtLeaving, "Launcher", "Renamed", sink.Port())));
    EXPECT_EQ(rig.Log, TStrings{"-Renamed"});
    EXPECT_EQ(rig.Members(), TStrings{"Fourth@127.0.0.4"});
    EXPECT_TRUE(sink.Packets.empty()) << "no message needs an answer";
}

TEST(NetGroupMessages, AJoinRequestIsAnsweredWithTheMemberList) {
    TRig rig;
    rig.G->JoinGroup();
    TInfoSink first, requester;
    ASSERT_TRUE(rig.Tell(Lo(2), group_testing::GroupMessage(rv::ngmtJoinReply, "Launcher", "First", first.Port())));
    ASSERT_TRUE(rig.Tell(Lo(3), group_testing::GroupMessage(rv::ngmtJoinRequest, "Launcher", "New", requester.Port())));
    EXPECT_EQ(rig.Members(), (TStrings{"First@127.0.0.2", "New@127.0.0.3"}));
    ASSERT_TRUE(PumpUntil([&] { return requester.Packets.size() == 1; }));
    const auto reply = Read(requester.Packets[0]);
    EXPECT_EQ(reply->Message.sT.MessageType, rv::ngmtJoinReply);
    EXPECT_EQ(reply->Info.UniqueIdStr(), "G~Launcher~Me");
    EXPECT_EQ(reply->Info.sT.isR.InfoReplyPort, rig.G->InfoReplyPort());
    EXPECT_EQ(reply->Message.LocalMember.UnitId, "Me");
    const TStrings listed = reply->ListedUnits();
    EXPECT_NE(std::find(listed.begin(), listed.end(), "First@127.0.0.2"), listed.end());
    EXPECT_TRUE(first.Packets.empty());
}

// --- Outcome of answers --------------------------------------------------------------------------------------------

// A member that has spoken to this copy over TCP survives failed answers for a while: once more than three in a row
// have failed, it goes unless it was heard from in the last minute.
TEST(NetGroupAnswers, UndeliveredAnswersRemoveAReachedMemberUnlessItIsConfirmedAndRecent) {
    struct TCase {
        const char* Name;
        uint32_t SilentForMs; // how long ago the member was last heard from
        bool SuccessAfterThree; // a delivered answer between the failures
        bool Removed;
    };
    const TCase cases[] = {
        {"recent", 0, false, false},
        {"silent for exactly 60 s", 60000, false, false},
        {"silent for longer", 60001, false, true},
        {"a delivery resets the count", 60001, true, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TRig rig;
        rig.G->JoinGroup();
        TInfoSink sink;
        ASSERT_TRUE(rig.Tell(Lo(2), group_testing::GroupMessage(rv::ngmtJoinReply, "Launcher", "Peer", sink.Port())));
        const rv::T_NumericIpAddress target = Lo(2);
        rv::T_NetGroupMember* m = rig.Member(target);
        ASSERT_NE(m, nullptr);
        ASSERT_TRUE(m->ConfirmedMember());
        ASSERT_TRUE(m->Reachable());
        rig.Log.clear();

        rv::T_UpdInfoProvider& provider = *rig.G->UdpLink->InfoProvider;
        provider.DoTcpIpInfoReplyStatus(Lo(8), false); // nobody's: nothing
        for (int i = 0; i < 3; ++i) provider.DoTcpIpInfoReplyStatus(target, false);
        EXPECT_EQ(m->NotifyTries, 3);
        if (c.SuccessAfterThree) {
            provider.DoTcpIpInfoReplyStatus(target, true);
            EXPECT_EQ(m->NotifyTries, 0);
            EXPECT_TRUE(m->HaveSentToMember);
            // Two more failures make three in a row with the next one: not yet too many.
            for (int i = 0; i < 2; ++i) provider.DoTcpIpInfoReplyStatus(target, false);
        }
        // The clock stands still for the last report, so "exactly 60 s" stays exact.
        const uint32_t now = rv::TickCount32();
        rv::SetTickSourceForTesting([now] { return now; });
        m->LastCommTime = now - c.SilentForMs;
        provider.DoTcpIpInfoReplyStatus(target, false);
        rv::SetTickSourceForTesting({});
        EXPECT_EQ(rig.Member(target) == nullptr, c.Removed);
        EXPECT_EQ(rig.Log, c.Removed ? TStrings{"-Peer"} : TStrings{});
    }
}

// A member that was never reached and never spoke over TCP may not exist: a search's source address proves
// nothing, nor does another member's list. The first answer or join request that fails removes it; one that
// arrives makes it a member to keep.
TEST(NetGroupAnswers, AMemberNeverReachedGoesAtItsFirstFailedDelivery) {
    TRig rig;
    rig.G->JoinGroup();
    TInfoSink sink;
    const uint16_t refused = net_testing::FreeTcpPort();

    // A search whose answer nobody takes (its source made up), then one whose answer arrives. (Some platforms
    // send every loopback datagram from 127.0.0.1, so both come from one address.)
    group_testing::TUdpPeer searcher(5);
    const std::string at = "@" + Ip(searcher.Ip);
    rig.Search(searcher, 1, refused, "MadeUp");
    ASSERT_TRUE(PumpUntil([&] { return rig.Log.size() == 3; }, 10000));
    EXPECT_EQ(rig.Log, (TStrings{"join", "+MadeUp" + at, "-MadeUp"}));
    rig.Search(searcher, 2, sink.Port(), "Real");
    ASSERT_TRUE(PumpUntil([&] { return rig.Member(searcher.Ip) && rig.Member(searcher.Ip)->HaveSentToMember; }));
    EXPECT_EQ(rig.Members(), TStrings{"Real" + at});

    // Known from a list, the join request refused: gone, though it searched (by datagram) in between.
    rig.Log.clear();
    ASSERT_TRUE(rig.Tell(Lo(2), group_testing::GroupMessage(rv::ngmtJoinReply, "Launcher", "Peer", sink.Port(), 0,
                                                            {{Lo(3), "Listed"}}, refused)));
    ASSERT_TRUE(PumpUntil([&] { return rig.Log.size() == 3; }, 10000));
    EXPECT_EQ(rig.Log, (TStrings{"+Peer@127.0.0.2", "+Listed@127.0.0.3", "-Listed"}));

    // A member that spoke over TCP stays after a failed answer: it is there, perhaps busy.
    rig.Log.clear();
    ASSERT_TRUE(rig.Tell(Lo(4), group_testing::GroupMessage(rv::ngmtJoinRequest, "Launcher", "Joiner", refused)));
    net_testing::PumpFor(1000);
    EXPECT_EQ(rig.Log, TStrings{"+Joiner@127.0.0.4"});
    EXPECT_EQ(rig.Members(), (TStrings{"Real" + at, "Peer@127.0.0.2", "Joiner@127.0.0.4"}));
}

// --- Load ----------------------------------------------------------------------------------------------------------

// 2,000 join requests in one stream, naming 20 answer ports: every request is acknowledged and every port answered,
// a few deliveries at a time, on no new thread, while the main thread keeps taking its messages.
TEST(NetGroupLoad, ABurstOfJoinRequestsIsAnsweredAFewAtATimeWithoutNewThreads) {
    TRig rig;
    rig.G->JoinGroup();
    constexpr int kRequests = 2000;
    constexpr int kPorts = 20;
    std::vector<std::unique_ptr<TInfoSink>> sinks;
    for (int i = 0; i < kPorts; ++i) sinks.push_back(std::make_unique<TInfoSink>());
    std::string burst;
    for (int i = 0; i < kRequests; ++i) {
        const std::string m =
            group_testing::GroupMessage(rv::ngmtJoinRequest, "Launcher", "Flood", sinks[i % kPorts]->Port());
        uint8_t head[rv::C_PacketHeaderSize];
        rv::EncodePacketHeader(static_cast<uint32_t>(m.size()), true, head);
        burst.append(reinterpret_cast<const char*>(head), sizeof head).append(m);
    }

    const int threadsBefore = testing_support::ProcessThreadCount();
    rv::TWS_TcpIpSession flood(true, false);
    int acks = 0;
    flood.OnPacketAck = [&](rv::TWS_TcpIpSession*) { ++acks; };
    ASSERT_TRUE(rv::WS_AddressBind(flood.FSocket.load(), Lo(7), 0));
    ASSERT_TRUE(flood.OpenConnection(Lo(1), rig.G->InfoReplyPort(), 5000, false));
    size_t sent = 0;
    int mostThreads = threadsBefore, mostActive = 0;
    // A 50 ms timer of the main thread: the longest time between its calls is how long the main thread was
    // kept from its other messages.
    uint32_t longestGapMs = 0;
    uint32_t lastCall = rv::TickCount32();
    rv::T_TimerID probe = rv::MultiTimer.load()->CreateMSTimer(50, [&] {
        const uint32_t now = rv::TickCount32();
        longestGapMs = std::max(longestGapMs, now - lastCall);
        lastCall = now;
    });
    auto everyPortAnswered = [&] {
        return std::all_of(sinks.begin(), sinks.end(), [](const auto& S) { return !S->Packets.empty(); });
    };
    const bool done = PumpUntil(
        [&] {
            if (sent < burst.size()) {
                const int n = rv::WS_Send(flood.FSocket.load(), burst.data() + sent,
                                          static_cast<int>(std::min<size_t>(burst.size() - sent, 1 << 20)));
                if (n > 0) sent += static_cast<size_t>(n);
            }
            mostThreads = std::max(mostThreads, testing_support::ProcessThreadCount());
            mostActive = std::max(mostActive, rig.G->NotifyWorkers().ActiveCount());
            return acks == kRequests && everyPortAnswered() && rig.G->NotifyWorkers().Count() == 0;
        },
        60000);
    rv::FreeServiceTimer(probe);
    longestGapMs = std::max(longestGapMs, rv::TickCount32() - lastCall); // a wait that lasted to the end
    ASSERT_TRUE(done) << acks << " acknowledgements, " << rig.G->NotifyWorkers().Count() << " deliveries left";
    EXPECT_LE(mostActive, rv::T_ConSendLimits{}.MaxActive);
    EXPECT_LE(mostThreads, threadsBefore + 1); // a look-up or timer thread may come and go; nothing per message
    EXPECT_LT(longestGapMs, 1000u); // a command of the player's is answered within a second
    for (const auto& sink : sinks) {
        auto answer = Read(sink->Packets.back());
        EXPECT_EQ(answer->Message.sT.MessageType, rv::ngmtJoinReply);
    }
    EXPECT_EQ(rig.Members(), TStrings{"Flood@127.0.0.7"});
    // The group goes on as before.
    TInfoSink peerSink;
    ASSERT_TRUE(rig.Tell(Lo(2), group_testing::GroupMessage(rv::ngmtJoinReply, "Launcher", "Peer", peerSink.Port())));
    EXPECT_EQ(rig.Members(), (TStrings{"Flood@127.0.0.7", "Peer@127.0.0.2"}));
}

// A member's list naming 500 members that do not exist: each is listed, asked to join a few at a time, and gone once
// its join request fails; the member that sent the list stays.
TEST(NetGroupLoad, MadeUpMembersOfAListAreGoneOnceTheirJoinRequestsFail) {
    TRig rig;
    rig.G->JoinGroup();
    TInfoSink sink;
    std::vector<std::pair<rv::T_NumericIpAddress, std::string>> madeUp;
    for (int i = 0; i < 500; ++i)
        madeUp.emplace_back(rv::WS_IpAddress(127, 0, static_cast<uint8_t>(10 + i / 250), static_cast<uint8_t>(1 + i % 250)),
                            "Ghost" + std::to_string(i));
    const uint16_t nobody = net_testing::FreeTcpPort();
    ASSERT_TRUE(rig.Tell(Lo(2), group_testing::GroupMessage(rv::ngmtJoinReply, "Launcher", "Peer", sink.Port(), 0,
                                                            madeUp, nobody)));
    int mostActive = 0;
    ASSERT_TRUE(PumpUntil(
        [&] {
            mostActive = std::max(mostActive, rig.G->NotifyWorkers().ActiveCount());
            return rig.G->Members().Count() == 1;
        },
        30000));
    EXPECT_LE(mostActive, rv::T_ConSendLimits{}.MaxActive);
    EXPECT_EQ(rig.Members(), TStrings{"Peer@127.0.0.2"});
    auto events = [&](const std::string& Prefix) {
        return std::count_if(rig.Log.begin(), rig.Log.end(),
                             [&](const std::string& E) { return E.rfind(Prefix, 0) == 0; });
    };
    EXPECT_EQ(events("+Ghost"), 500);
    EXPECT_EQ(events("-Ghost"), 500);
}

// --- Configuration while participating -------------------------------------------------------------------------------

TEST(NetGroupConfigure, NewDetailsAreAnnouncedANewIdentityLeavesAndJoinsAgain) {
    TRig rig;
    TInfoSink sink;
    ASSERT_NO_FATAL_FAILURE(rig.JoinWithPeer(sink.Port()));

    // The same identity (a "~" does not make it new) with other service ports: the members are told.
    rig.Cfg.sT.TcpIpServices = rv::MakeServices(4000, 4001);
    rig.Cfg.UnitId = "M~e";
    rig.G->Configure(rig.Cfg);
    ASSERT_TRUE(PumpUntil([&] { return sink.Packets.size() == 1; }));
    auto changed = Read(sink.Packets[0]);
    EXPECT_EQ(changed->Message.sT.MessageType, rv::ngmtChangedInfo);
    EXPECT_EQ(changed->Message.LocalMember.sT.isR.TcpIpServices, rv::MakeServices(4000, 4001));
    EXPECT_TRUE(rig.Log.empty());
    EXPECT_EQ(rig.G->Members().Count(), 1);

    // A new unit: the members hear that the old identity leaves, the list is emptied without member events, and
    // the copy searches again under its new identity once the notice is out.
    rig.Searches.Received.clear();
    rig.Cfg.UnitId = "NewMe";
    rig.G->Configure(rig.Cfg);
    EXPECT_EQ(rig.Log, TStrings{"leave"});
    EXPECT_EQ(rig.G->Members().Count(), 0);
    EXPECT_EQ(rig.G->GetFullId(), "G~Launcher~NewMe");
    ASSERT_TRUE(PumpUntil([&] { return sink.Packets.size() == 2; }));
    auto leaving = Read(sink.Packets[1]);
    EXPECT_EQ(leaving->Message.sT.MessageType, rv::ngmtLeaving);
    EXPECT_EQ(leaving->Info.UniqueIdStr(), "G~Launcher~Me") << "sent under the old identity";

    ASSERT_TRUE(PumpUntil([&] { return !rig.Searches.Received.empty(); }));
    rv::TRV_Constructed<rv::T_UpdInfoStream> search;
    rv::TRV_BlockMemoryStream in(rig.Searches.Received.back().Data.data(),
                                 static_cast<int64_t>(rig.Searches.Received.back().Data.size()));
    ASSERT_TRUE(search.ReadFromStream(in));
    EXPECT_EQ(search.ParameterStr(), "G~Launcher~NewMe");
    EXPECT_TRUE(rig.G->ParticipatingInGroup());
    EXPECT_TRUE(rig.G->JoinInProgress());
    EXPECT_EQ(rig.Log, TStrings{"leave"});
}

TEST(NetGroupConfigure, LeavingDuringTheRejoinWaitAfterANewIdentityStaysLeft) {
    TRig rig;
    TInfoSink sink;
    ASSERT_NO_FATAL_FAILURE(rig.JoinWithPeer(sink.Port()));
    rig.Cfg.UnitId = "NewMe";
    rig.G->Configure(rig.Cfg);
    rig.G->LeaveGroup(600);
    rig.Searches.Received.clear();
    // The re-join would come at the wait's first tick (250 ms).
    net_testing::PumpFor(600);
    EXPECT_FALSE(rig.G->ParticipatingInGroup());
    EXPECT_TRUE(rig.Searches.Received.empty());
}

// --- Leaving -------------------------------------------------------------------------------------------------------

TEST(NetGroupLeave, NotifiesTheMembersAndWaitsForTheNoticesAtMostMaxWait) {
    struct TNoticeLog {
        std::vector<std::string> Calls;
    };
    for (const bool reachable : {true, false}) {
        SCOPED_TRACE(reachable ? "reachable member" : "member never acknowledges");
        TInfoSink sink;
        group_testing::THangingListener hanging;
        // A notice that is never acknowledged would hold a worker for 20 s.
        TRig rig([](rv::T_NetGroupCfg& C) { C.sT.MsgTimeOut = 20; });
        rig.G->JoinGroup();
        ASSERT_TRUE(rig.Tell(Lo(2), group_testing::GroupMessage(rv::ngmtJoinReply, "Launcher", "Peer",
                                                                reachable ? sink.Port() : hanging.Port())));
        rig.Log.clear();

        TNoticeLog notice;
        rv::LeavingNetGroupNotice() = {[&] { notice.Calls.push_back("display"); },
                                       [&] { notice.Calls.push_back("close"); },
                                       [&](bool On) { notice.Calls.push_back(On ? "busy" : "idle"); }};
        const auto start = std::chrono::steady_clock::now();
        rig.G->LeaveGroup(600);
        const auto tookMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        rv::LeavingNetGroupNotice() = {};

        EXPECT_FALSE(rig.G->ParticipatingInGroup());
        EXPECT_FALSE(rig.G->JoinInProgress());
        EXPECT_EQ(rig.G->Members().Count(), 0);
        EXPECT_EQ(rig.Log, TStrings{"leave"}) << "no member events";
        EXPECT_FALSE(rig.G->UdpLink->Broadcasting());
        if (reachable) {
            ASSERT_EQ(sink.Packets.size(), 1u) << "the notice was delivered before LeaveGroup returned";
            EXPECT_EQ(Read(sink.Packets[0])->Message.sT.MessageType, rv::ngmtLeaving);
            EXPECT_EQ(rig.G->NotifyWorkers().Count(), 0);
            EXPECT_EQ(notice.Calls.front(), "busy");
            EXPECT_EQ(notice.Calls.back(), "idle");
        } else {
            EXPECT_GE(tookMs, 600);
            EXPECT_LT(tookMs, 20000) << "the wait is bounded by MaxWaitMs, not by the worker";
            EXPECT_EQ(notice.Calls, (TStrings{"busy", "display", "idle", "close"}));
        }

        // Leaving again does nothing.
        rig.G->LeaveGroup(600);
        EXPECT_EQ(rig.Log, TStrings{"leave"});
        // After leaving, messages no longer add members.
        ASSERT_TRUE(rig.Tell(Lo(3), group_testing::GroupMessage(rv::ngmtJoinReply, "Launcher", "Late", sink.Port())));
        EXPECT_EQ(rig.G->Members().Count(), 0);
    }
}
