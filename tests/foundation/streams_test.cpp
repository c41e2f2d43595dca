#include "foundation/stop_watch.h"
#include "foundation/streams.h"
#include "foundation/tick_count.h"
#include "tests/test_support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <numeric>
#include <vector>

namespace {

// A destination that records the size of every write.
class TRecordingStream : public rv::TMemoryStream {
public:
    int64_t Write(const void* Buffer, int64_t Count) override {
        Writes.push_back(Count);
        return rv::TMemoryStream::Write(Buffer, Count);
    }
    std::vector<int64_t> Writes;
};

} // namespace

TEST(BlockMemoryStream, WriteIsBoundedByTheBlockAndSetPointerRewinds) {
    char block[8] = {};
    rv::TRV_BlockMemoryStream s(block, 6);
    EXPECT_EQ(s.Write("abcd", 4), 4);
    EXPECT_EQ(s.Write("efgh", 4), 2); // only two bytes left
    EXPECT_EQ(s.Write("x", 1), 0);
    EXPECT_EQ(std::string(block, 8), std::string("abcdef\0\0", 8));
    EXPECT_EQ(s.Size(), 6);

    char other[4] = {'1', '2', '3', '4'};
    s.SetPointer(other, 4);
    EXPECT_EQ(s.Position(), 0);
    char out[4];
    s.ReadBuffer(out, 4);
    EXPECT_EQ(std::string(out, 4), "1234");
    EXPECT_THROW(s.ReadBuffer(out, 1), rv::EStreamError);
}

TEST(BlockMemoryStream, CopyStreamIntoAWrongSizedDestinationRaisesAndWritesNothing) {
    std::vector<uint8_t> data(100, 0x5A);
    rv::TRV_BlockMemoryStream s(data.data(), 100);
    s.SetPosition(10); // 90 bytes left
    for (int64_t destSize : {0, 89, 91}) {
        TRecordingStream dest;
        dest.SetSize(destSize);
        dest.SetPosition(0);
        try {
            s.CopyStream(dest);
            ADD_FAILURE() << "no error for a destination of " << destSize;
        } catch (const rv::EStreamError& e) {
            EXPECT_STREQ(e.what(), "Stream size mismatch");
        }
        EXPECT_TRUE(dest.Writes.empty());
        EXPECT_EQ(s.Position(), 10);
    }
}

TEST(BlockMemoryStream, CopyStreamWritesTheRestInPiecesOfAtMost32768) {
    std::vector<uint8_t> data(70000);
    std::iota(data.begin(), data.end(), 0);
    rv::TRV_BlockMemoryStream s(data.data(), static_cast<int64_t>(data.size()));
    s.SetPosition(100);
    TRecordingStream dest;
    dest.SetSize(69900);
    dest.SetPosition(0);
    s.CopyStream(dest);
    EXPECT_EQ(dest.Writes, (std::vector<int64_t>{32768, 32768, 4364}));
    EXPECT_EQ(s.Position(), 70000);
    EXPECT_EQ(0, std::memcmp(dest.Memory(), data.data() + 100, 69900));
}

TEST(MemoryAndFileStreams, RoundTripThroughAFile) {
    std::string path = testing_support::MakeTempDir() + "data.bin";
    rv::TMemoryStream m;
    m.WriteBuffer("hello", 5);
    m.SetPosition(5);
    m.WriteBuffer(" world", 6);
    EXPECT_EQ(m.Size(), 11);
    m.SaveToFile(path);

    rv::TMemoryStream back;
    back.LoadFromFile(path);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(back.Memory()), 11), "hello world");

    rv::TFileStream f(path, rv::fmOpenReadWrite);
    f.Seek(0, rv::TSeekOrigin::soEnd);
    f.WriteBuffer("!", 1);
    f.SetPosition(0);
    char buf[12];
    f.ReadBuffer(buf, 12);
    EXPECT_EQ(std::string(buf, 12), "hello world!");
    EXPECT_THROW(rv::TFileStream(path + ".missing", rv::fmOpenRead), rv::EFOpenError);
}

TEST(StopWatch, TickArithmeticSurvivesTheWrapOfTheCounter) {
    uint32_t now = 0xFFFFFF00u;
    rv::SetTickSourceForTesting([&now] { return now; });
    rv::TRV_StopWatch sw(true);
    now = 0x00000100u; // wrapped
    EXPECT_EQ(sw.ElapsedTimeMS(), 0x200u);
    now += 50;
    sw.Start(); // already running: no reset
    EXPECT_EQ(sw.ElapsedTimeMS(), 0x232u);
    sw.Reset();
    now += 7;
    EXPECT_EQ(sw.ElapsedTimeMS(), 7u);

    rv::TRV_StopWatch stopped(false);
    now += 1000;
    EXPECT_EQ(stopped.ElapsedTimeMS(), 0u);
    rv::SetTickSourceForTesting(nullptr);
}
