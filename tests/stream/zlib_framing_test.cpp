#include "stream/zlib_framing.h"

#include "stream/little_endian.h"
#include "tests/stream/test_records.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <random>
#include <zlib.h>

using namespace test_records;
using rv::TRV_Constructed;

namespace {

Bytes Compressed(const std::string& Text, uint32_t Id = 0) {
    rv::TMemoryStream src, dst;
    SetText(src, Text);
    EXPECT_TRUE(rv::CompressStreamToStream(src, dst, Id));
    return BytesOf(dst);
}

// Decompresses Data; returns the result and the output.
std::pair<bool, std::string> Decompressed(const Bytes& Data, bool HasId = false,
                                          int64_t MaxSize = rv::C_MaxDecompressedSize) {
    rv::TRV_BlockMemoryStream src(Data.data(), static_cast<int64_t>(Data.size()));
    rv::TMemoryStream out;
    bool ok = rv::DeCompressStreamToStream(src, out, HasId, nullptr, MaxSize);
    return {ok, AsText(out)};
}

// A framed zlib stream of Size zero bytes, built without holding the output: a few kilobytes for a large Size.
Bytes Bomb(int64_t Size) {
    z_stream z{};
    EXPECT_EQ(deflateInit(&z, 9), Z_OK);
    Bytes out = Hex("00 00 00 00 00 00 00 00 00 00 00 00");
    rv::PutLE<uint32_t>(out.data() + 4, static_cast<uint32_t>(Size));
    std::vector<uint8_t> zeros(1 << 20, 0), buf(1 << 16);
    int64_t left = Size;
    int flush = Z_NO_FLUSH;
    while (flush != Z_FINISH) {
        int64_t n = std::min<int64_t>(left, static_cast<int64_t>(zeros.size()));
        left -= n;
        flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        z.next_in = zeros.data();
        z.avail_in = static_cast<uInt>(n);
        do {
            z.next_out = buf.data();
            z.avail_out = static_cast<uInt>(buf.size());
            deflate(&z, flush);
            out.insert(out.end(), buf.data(), buf.data() + (buf.size() - z.avail_out));
        } while (z.avail_out == 0);
    }
    deflateEnd(&z);
    return out;
}

} // namespace

TEST(ZlibFraming, EmptyStreamHasTwelveZeroHeaderBytesAndAValidZlibStream) {
    Bytes c = Compressed("");
    ASSERT_GT(c.size(), 12u);
    EXPECT_EQ(Bytes(c.begin(), c.begin() + 12), Bytes(12, 0));
    EXPECT_EQ(c[12], 0x78); // zlib header: deflate, 32 KiB window
    EXPECT_EQ(c[13], 0xDA); // level 9
    auto [ok, text] = Decompressed(c);
    EXPECT_TRUE(ok);
    EXPECT_EQ(text, "");
}

TEST(ZlibFraming, SizeFieldEqualsTheDecompressedBytes) {
    std::mt19937 rng(7);
    for (size_t size : {1u, 1000u, 32768u, 32769u, 200000u}) {
        SCOPED_TRACE(size);
        std::string text(size, '\0');
        for (char& ch : text) ch = static_cast<char>(rng() % 16); // compressible but not trivial
        Bytes c = Compressed(text);
        EXPECT_EQ(rv::GetLE<uint32_t>(c.data() + 4), size);
        auto [ok, out] = Decompressed(c);
        EXPECT_TRUE(ok);
        EXPECT_EQ(out, text);
    }
}

TEST(ZlibFraming, TaggedHeader) {
    Bytes c = Compressed("tagged text", 0x01020304);
    EXPECT_EQ(Bytes(c.begin(), c.begin() + 16), Hex("52 56 5a 20 04 03 02 01 0b 00 00 00 00 00 00 00"));
    EXPECT_EQ(Decompressed(c, true), std::make_pair(true, std::string("tagged text")));
    // Read as untagged, four header bytes are taken for zlib data.
    EXPECT_FALSE(Decompressed(c, false).first);
}

TEST(ZlibFraming, CorruptOrTruncatedDataFails) {
    const std::string text(5000, 'a');
    Bytes c = Compressed(text + "tail");
    for (size_t cut : {size_t(5), size_t(13), c.size() - 1}) {
        Bytes part(c.begin(), c.begin() + static_cast<ptrdiff_t>(cut));
        EXPECT_FALSE(Decompressed(part).first) << cut;
    }
    Bytes bad = c;
    bad[bad.size() - 2] ^= 0xFF; // the Adler-32 trailer
    EXPECT_FALSE(Decompressed(bad).first);
    bad = c;
    bad[12] = 0x00; // not a zlib header
    EXPECT_FALSE(Decompressed(bad).first);
}

