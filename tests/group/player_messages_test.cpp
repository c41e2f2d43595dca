#include "group/player_messages.h"

#include "stream/little_endian.h"
#include "tests/group/synthetic_map.h"
#include "tests/stream/test_records.h"

#include <gtest/gtest.h>
#include <zlib.h>

using namespace test_records;
using rv::T_CommFileUpdateCmd;
using rv::T_LgCommCmdOnly;
using rv::T_LgCommCmdWithParam;
using rv::T_LgCommMessage;
using rv::T_LgCommStream;
using rv::TRV_Constructed;

namespace {

uint32_t Crc32(const Bytes& B, size_t From) {
    return static_cast<uint32_t>(crc32(0, B.data() + From, static_cast<uInt>(B.size() - From)));
}

uint32_t U32At(const Bytes& B, size_t At) { return rv::GetLE<uint32_t>(B.data() + At); }

} // namespace

TEST(LgCommStream, ItemClassOfEachType) {
    enum Kind { CmdOnly, WithParam, Message, File };
    const std::pair<uint16_t, Kind> cases[] = {
        {rv::ccCmd, CmdOnly},       {rv::ccCmdWithParam, WithParam}, {rv::ccMessage, Message},
        {rv::ccSelectMap, File},    {rv::ccSendMap, File},           {rv::cc1, CmdOnly},
        {rv::cc20, CmdOnly},        {rv::am1, CmdOnly},              {rv::am15, CmdOnly},
        {rv::crSendMap, File},      {41, CmdOnly},                   {0x102, CmdOnly},
        {0xFFFF, CmdOnly},
    };
    for (const auto& [type, kind] : cases) {
        TRV_Constructed<T_LgCommStream> p;
        p.SetStreamItemType(type);
        ASSERT_NE(p.si(), nullptr) << type;
        EXPECT_EQ(p.ItemAs<T_LgCommCmdWithParam>() != nullptr, kind == WithParam) << type;
        EXPECT_EQ(p.ItemAs<T_LgCommMessage>() != nullptr, kind == Message) << type;
        EXPECT_EQ(p.ItemAs<T_CommFileUpdateCmd>() != nullptr, kind == File) << type;
        EXPECT_EQ(p.si()->NumItems(), kind == CmdOnly ? 0u : kind == File ? 3u : 1u) << type;
    }
}

TEST(LgCommStream, ReservedTypeReadsAsCmdOnly) {
    // Type 7 (cc3): the type word and an item of no elements.
    const Bytes type7 = Hex("85 f9 9d ad 02 02 07 00 00 00 00 00");
    TRV_Constructed<T_LgCommStream> p;
    p.SetStreamItemType(rv::ccMessage);
    ASSERT_TRUE(ReadFrom(p, type7));
    EXPECT_EQ(p.StreamItemType(), 7);
    EXPECT_NE(p.ItemAs<T_LgCommCmdOnly>(), nullptr);
    EXPECT_EQ(p.ItemAs<T_LgCommMessage>(), nullptr);

    TRV_Constructed<T_LgCommStream> w;
    w.SetStreamItemType(7);
    EXPECT_EQ(Written(w), type7);

    // A type above the last one reads too; the receiver tells it by its number.
    TRV_Constructed<T_LgCommStream> high;
    high.SetStreamItemType(41);
    TRV_Constructed<T_LgCommStream> rx;
    ASSERT_TRUE(ReadFrom(rx, Written(high)));
    EXPECT_GT(rx.StreamItemType(), rv::C_LgCommLastPacketType);
}

TEST(LgCommStream, CommandAndMessageBytes) {
    TRV_Constructed<T_LgCommStream> p;
    p.SetStreamItemType(rv::ccCmdWithParam);
    p.ItemAs<T_LgCommCmdWithParam>()->Param = -2;
    const Bytes withParam = Hex("73 c3 0d c2 02 02 01 00 04 00 00 00 fe ff ff ff");
    EXPECT_EQ(Written(p), withParam);

    p.SetStreamItemType(rv::ccMessage);
    p.ItemAs<T_LgCommMessage>()->MsgText = {"gg ready?"};
    const Bytes message = Hex("10 4e 00 a1 02 02 02 00 0e 00 00 00 0a 00 00 00 67 67 20 72 65 61 64 79 3f 00");
    EXPECT_EQ(Written(p), message);

    TRV_Constructed<T_LgCommStream> rx;
    ASSERT_TRUE(ReadFrom(rx, withParam));
    ASSERT_NE(rx.ItemAs<T_LgCommCmdWithParam>(), nullptr);
    EXPECT_EQ(rx.ItemAs<T_LgCommCmdWithParam>()->Param, -2);
    ASSERT_TRUE(ReadFrom(rx, message));
    ASSERT_NE(rx.ItemAs<T_LgCommMessage>(), nullptr);
    EXPECT_EQ(rx.ItemAs<T_LgCommMessage>()->MsgText, rv::TStrings{"gg ready?"});
}

