#include "group/info_stream.h"

#include "tests/stream/test_records.h"

#include <gtest/gtest.h>

using namespace test_records;
using rv::T_UpdInfoStream;
using rv::TRV_Constructed;

namespace {

// An empty info stream: CRC-16, the 17-byte record, two empty strings, an empty payload.
const Bytes kEmptyInfo = Hex("30 ac 11 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                             "01 00 00 00 00 01 00 00 00 00 00 00 00 00");

// An answer of session 12345678 on answer port 53796, services 53797 and 2001, other service 3000,
// identifier "GameDuke3d~Launcher~Alice", parameter "p", payload "xyz".
const Bytes kFilledInfo = Hex(
    "95 7e 11 00 00 00 01 78 56 34 12 00 00 24 d2 25 d2 d1 07 b8 0b 00 00 1a 00 00 00 47 61 6d 65 44 75 6b 65 33 64 7e "
    "4c 61 75 6e 63 68 65 72 7e 41 6c 69 63 65 00 02 00 00 00 70 00 03 00 00 00 78 79 7a");

void Fill(T_UpdInfoStream& R) {
    R.sT.TransmissionType = rv::ttInfoReply;
    R.sT.isR.SessionId = 0x12345678;
    R.sT.isR.InfoReplyPort = 53796;
    R.sT.isR.TcpIpServices = rv::MakeServices(53797, 2001);
    R.sT.isR.OtherServices = rv::MakeServices(3000, 0);
    R.SetUniqueIdStr("GameDuke3d~Launcher~Alice");
    R.SetParameterStr("p");
    SetText(R.AppDataStream, "xyz");
}

} // namespace

TEST(InfoStream, EmptyRecordIs37Bytes) {
    TRV_Constructed<T_UpdInfoStream> r;
    EXPECT_EQ(Written(r), kEmptyInfo);
    EXPECT_EQ(kEmptyInfo.size(), 37u);

    TRV_Constructed<T_UpdInfoStream> back;
    Fill(back);
    ASSERT_TRUE(ReadFrom(back, kEmptyInfo));
    EXPECT_EQ(back.sT.TransmissionType, rv::ttBroadcast);
    EXPECT_EQ(back.sT.isR, rv::T_InfoServicesRec{});
    EXPECT_EQ(back.UniqueIdStr(), "");
    EXPECT_EQ(back.ParameterStr(), "");
    EXPECT_EQ(back.AppDataStream.Size(), 0);
}

TEST(InfoStream, FilledRecordBytesAndRoundTrip) {
    TRV_Constructed<T_UpdInfoStream> r;
    Fill(r);
    ASSERT_EQ(Written(r), kFilledInfo);

    TRV_Constructed<T_UpdInfoStream> back;
    ASSERT_TRUE(ReadFrom(back, kFilledInfo));
    EXPECT_EQ(back.sT.TransmissionType, rv::ttInfoReply);
    EXPECT_EQ(back.sT.isR, r.sT.isR);
    EXPECT_EQ(rv::LoWord(back.sT.isR.TcpIpServices), 53797);
    EXPECT_EQ(rv::HiWord(back.sT.isR.TcpIpServices), 2001);
    EXPECT_EQ(back.UniqueIdStr(), "GameDuke3d~Launcher~Alice");
    EXPECT_EQ(back.ParameterStr(), "p");
    EXPECT_EQ(AsText(back.AppDataStream), "xyz");
}

TEST(InfoStream, DamagedDatagramFailsAndLeavesNullValues) {
    for (size_t i = 2; i < kFilledInfo.size(); i += 7) {
        Bytes bad = kFilledInfo;
        bad[i] ^= 0x20;
        TRV_Constructed<T_UpdInfoStream> r;
        Fill(r);
        EXPECT_FALSE(ReadFrom(r, bad)) << "byte " << i;
        EXPECT_EQ(r.sT.isR.SessionId, 0u);
        EXPECT_EQ(r.UniqueIdStr(), "");
        EXPECT_EQ(r.AppDataStream.Size(), 0);
    }
}

TEST(InfoStream, SetUniqueIdStrDropsEveryWildcard) {
    TRV_Constructed<T_UpdInfoStream> r;
    r.SetUniqueIdStr("*Game*Duke3d~*");
    EXPECT_EQ(r.UniqueIdStr(), "GameDuke3d~");
    // What a record holds is never a wildcard: "GameDuke3d~" does not match a longer identifier.
    EXPECT_FALSE(r.UniqueIdMatches("GameDuke3d~Launcher"));
    EXPECT_TRUE(r.UniqueIdMatches("gameduke3d~"));
}

TEST(InfoStream, UniqueIdMatches) {
    struct Case {
        const char* Own;
        const char* Id;
        bool Match;
    };
    const Case cases[] = {
        {"ABC~*", "abc~def", true},
        {"ABC~*", "ABC~", true},
        {"ABC~*", "abc~", true},
        {"ABC~*", "ABD~x", false},
        {"ABC~*", "ABC", false}, // shorter than the wildcard's prefix
        {"ABC~", "abc~", true},
        {"ABC~", "ABC~D", false},
        {"abc~def", "ABC~*", true},  // the wildcard of Id counts first: only "abc~" is compared
        {"abc~def", "ABX~*", false},
        {"ab*", "ABCD*", false}, // Id's wildcard decides; the "*" of Own is then an ordinary character
        {"GameDuke3d~Launcher~Alice", "GameDuke3d~*", true},
        {"GameDuke3d~Launcher~Alice", "GameDuke3d~Launcher~ALICE", true},
        {"Caf\xe9", "CAF\xc9", false}, // only a to z fold
        {"", "", true},
        {"", "*", true},
        {"x", "", false},
    };
    for (const Case& c : cases) EXPECT_EQ(rv::UniqueIdMatches(c.Own, c.Id), c.Match) << c.Own << " / " << c.Id;
}