TEST(ZlibFraming, SourceIsLeftJustAfterTheZlibStream) {
    Bytes c = Compressed("first");
    Bytes both = Concat({c, Hex("ee ff")});
    rv::TRV_BlockMemoryStream src(both.data(), static_cast<int64_t>(both.size()));
    rv::TMemoryStream out;
    EXPECT_TRUE(rv::DeCompressStreamToStream(src, out));
    EXPECT_EQ(src.Position(), static_cast<int64_t>(c.size()));
}

TEST(ZlibFraming, InflationPastTheBoundFailsLikeCorruptData) {
    Bytes small = Bomb(1000);
    EXPECT_TRUE(Decompressed(small, false, 1000).first);
    EXPECT_FALSE(Decompressed(small, false, 999).first);

    // 96 MiB of zeros in about 100 KiB: stops at the 64 MiB bound.
    Bytes bomb = Bomb(int64_t(96) << 20);
    EXPECT_LT(bomb.size(), 200u << 10);
    rv::TRV_BlockMemoryStream src(bomb.data(), static_cast<int64_t>(bomb.size()));
    rv::TMemoryStream out;
    EXPECT_FALSE(rv::DeCompressStreamToStream(src, out));
    EXPECT_LE(out.Size(), rv::C_MaxDecompressedSize);
}

TEST(ZlibFraming, ProgressCountsChunksAndCanStopTheCopy) {
    std::string text(100000, 'p');
    Bytes c = Compressed(text);
    rv::TRV_Progress progress;
    progress.OnProgress = [](rv::TRV_Progress& p) {
        if (p.Position() >= 32768) p.Terminate();
    };
    rv::TRV_BlockMemoryStream src(c.data(), static_cast<int64_t>(c.size()));
    rv::TMemoryStream out;
    EXPECT_TRUE(rv::DeCompressStreamToStream(src, out, false, &progress));
    EXPECT_EQ(out.Size(), 32768);
}

TEST(ZlibFraming, FileVariants) {
    const std::string dir = testing_support::MakeTempDir();
    const std::string text = "file content\n" + std::string(10000, 'f');
    testing_support::WriteFile(dir + "src.txt", text);
    rv::TMemoryStream c;
    EXPECT_TRUE(rv::CompressFileToStream(dir + "src.txt", c));
    c.SetPosition(0);
    EXPECT_TRUE(rv::DeCompressStreamToFile(c, dir + "out.txt"));
    EXPECT_EQ(testing_support::ReadFile(dir + "out.txt"), text);

    EXPECT_THROW(rv::CompressFileToStream(dir + "missing.txt", c), rv::EFOpenError);
    c.SetPosition(0);
    EXPECT_THROW(rv::DeCompressStreamToFile(c, dir + "no/such/folder/out.txt"), rv::EFOpenError);

    // The bound holds for files too: the disk never gets more than the bound.
    Bytes bomb = Bomb(1 << 20);
    rv::TRV_BlockMemoryStream src(bomb.data(), static_cast<int64_t>(bomb.size()));
    EXPECT_FALSE(rv::DeCompressStreamToFile(src, dir + "bomb.bin", false, nullptr, 65536));
    EXPECT_LE(testing_support::ReadFile(dir + "bomb.bin").size(), 65536u);
}

TEST(ZlibFraming, CompressedStringListImages) {
    rv::TMemoryStream payload, c;
    rv::SaveTStringsToStream({"I agree", "", "to the terms"}, payload);
    ASSERT_TRUE(rv::CompressStreamToStream(payload, c));
    rv::TStrings lines = {"old"};
    EXPECT_TRUE(rv::LoadCompressedTStrings(c.Memory(), static_cast<size_t>(c.Size()), lines));
    EXPECT_EQ(lines, (rv::TStrings{"I agree", "", "to the terms"}));
    EXPECT_FALSE(rv::LoadCompressedTStrings(c.Memory(), 10, lines));
    EXPECT_TRUE(lines.empty());
}

// The resource the Windows program carries: platform_test_win.cpp.
TEST(ZlibFraming, AgreementResourceOfTheProgram) {
    rv::TStrings lines;
    EXPECT_FALSE(rv::AssignCompressedTStringsResource("NOSUCHRESOURCE", lines));
}

// ---- compressed elements -----------------------------------------------------------------------------------------

TEST(CompressedElements, OneEmptyStringIsTheCompressedByteZero) {
    rv::TStrings src = {""}, dst = {"x", "y"};
    TRV_Constructed<TProbe> w([&](TProbe& p) { p.AddCompressedTStrings(src); }, false, false);
    TRV_Constructed<TProbe> r([&](TProbe& p) { p.AddCompressedTStrings(dst); }, false, false);
    Bytes bytes = Written(w);
    ASSERT_GT(bytes.size(), 16u);
    EXPECT_EQ(rv::GetLE<uint32_t>(bytes.data()), bytes.size() - 4);
    Bytes frame(bytes.begin() + 4, bytes.end());
    EXPECT_EQ(rv::GetLE<uint32_t>(frame.data() + 4), 1u); // one uncompressed byte
    EXPECT_EQ(Decompressed(frame), std::make_pair(true, std::string(1, '\0')));
    EXPECT_TRUE(ReadFrom(r, bytes));
    EXPECT_EQ(dst, rv::TStrings{""});
}