TEST(LgCommStream, SelectMapWithUnreadableDateAndSize) {
    TRV_Constructed<T_LgCommStream> p;
    p.SetStreamItemType(rv::ccSelectMap);
    p.ItemAs<T_CommFileUpdateCmd>()->MapName = "E1L1.MAP";
    const Bytes b = Written(p);
    // Type 3, the item's size, the 16-byte record of zeros, the name, then an empty image in the compressed
    // framing: the 12-byte header (identifier 0, size 0, 0) and a zlib stream of nothing.
    const Bytes type = Hex("02 02 03 00");
    const Bytes fields = Hex("10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                             "09 00 00 00 45 31 4c 31 2e 4d 41 50 00");
    const size_t image = 12 + fields.size();
    ASSERT_GT(b.size(), image + 4 + 12);
    EXPECT_EQ(U32At(b, 0), Crc32(b, 4));
    EXPECT_EQ(Bytes(b.begin() + 4, b.begin() + 8), type);
    EXPECT_EQ(U32At(b, 8), b.size() - 12); // the item element runs to the end
    EXPECT_EQ(Bytes(b.begin() + 12, b.begin() + static_cast<long>(image)), fields);
    EXPECT_EQ(U32At(b, image), b.size() - image - 4);
    EXPECT_EQ(Bytes(b.begin() + static_cast<long>(image) + 4, b.begin() + static_cast<long>(image) + 16), Bytes(12, 0));

    TRV_Constructed<T_LgCommStream> rx;
    ASSERT_TRUE(ReadFrom(rx, b));
    auto* cmd = rx.ItemAs<T_CommFileUpdateCmd>();
    ASSERT_NE(cmd, nullptr);
    EXPECT_EQ(rx.StreamItemType(), rv::ccSelectMap);
    EXPECT_EQ(cmd->sT.MapDateTime, 0.0);
    EXPECT_EQ(cmd->sT.MapFileSize, 0);
    EXPECT_EQ(cmd->MapName, "E1L1.MAP");
    EXPECT_EQ(cmd->MapFileImage.Size(), 0);
}

TEST(LgCommStream, SendMapOfAOneMegabyteMap) {
    const std::vector<uint8_t> map = synthetic_map::MapImage(1 << 20);
    TRV_Constructed<T_LgCommStream> p;
    p.SetStreamItemType(rv::crSendMap);
    auto* cmd = p.ItemAs<T_CommFileUpdateCmd>();
    cmd->sT.MapDateTime = 45000.5;
    cmd->sT.MapFileSize = static_cast<int64_t>(map.size());
    cmd->MapName = "big.map";
    cmd->MapFileImage.WriteBuffer(map.data(), static_cast<int64_t>(map.size()));
    const Bytes b = Written(p);

    // The image travels compressed: header with the uncompressed size, then a zlib stream.
    const size_t image = 4 + 2 + 2 + 4 + (4 + 16) + (4 + 8);
    EXPECT_LT(b.size(), map.size() / 2);
    EXPECT_EQ(U32At(b, image), b.size() - image - 4);
    EXPECT_EQ(U32At(b, image + 4), 0u);
    EXPECT_EQ(U32At(b, image + 8), map.size());
    EXPECT_EQ(U32At(b, image + 12), 0u);
    EXPECT_EQ(b[image + 16] & 0x0F, 8); // deflate
    EXPECT_EQ(((b[image + 16] << 8) | b[image + 17]) % 31, 0);

    TRV_Constructed<T_LgCommStream> rx;
    ASSERT_TRUE(ReadFrom(rx, b));
    auto* got = rx.ItemAs<T_CommFileUpdateCmd>();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(rx.StreamItemType(), rv::crSendMap);
    EXPECT_EQ(got->MapName, "big.map");
    EXPECT_EQ(got->sT.MapDateTime, 45000.5);
    EXPECT_EQ(got->sT.MapFileSize, 1 << 20);
    ASSERT_EQ(got->MapFileImage.Size(), static_cast<int64_t>(map.size()));
    EXPECT_TRUE(std::equal(map.begin(), map.end(), got->MapFileImage.Memory()));
}

TEST(LgCommStream, MapImageInflatesOnlyUpToTheBound) {
    // A map image of 64 MiB reads back whole; one byte more reads back as no image at all, so a small packet can
    // neither fill memory nor pass for a whole map.
    for (int64_t size : {rv::C_MaxDecompressedSize, rv::C_MaxDecompressedSize + 1}) {
        TRV_Constructed<T_LgCommStream> p;
        p.SetStreamItemType(rv::crSendMap);
        auto* cmd = p.ItemAs<T_CommFileUpdateCmd>();
        cmd->MapName = "zeros.map";
        cmd->MapFileImage.SetSize(size); // zeros: a packet of some 64 KiB
        const Bytes b = Written(p);
        EXPECT_LT(b.size(), 1u << 20);
        cmd->MapFileImage.Clear();

        TRV_Constructed<T_LgCommStream> rx;
        ASSERT_TRUE(ReadFrom(rx, b));
        auto* got = rx.ItemAs<T_CommFileUpdateCmd>();
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got->MapName, "zeros.map");
        EXPECT_EQ(got->MapFileImage.Size(), size == rv::C_MaxDecompressedSize ? size : 0) << size;
    }
}

TEST(LgCommStream, SameTypeKeepsTheItemAndANewTypeStartsFresh) {
    TRV_Constructed<T_LgCommStream> p;
    p.SetStreamItemType(rv::ccSendMap);
    p.ItemAs<T_CommFileUpdateCmd>()->sT.MapFileSize = 99;
    p.SetStreamItemType(rv::ccSendMap);
    EXPECT_EQ(p.ItemAs<T_CommFileUpdateCmd>()->sT.MapFileSize, 99);
    p.SetStreamItemType(rv::ccSelectMap); // same class, other type: a fresh item
    EXPECT_EQ(p.ItemAs<T_CommFileUpdateCmd>()->sT.MapFileSize, 0);
}
