#include "group/net_group_records.h"

#include "tests/stream/test_records.h"

#include <gtest/gtest.h>

using namespace test_records;
using rv::T_NetGroupCfg;
using rv::T_NetGroupInfoR;
using rv::T_NetGroupMember;
using rv::T_NetGroupMemberList;
using rv::TRV_Constructed;
using rv::WS_IpAddress;

namespace {

// A fresh configuration: ports 53783 and 53784, time-out 6, search by broadcast, four empty strings.
const Bytes kDefaultCfg = Hex("12 dc 66 6f 02 02 17 00 00 00 00 00 00 00 00 00 00 00 17 d2 18 d2 06 00 00 00 00 00 "
                              "00 00 00 00 00 01 00 00 00 00 01 00 00 00 00 01 00 00 00 00 01 00 00 00 00");

// Member 192.168.1.5, session a1b2c3d4, answer port 53796, service 53797, "Launcher", "Bob".
const Bytes kMemberBody = Hex("18 00 00 00 c0 a8 01 05 00 00 00 00 d4 c3 b2 a1 00 00 24 d2 25 d2 00 00 00 00 00 00 "
                              "09 00 00 00 4c 61 75 6e 63 68 65 72 00 04 00 00 00 42 6f 62 00");
const Bytes kMember = Concat({Hex("32 89 ba 8e 02 02"), kMemberBody});

// A changed-info message from that member, knowing no other member.
const Bytes kInfoREmpty = Concat({Hex("82 62 3d 29 02 02 01 00 00 00 03 31 00 00 00"), kMemberBody,
                                  Hex("04 00 00 00 00 00 00 00")});

void FillMember(T_NetGroupMember& M, rv::T_NumericIpAddress Ip, const std::string& UnitId) {
    M.sT.MemberIpAddress = rv::MemberIpOf(Ip);
    M.sT.isR.SessionId = 0xA1B2C3D4;
    M.sT.isR.InfoReplyPort = 53796;
    M.sT.isR.TcpIpServices = 53797;
    M.ClassId = "Launcher";
    M.UnitId = UnitId;
}

std::unique_ptr<T_NetGroupMember> NewMember(rv::T_NumericIpAddress Ip, const std::string& UnitId) {
    auto m = rv::MakeSmartStream<T_NetGroupMember>();
    FillMember(*m, Ip, UnitId);
    return m;
}

} // namespace

TEST(NetGroupCfg, FreshRecordWritesItsDefaults) {
    TRV_Constructed<T_NetGroupCfg> cfg;
    EXPECT_EQ(Written(cfg), kDefaultCfg);
    EXPECT_EQ(cfg.sT.UdpPort, 53783);
    EXPECT_EQ(cfg.sT.InfoReplyPort, 53784);
    EXPECT_EQ(cfg.sT.MsgTimeOut, 6);
    EXPECT_EQ(cfg.sT.NetGroupSearchMethod, rv::ngsUdp);
}

TEST(NetGroupCfg, RoundTripOfEveryField) {
    TRV_Constructed<T_NetGroupCfg> cfg;
    cfg.sT = {7, WS_IpAddress(10, 0, 0, 2), 1000, 1001, 30, rv::MakeServices(53797, 53798), rv::MakeServices(3000, 3001),
              rv::ngsMemberIp};
    cfg.GroupId = "G";
    cfg.HostName = "host.lan";
    cfg.ClassId = "C";
    cfg.UnitId = "U\xe9";
    const Bytes bytes = Written(cfg);
    // The address keeps network byte order: 10 first.
    EXPECT_EQ(Bytes(bytes.begin() + 10 + 4, bytes.begin() + 10 + 8), Hex("0a 00 00 02"));
    TRV_Constructed<T_NetGroupCfg> back;
    ASSERT_TRUE(ReadFrom(back, bytes));
    EXPECT_TRUE(back.Compare(cfg));
    EXPECT_EQ(back.sT.HostIP, WS_IpAddress(10, 0, 0, 2));
    EXPECT_EQ(back.sT.NetGroupSearchMethod, rv::ngsMemberIp);
    EXPECT_EQ(back.UnitId, "U\xe9");
}

TEST(NetGroupMember, BytesAndInMemoryFields) {
    TRV_Constructed<T_NetGroupMember> m;
    FillMember(m, WS_IpAddress(192, 168, 1, 5), "Bob");
    m.LastCommTime = 1234;
    m.HaveSentToMember = true;
    m.NotifyTries = 3;
    m.BroadcastRxCount = 2;
    EXPECT_EQ(Written(m), kMember);

    // Assign copies the elements only.
    TRV_Constructed<T_NetGroupMember> copy;
    copy.Assign(&m);
    EXPECT_TRUE(copy.Compare(m));
    EXPECT_EQ(copy.LastCommTime, 0u);
    EXPECT_FALSE(copy.HaveSentToMember);
    EXPECT_EQ(copy.NotifyTries, 0);
    EXPECT_EQ(copy.BroadcastRxCount, 0);
}

