// Check values, the read-only window stream, deferred size fields and the string helpers.
#include "stream/check_values.h"

#include "stream/little_endian.h"
#include "stream/nested_stream.h"
#include "stream/size_fields.h"
#include "stream/stream_errors.h"
#include "stream/string_io.h"
#include "tests/stream/test_records.h"

#include <gtest/gtest.h>

using namespace test_records;

namespace {

rv::TMemoryStream& Fill(rv::TMemoryStream& M, const std::string& Data) {
    SetText(M, Data);
    return M;
}

template <class F>
std::string ErrorText(F&& Fn) {
    try {
        Fn();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

} // namespace

TEST(CheckValues, StandardCheckStrings) {
    EXPECT_EQ(rv::Crc32OfBuffer("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(rv::Crc16UsbOfBuffer("123456789", 9), 0xB4C8u);
    EXPECT_EQ(rv::Crc32OfBuffer("", 0), 0u);
    EXPECT_EQ(rv::Crc16UsbOfBuffer("", 0), 0x0000u);
}

TEST(CheckValues, StreamHelpersReadFromThePositionInChunks) {
    std::string data(50000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    rv::TMemoryStream m;
    Fill(m, data).SetPosition(100);
    EXPECT_EQ(rv::CCITT_CRC32OfStream(m, 40000), rv::Crc32OfBuffer(data.data() + 100, 40000));
    EXPECT_EQ(m.Position(), 40100);
    m.SetPosition(3);
    EXPECT_EQ(rv::CCITT_CRC16OfStream(m, 65535 - 20000), rv::Crc16UsbOfBuffer(data.data() + 3, 65535 - 20000));
}

TEST(CheckValues, PrematureEndAndRange) {
    rv::TMemoryStream m;
    Fill(m, "abc");
    // The 32-bit helper stops quietly at the end.
    EXPECT_EQ(rv::CCITT_CRC32OfStream(m, 10), rv::Crc32OfBuffer("abc", 3));
    m.SetPosition(0);
    EXPECT_EQ(ErrorText([&] { rv::CCITT_CRC16OfStream(m, 4); }), "CCITT_CRC16OfStream premature end of stream");
    m.SetPosition(0);
    EXPECT_THROW(rv::CCITT_CRC16OfStream(m, 65536), rv::ERV_RangeError);
}

TEST(NestedStream, AWindowOfTheSource) {
    rv::TMemoryStream src;
    Fill(src, "0123456789").SetPosition(2);
    rv::TRV_NestedStreamReadOnly w(src, 5);
    EXPECT_EQ(w.Size(), 5);
    char buf[10] = {};
    EXPECT_EQ(w.Read(buf, 10), 5);
    EXPECT_EQ(std::string(buf, 5), "23456");
    EXPECT_EQ(src.Position(), 7);
    EXPECT_EQ(w.Read(buf, 1), 0);
    EXPECT_EQ(w.Seek(1, rv::TSeekOrigin::soBeginning), 1);
    EXPECT_EQ(w.Read(buf, 2), 2);
    EXPECT_EQ(std::string(buf, 2), "34");
    EXPECT_EQ(w.Seek(100, rv::TSeekOrigin::soCurrent), 5); // stays inside the window
    EXPECT_EQ(ErrorText([&] { w.Write("x", 1); }), "TRV_NestedStreamReadOnly.Write unsupported");

    // A window is cut to what the source holds, and can be laid again.
    src.SetPosition(8);
    w.SetSource(src, 100);
    EXPECT_EQ(w.Size(), 2);
}

TEST(SizeFields, DeferredSizesNestSixDeep) {
    rv::TMemoryStream m;
    rv::TRV_SizeFieldStack sizes(m);
    for (int i = 0; i < 5; ++i) sizes.StreamWriteUnknownSize();
    sizes.StreamWriteUnknownSizeWord();
    EXPECT_THROW(sizes.StreamWriteUnknownSize(), rv::ERV_RangeError);
    m.WriteBuffer("ab", 2);
    sizes.StreamWriteSizeWord();
    for (int i = 0; i < 5; ++i) sizes.StreamWriteSize();
    EXPECT_EQ(BytesOf(m), Hex("14 00 00 00 10 00 00 00 0c 00 00 00 08 00 00 00 04 00 00 00 02 00 61 62"));
    EXPECT_EQ(m.Position(), m.Size());
}

TEST(SizeFields, WordSizeLimit) {
    rv::TMemoryStream m;
    rv::TRV_SizeFieldStack sizes(m);
    sizes.StreamWriteUnknownSizeWord();
    std::vector<uint8_t> block(65535, 1);
    m.WriteBuffer(block.data(), 65535);
    EXPECT_NO_THROW(sizes.StreamWriteSizeWord());
    EXPECT_EQ(rv::GetLE<uint16_t>(m.Memory()), 0xFFFF);
    sizes.StreamWriteUnknownSizeWord();
    m.WriteBuffer(block.data(), 65535);
    m.WriteBuffer(block.data(), 1);
    EXPECT_EQ(ErrorText([&] { sizes.StreamWriteSizeWord(); }), "RV_Stream: Stream data size exceeded word size");
}

TEST(StringHelpers, ListsAndZeroTerminatedStrings) {
    rv::TMemoryStream m;
    rv::SaveTStringsToStream({"a", "", "bc"}, m);
    EXPECT_EQ(BytesOf(m), Hex("61 00 00 62 63 00"));
    rv::TStrings out;
    rv::LoadTStringsFromStream(m, out);
    EXPECT_EQ(out, (rv::TStrings{"a", "", "bc"}));
    // The payload's end ends a last string that lacks its 0 byte.
    rv::SplitTStringsPayload("x\0yz", 4, out);
    EXPECT_EQ(out, (rv::TStrings{"x", "yz"}));

    std::string s;
    Fill(m, std::string(3000, 'w') + '\0' + "next");
    rv::ReadLongStringFromStream(m, s);
    EXPECT_EQ(s, std::string(3000, 'w'));
    EXPECT_EQ(m.Position(), 3001);
    Fill(m, "no terminator");
    rv::ReadLongStringFromStream(m, s);
    EXPECT_EQ(s, "");
}