TEST(CompressedElements, EmptyStreamIsAnEmptyCompressedStream) {
    rv::TMemoryStream src, dst;
    SetText(dst, "old");
    TRV_Constructed<TProbe> w([&](TProbe& p) { p.AddCompressedStream(src); }, false, false);
    TRV_Constructed<TProbe> r([&](TProbe& p) { p.AddCompressedStream(dst); }, false, false);
    Bytes bytes = Written(w);
    EXPECT_EQ(rv::GetLE<uint32_t>(bytes.data()), bytes.size() - 4);
    EXPECT_GT(bytes.size(), 4u + 12u);
    EXPECT_TRUE(ReadFrom(r, bytes));
    EXPECT_EQ(dst.Size(), 0);
}

TEST(CompressedElements, AMegabyteImageTravelsCompressedAndComesBackWhole) {
    std::mt19937 rng(3);
    std::string image(1 << 20, '\0');
    for (char& ch : image) ch = static_cast<char>("MAPDATA"[rng() % 7]);
    rv::TMemoryStream src, dst;
    SetText(src, image);
    src.SetPosition(100); // the element takes the whole stream whatever its position
    TRV_Constructed<TProbe> w([&](TProbe& p) { p.AddCompressedStream(src); });
    TRV_Constructed<TProbe> r([&](TProbe& p) { p.AddCompressedStream(dst); });
    Bytes bytes = Written(w);
    EXPECT_LT(bytes.size(), image.size() / 2);
    EXPECT_EQ(src.Position(), 100);
    EXPECT_TRUE(ReadFrom(r, bytes));
    EXPECT_EQ(AsText(dst), image);
}

// A damaged or oversized payload leaves the element empty (never a part of it), and the record's other
// elements are read normally.
TEST(CompressedElements, DamagedOrOversizedPayloadLeavesTheElementEmpty) {
    rv::TMemoryStream dst;
    rv::TStrings lines;
    int32_t after = 0;
    TRV_Constructed<TProbe> r(
        [&](TProbe& p) {
            p.AddCompressedStream(dst);
            p.AddCompressedTStrings(lines);
            p.AddLongInt(after);
        },
        false, false);
    r.SetMaxDecompressedSize(100000);

    Bytes good = Compressed(std::string(5000, 'g'));
    Bytes damaged = good;
    damaged[damaged.size() - 1] ^= 1;
    Bytes bomb = Bomb(200000);
    for (const Bytes& payload : {damaged, bomb}) {
        Bytes size(4);
        rv::PutLE<uint32_t>(size.data(), static_cast<uint32_t>(payload.size()));
        Bytes record = Concat({size, payload, size, payload, Hex("2a 00 00 00")});
        SetText(dst, "old");
        lines = {"old"};
        EXPECT_TRUE(ReadFrom(r, record));
        EXPECT_EQ(dst.Size(), 0);
        EXPECT_TRUE(lines.empty());
        EXPECT_EQ(after, 42);
    }
}

// The bound covers all compressed elements of one read together, nested records and list items included.
TEST(CompressedElements, TheBoundIsSharedByAllElementsOfOneRead) {
    class TImageItem : public rv::TRV_SmartStream {
    public:
        rv::TMemoryStream Image;

    protected:
        void AssignElements() override {
            TRV_SmartStream::AssignElements();
            AddCompressedStream(Image);
        }
    };
    class TImageList : public rv::TRV_SmartStreamListOf<TImageItem> {};

    TRV_Constructed<TImageList> w, r;
    for (int i = 0; i < 4; ++i) {
        auto item = rv::MakeSmartStream<TImageItem>();
        SetText(item->Image, std::string(30000, static_cast<char>('a' + i)));
        w.Add(std::move(item));
    }
    Bytes bytes = Written(w);
    r.SetMaxDecompressedSize(100000); // room for three of the four
    EXPECT_TRUE(ReadFrom(r, bytes));
    ASSERT_EQ(r.Count(), 4);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(r.Item(i)->Image.Size(), 30000);
    EXPECT_EQ(r.Item(3)->Image.Size(), 0);
    // The next read has the whole bound again.
    r.SetMaxDecompressedSize(120000);
    EXPECT_TRUE(ReadFrom(r, bytes));
    EXPECT_EQ(r.Item(3)->Image.Size(), 30000);
}