TEST(NetGroupMember, ConfirmedMember) {
    TRV_Constructed<T_NetGroupMember> m;
    for (int sent = 0; sent < 2; ++sent)
        for (int received = 0; received < 2; ++received) {
            m.HaveSentToMember = sent;
            m.HaveReceivedFromMember = received;
            EXPECT_EQ(m.ConfirmedMember(), sent || received);
        }
}

TEST(NetGroupMemberList, IndexOfIp) {
    TRV_Constructed<T_NetGroupMemberList> list;
    const auto a = WS_IpAddress(192, 168, 1, 5), b = WS_IpAddress(192, 168, 1, 6), c = WS_IpAddress(10, 0, 0, 1);
    EXPECT_EQ(list.IndexOfIp(a), -1);
    list.Add(NewMember(a, "first"));
    list.Add(NewMember(b, "b"));
    list.Add(std::unique_ptr<T_NetGroupMember>()); // an empty entry is passed over
    list.Add(NewMember(a, "again"));
    auto high = NewMember(c, "high");
    high->sT.MemberIpAddress |= int64_t{1} << 32; // not a plain address: never matches
    list.Add(std::move(high));
    EXPECT_EQ(list.IndexOfIp(a), 3); // the highest index wins
    EXPECT_EQ(list.GetItem(3)->UnitId, "again");
    EXPECT_EQ(list.IndexOfIp(b), 1);
    EXPECT_EQ(list.IndexOfIp(c), -1);
    EXPECT_EQ(list.IndexOfIp(0), -1);
}

TEST(NetGroupInfoR, EmptyMembersKeepsLocalMember) {
    TRV_Constructed<T_NetGroupInfoR> info;
    info.sT.MessageType = rv::ngmtChangedInfo;
    FillMember(info.LocalMember, WS_IpAddress(192, 168, 1, 5), "Bob");
    ASSERT_EQ(Written(info), kInfoREmpty);

    TRV_Constructed<T_NetGroupInfoR> back;
    back.Members.Add(NewMember(1, "stale")); // replaced by the read
    ASSERT_TRUE(ReadFrom(back, kInfoREmpty));
    EXPECT_EQ(back.sT.MessageType, rv::ngmtChangedInfo);
    EXPECT_TRUE(back.LocalMember.Compare(info.LocalMember));
    EXPECT_EQ(back.LocalMember.UnitId, "Bob");
    EXPECT_EQ(back.LocalMember.sT.isR.SessionId, 0xA1B2C3D4u);
    EXPECT_EQ(back.Members.Count(), 0);
}

TEST(NetGroupInfoR, TravelsAsThePayloadOfAnInfoStream) {
    TRV_Constructed<T_NetGroupInfoR> info;
    info.sT.MessageType = rv::ngmtJoinReply;
    FillMember(info.LocalMember, WS_IpAddress(192, 168, 1, 5), "Bob");
    info.Members.Add(NewMember(WS_IpAddress(192, 168, 1, 6), "Carol"));
    info.Members.Add(NewMember(WS_IpAddress(192, 168, 1, 7), "Dave"));

    TRV_Constructed<rv::T_UpdInfoStream> reply;
    reply.sT.TransmissionType = rv::ttInfoReply;
    reply.SetUniqueIdStr("GameDuke3d~Launcher~Bob");
    info.SaveToStream(reply.AppDataStream);
    const Bytes datagram = Written(reply);

    TRV_Constructed<rv::T_UpdInfoStream> rx;
    ASSERT_TRUE(ReadFrom(rx, datagram));
    rx.AppDataStream.SetPosition(0);
    TRV_Constructed<T_NetGroupInfoR> got;
    ASSERT_TRUE(got.ReadFromStream(rx.AppDataStream));
    EXPECT_TRUE(got.Compare(info));
    ASSERT_EQ(got.Members.Count(), 2);
    EXPECT_EQ(got.Members.GetItem(0)->UnitId, "Carol");
    EXPECT_EQ(got.Members.GetItem(1)->UnitId, "Dave");
    EXPECT_EQ(got.Members.IndexOfIp(WS_IpAddress(192, 168, 1, 7)), 1);
}

TEST(ServicePortsText, Table) {
    struct Case {
        uint16_t T1, T2, O1, O2;
        const char* Text;
    };
    const Case cases[] = {
        {2000, 0, 0, 0, "2000"},
        {2000, 2001, 0, 0, "2000,2001"},
        {0, 0, 3000, 0, ": 3000"},
        {0, 2001, 0, 0, ",2001"},
        {0, 0, 0, 0, ""},
        {2000, 2001, 3000, 3001, "2000,2001 : 3000,3001"},
        {2000, 0, 0, 3001, "2000 : ,3001"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(rv::ServicePortsText(rv::MakeServices(c.T1, c.T2), rv::MakeServices(c.O1, c.O2)), c.Text)
            << c.T1 << " " << c.T2 << " " << c.O1 << " " << c.O2;
}
