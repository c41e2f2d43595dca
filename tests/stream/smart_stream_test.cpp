#include "stream/smart_stream.h"

#include "stream/check_values.h"
#include "stream/little_endian.h"
#include "stream/stream_errors.h"
#include "tests/stream/test_records.h"

#include <gtest/gtest.h>

using namespace test_records;
using rv::TRV_Constructed;

namespace {

const Bytes kWorkedExampleShort = Hex("f1 1f 01 00 00 00 04 00 00 00 61 62 63 00");

// Declares 4 bytes but claims 5.
struct TBadRec {
    int32_t A = 0;
    static constexpr uint32_t RecordSize = 5;
    template <class F>
    void Fields(F& f) {
        f(A);
    }
};

TIntStr* MakeWorked(TRV_Constructed<TIntStr>& R) {
    R.V = 1;
    R.S = "abc";
    return &R;
}

} // namespace

TEST(SmartStream, WorkedExampleWithDefaultOptions) {
    TRV_Constructed<TIntStr> r;
    EXPECT_EQ(Written(*MakeWorked(r)), kWorkedExample);

    TRV_Constructed<TIntStr> back;
    EXPECT_TRUE(ReadFrom(back, kWorkedExample));
    EXPECT_EQ(back.V, 1);
    EXPECT_EQ(back.S, "abc");
}

TEST(SmartStream, WorkedExampleWithoutHeaderAndShortCheckValue) {
    TRV_Constructed<TIntStr> r;
    r.SetStreamHeader(false);
    r.SetShortStreamLengthCRC(true);
    EXPECT_EQ(Written(*MakeWorked(r)), kWorkedExampleShort);

    TRV_Constructed<TIntStr> back;
    back.SetStreamHeader(false);
    back.SetShortStreamLengthCRC(true);
    EXPECT_TRUE(ReadFrom(back, kWorkedExampleShort));
    EXPECT_EQ(back.V, 1);
    EXPECT_EQ(back.S, "abc");
}

TEST(SmartStream, RecordWithoutElementsWritesTheCheckValueOfItsHeader) {
    TRV_Constructed<TProbe> r([](TProbe&) {});
    EXPECT_EQ(Written(r), Hex("51 11 e1 9d 02 02"));
    EXPECT_EQ(rv::Crc32OfBuffer("\x02\x02", 2), 0x9DE11151u);
}

// One element per row, written without check value and header, then read into a second set of variables and
// written again: the bytes must be the same.
TEST(SmartStream, ElementEncodings) {
    struct TCase {
        const char* Name;
        std::function<void(TProbe&, TVars&)> Declare;
        std::function<void(TVars&)> Fill;
        Bytes Expected;
    };
    const std::vector<TCase> cases = {
        {"boolean", [](TProbe& p, TVars& v) { p.AddBoolean(v.Bool); }, [](TVars& v) { v.Bool = true; }, Hex("01")},
        {"byte", [](TProbe& p, TVars& v) { p.AddByte(v.Byte); }, [](TVars& v) { v.Byte = 0xAB; }, Hex("ab")},
        {"char", [](TProbe& p, TVars& v) { p.AddChar(v.Char); }, [](TVars& v) { v.Char = 'x'; }, Hex("78")},
        {"smallint", [](TProbe& p, TVars& v) { p.AddSmallInt(v.SmallInt); }, [](TVars& v) { v.SmallInt = -2; },
         Hex("fe ff")},
        {"word", [](TProbe& p, TVars& v) { p.AddWord(v.Word); }, [](TVars& v) { v.Word = 0x1234; }, Hex("34 12")},
        {"longint", [](TProbe& p, TVars& v) { p.AddLongInt(v.LongInt); }, [](TVars& v) { v.LongInt = -1; },
         Hex("ff ff ff ff")},
        {"integer", [](TProbe& p, TVars& v) { p.AddInteger(v.Integer); }, [](TVars& v) { v.Integer = 0x01020304; },
         Hex("04 03 02 01")},
        {"longword", [](TProbe& p, TVars& v) { p.AddLongWord(v.LongWord); },
         [](TVars& v) { v.LongWord = 0xA1B2C3D4; }, Hex("d4 c3 b2 a1")},
        {"int64", [](TProbe& p, TVars& v) { p.AddInt64(v.Int64); }, [](TVars& v) { v.Int64 = 0x0102030405060708; },
         Hex("08 07 06 05 04 03 02 01")},
        {"single", [](TProbe& p, TVars& v) { p.AddSingle(v.Single); }, [](TVars& v) { v.Single = 1.0f; },
         Hex("00 00 80 3f")},
        {"double", [](TProbe& p, TVars& v) { p.AddDouble(v.Double); }, [](TVars& v) { v.Double = 1.0; },
         Hex("00 00 00 00 00 00 f0 3f")},
        {"extended", [](TProbe& p, TVars& v) { p.AddExtended(v.Extended); },
         [](TVars& v) { v.Extended = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}; }, Hex("01 02 03 04 05 06 07 08 09 0a")},
        {"stream type", [](TProbe& p, TVars&) { p.AddStreamType(); }, nullptr, Hex("00 00")},
        {"fixed block", [](TProbe& p, TVars& v) { p.AddDataOfFixedSize(v.Fixed, 3); },
         [](TVars& v) { v.Fixed[0] = 'a', v.Fixed[1] = 'b', v.Fixed[2] = 'c'; }, Hex("61 62 63")},
        {"marker", [](TProbe& p, TVars&) { p.AddInsertedItemsMarker(0x11223344, 0); }, nullptr,
         Hex("5a a0 05 ff 44 33 22 11")},
        {"empty string", [](TProbe& p, TVars& v) { p.AddLongString(v.Long); }, nullptr, Hex("01 00 00 00 00")},
        {"string", [](TProbe& p, TVars& v) { p.AddLongString(v.Long); }, [](TVars& v) { v.Long = "ab"; },
         Hex("03 00 00 00 61 62 00")},
        {"short string", [](TProbe& p, TVars& v) { p.AddShortString(v.Short, 10); }, [](TVars& v) { v.Short = "ab"; },
         Hex("03 00 00 00 02 61 62")},
        {"empty list", [](TProbe& p, TVars& v) { p.AddTStrings(v.Strings); }, nullptr, Hex("00 00 00 00")},
        {"list of one empty string", [](TProbe& p, TVars& v) { p.AddTStrings(v.Strings); },
         [](TVars& v) { v.Strings = {""}; }, Hex("01 00 00 00 00")},
        {"list", [](TProbe& p, TVars& v) { p.AddTStrings(v.Strings); }, [](TVars& v) { v.Strings = {"a", "bc"}; },
         Hex("05 00 00 00 61 00 62 63 00")},
        {"empty compressed list", [](TProbe& p, TVars& v) { p.AddCompressedTStrings(v.CompressedStrings); }, nullptr,
         Hex("00 00 00 00")},
        {"record struct", [](TProbe& p, TVars& v) { p.AddRecord(v.Rec); },
         [](TVars& v) { v.Rec = {-2, 0x0102, true, {7, 8, 9}, TColour::Green}; },
         Hex("0b 00 00 00 fe ff ff ff 02 01 01 07 08 09 02")},
        {"plain record", [](TProbe& p, TVars& v) { p.AddRecord(v.RawRec, 2); },
         [](TVars& v) { v.RawRec[0] = 5, v.RawRec[1] = 6; }, Hex("02 00 00 00 05 06")},
        {"stream", [](TProbe& p, TVars& v) { p.AddStream(v.Stream); }, [](TVars& v) { SetText(v.Stream, "xyz"); },
         Hex("03 00 00 00 78 79 7a")},
        {"bit array", [](TProbe& p, TVars& v) { p.AddBoolArray(v.Bits); },
         [](TVars& v) { v.Bits = {true, false, true, true, false, false, false, false, true}; },
         Hex("06 00 00 00 09 00 00 00 0d 01")},
        {"data block", [](TProbe& p, TVars& v) { p.AddDataBlock(v.Block); }, [](TVars& v) { v.Block = {1, 2}; },
         Hex("02 00 00 00 01 02")},
        {"empty data block", [](TProbe& p, TVars& v) { p.AddDataBlock(v.Block); }, nullptr, Hex("00 00 00 00")},
        {"private sub-stream", [](TProbe& p, TVars& v) { p.AddPrivateSubStream(v.Private); },
         [](TVars& v) { v.Private.Text = "pq"; }, Hex("02 00 00 00 70 71")},
        // With neither check value nor header in the outer record, the nested record carries its own.
        {"nested record", [](TProbe& p, TVars& v) { p.AddSmartStream(v.Nested); },
         [](TVars& v) { v.Nested.V = 1, v.Nested.S = "abc"; },
         Concat({Hex("12 00 00 00"), kWorkedExample})},
        {"empty record list", [](TProbe& p, TVars& v) { p.AddSmartStreamList(v.List); }, nullptr,
         Hex("04 00 00 00 00 00 00 00")},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TVars src, dst;
        TRV_Constructed<TProbe> w([&](TProbe& p) { c.Declare(p, src); }, false, false);
        TRV_Constructed<TProbe> r([&](TProbe& p) { c.Declare(p, dst); }, false, false);
        if (c.Fill) c.Fill(src);
        Bytes bytes = Written(w);
        EXPECT_EQ(bytes, c.Expected);
        EXPECT_TRUE(ReadFrom(r, bytes));
        EXPECT_EQ(Written(r), bytes);
    }
}

TEST(SmartStream, EveryKindSurvivesARoundTrip) {
    TVars src, dst;
    TRV_Constructed<TProbe> w([&](TProbe& p) { TProbe::DeclareAll(p, src); });
    TRV_Constructed<TProbe> r([&](TProbe& p) { TProbe::DeclareAll(p, dst); });
    TProbe::FillAll(w, src);
    rv::TMemoryStream m;
    w.SaveToStream(m);
    m.SetPosition(0);
    r.LoadFromStream(m);
    EXPECT_EQ(m.Position(), m.Size());

    EXPECT_TRUE(r.Compare(w));
    EXPECT_TRUE(dst.Bool);
    EXPECT_EQ(dst.Comp, src.Comp);
    EXPECT_EQ(dst.Double, -2.25);
    EXPECT_EQ(dst.Digest, src.Digest);
    EXPECT_EQ(r.MultiStreamType(), 0x0203);
    EXPECT_EQ(AsText(dst.CompressedStream), AsText(src.CompressedStream));
    EXPECT_EQ(dst.Ptr->S, "pointed");
    ASSERT_EQ(dst.List.Count(), 3);
    EXPECT_EQ(dst.List.Item(2)->S, "item2");
    EXPECT_EQ(dst.Private.Text, "private");
    EXPECT_EQ(dst.Long, src.Long);
    EXPECT_EQ(dst.Strings, src.Strings);
    EXPECT_EQ(dst.CompressedStrings, src.CompressedStrings);
    EXPECT_EQ(dst.Bits, src.Bits);
    EXPECT_EQ(dst.Rec.E, TColour::Green);
    EXPECT_EQ(dst.AfterMarker, 99);
}

TEST(SmartStream, AssignNilGivesEveryKindItsNullValueAndClearAppliesTheDefaults) {
    TVars v;
    TRV_Constructed<TProbe> p([&](TProbe& q) { TProbe::DeclareAll(q, v); });
    TProbe::FillAll(p, v);
    p.Assign(nullptr);
    EXPECT_FALSE(v.Bool);
    EXPECT_EQ(v.Comp, 0);
    EXPECT_EQ(v.Single, 0.0f);
    EXPECT_EQ(v.Extended, rv::TExtended80{});
    EXPECT_EQ(v.Word, 0);
    EXPECT_EQ(p.MultiStreamType(), 0);
    EXPECT_EQ(v.Stream.Size(), 0);
    EXPECT_EQ(v.CompressedStream.Size(), 0);
    EXPECT_EQ(v.Nested.V, 0);
    EXPECT_EQ(v.Nested.S, "");
    EXPECT_EQ(v.Ptr->S, "");
    EXPECT_EQ(v.List.Count(), 0);
    EXPECT_EQ(v.Short, "");
    EXPECT_EQ(v.Long, "");
    EXPECT_TRUE(v.Strings.empty());
    EXPECT_TRUE(v.CompressedStrings.empty());
    EXPECT_TRUE(v.Bits.empty());
    EXPECT_TRUE(v.Block.empty());
    EXPECT_EQ(v.Rec.A, 0);
    EXPECT_EQ(v.Rec.E, TColour{0});
    EXPECT_EQ(v.AfterMarker, 0);

    TRV_Constructed<TWithDefaults> d;
    d.Port = 1;
    d.Name = "x";
    d.Lines = {"a"};
    d.Inner.V = 5;
    d.Assign(nullptr);
    EXPECT_EQ(d.Port, 0);
    EXPECT_EQ(d.Name, "");
    EXPECT_TRUE(d.Lines.empty());
    EXPECT_EQ(d.Inner.V, 0);
    d.Clear();
    EXPECT_EQ(d.Port, 8500);
    EXPECT_EQ(d.Name, "New player");
    EXPECT_EQ(d.Inner.V, 77);
}

TEST(SmartStream, ConstructionAppliesTheDefaultsAfterTheNestedRecordsOwn) {
    TRV_Constructed<TWithDefaults> d;
    EXPECT_EQ(d.Port, 8500);
    EXPECT_EQ(d.Inner.V, 77);
    auto p = rv::MakeSmartStream<TWithDefaults>();
    EXPECT_EQ(p->Name, "New player");
    EXPECT_EQ(p->NumItems(), 4u);
}

TEST(SmartStream, ReadingAnEmptyStreamOrAtItsEndGivesNullValuesAndTrue) {
    TRV_Constructed<TWithDefaults> d;
    EXPECT_TRUE(ReadFrom(d, {}));
    EXPECT_EQ(d.Port, 0);
    EXPECT_EQ(d.Name, "");

    TRV_Constructed<TIntStr> r;
    rv::TMemoryStream m;
    m.WriteBuffer(kWorkedExample.data(), static_cast<int64_t>(kWorkedExample.size()));
    m.SetPosition(0);
    ASSERT_TRUE(r.ReadFromStream(m));
    EXPECT_EQ(r.V, 1);
    EXPECT_TRUE(r.ReadFromStream(m)); // at the end now
    EXPECT_EQ(r.V, 0);
    EXPECT_EQ(r.S, "");
}

TEST(SmartStream, StreamEndingInsideAnElementNullsItAndEveryLaterOne) {
    int32_t a = 0, b = 0, c = 0;
    std::string s;
    TRV_Constructed<TProbe> p(
        [&](TProbe& q) {
            q.AddLongInt(a);
            q.AddLongInt(b);
            q.AddLongString(s);
            q.AddLongInt(c);
        },
        false, false);
    b = c = 9;
    s = "x";
    // A complete, B cut after two bytes; the string would follow.
    EXPECT_TRUE(ReadFrom(p, Hex("01 00 00 00 02 00")));
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(s, "");
    EXPECT_EQ(c, 0);
    // A string element cut inside its payload: its count runs past the data, so the stream is damaged.
    b = c = 9;
    EXPECT_FALSE(ReadFrom(p, Hex("01 00 00 00 02 00 00 00 05 00 00 00 61 62")));
    EXPECT_EQ(b, 2);
    EXPECT_EQ(s, "");
    EXPECT_EQ(c, 0);
}

namespace {

// Elements of every kind that carries a length or a count, then a last integer. With the values below the
// default framing gives 81 bytes; the offsets in the table are into those bytes.
struct TLengthVars {
    int32_t A = 7;
    std::string S = "abc";
    std::vector<uint8_t> Block{1, 2, 3};
    std::string Short = "hi";
    std::vector<bool> Bits{true, false, true, false, true};
    TRV_Constructed<TIntStr> Nested;
    TRV_Constructed<TIntStrList> List;
    int32_t Z = 9;
    void Declare(TProbe& P) {
        P.AddLongInt(A);             // 6
        P.AddLongString(S);          // count at 10, "abc" 0 at 14
        P.AddDataBlock(Block);       // count at 18, bytes at 22
        P.AddShortString(Short, 10); // count at 25, length byte at 29
        P.AddBoolArray(Bits);        // count at 32, bit count at 36, bits at 40
        P.AddSmartStream(Nested);    // size at 41: V at 45, S's count at 49, "x" 0 at 53
        P.AddSmartStreamList(List);  // size at 55, entry count at 59, entry size at 63: V at 67, S's count at 71
        P.AddLongInt(Z);             // 77
    }
};

Bytes LengthRecord() {
    TLengthVars v;
    v.Nested.V = 1;
    v.Nested.S.assign(1, 'x'); // (assigning a literal here trips a false -Wrestrict of mingw's GCC 12)
    auto item = rv::MakeSmartStream<TIntStr>();
    item->V = 2;
    item->S.assign(1, 'y');
    v.List.Add(std::move(item));
    TRV_Constructed<TProbe> w([&](TProbe& q) { v.Declare(q); });
    return Written(w);
}

// Data with Patch written at Offset and the check value computed again as the writer does, so that only the
// lengths can tell.
Bytes Patched(Bytes Data, size_t Offset, const Bytes& Patch) {
    std::copy(Patch.begin(), Patch.end(), Data.begin() + static_cast<ptrdiff_t>(Offset));
    rv::PutLE<uint32_t>(Data.data(), rv::Crc32OfBuffer(Data.data() + 4, Data.size() - 4));
    return Data;
}

} // namespace

TEST(SmartStream, LengthRunningPastItsDataIsDamageDespiteAGoodCheckValue) {
    const Bytes good = LengthRecord();
    ASSERT_EQ(good.size(), 81u);
    // The layout the offsets rely on.
    ASSERT_EQ(Bytes(good.begin() + 10, good.begin() + 18), Hex("04 00 00 00 61 62 63 00"));
    ASSERT_EQ(Bytes(good.begin() + 55, good.begin() + 67), Hex("12 00 00 00 01 00 00 00 0a 00 00 00"));
    ASSERT_EQ(Bytes(good.begin() + 77, good.end()), Hex("09 00 00 00"));
    {
        TLengthVars v;
        TRV_Constructed<TProbe> r([&](TProbe& q) { v.Declare(q); });
        ASSERT_TRUE(ReadFrom(r, good));
        ASSERT_EQ(v.Z, 9);
    }

    struct TCase {
        const char* What;
        size_t Offset;
        const char* Patch;
    };
    const TCase cases[] = {
        {"string length 0xFFFFFFFF", 10, "ff ff ff ff"},
        {"string length one past the record's end", 10, "44 00 00 00"},
        {"byte block one past the record's end", 18, "3c 00 00 00"},
        {"short string's length byte past its element", 29, "03"},
        {"bit count past its element's bits", 36, "09 00 00 00"},
        {"bit array shorter than its bit count field", 32, "02 00 00 00"},
        {"nested record's size 0xFFFFFFFF", 41, "ff ff ff ff"},
        {"string inside the nested record one past its end", 49, "03 00 00 00"},
        {"list's size one past the record's end", 55, "17 00 00 00"},
        {"list entry count past the entries present", 59, "02 00 00 00"},
        {"list entry's size past the list", 63, "0b 00 00 00"},
        {"string inside a list entry 0xFFFFFFFF", 71, "ff ff ff ff"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.What);
        TLengthVars v;
        TRV_Constructed<TProbe> r([&](TProbe& q) { v.Declare(q); });
        EXPECT_FALSE(ReadFrom(r, Patched(good, c.Offset, Hex(c.Patch))));
    }

    // A length or count that runs past the end leaves nothing later to be read as if it were whole.
    TLengthVars v;
    TRV_Constructed<TProbe> r([&](TProbe& q) { v.Declare(q); });
    EXPECT_FALSE(ReadFrom(r, Patched(good, 10, Hex("ff ff ff ff"))));
    EXPECT_EQ(v.A, 7);
    EXPECT_EQ(v.S, "");
    EXPECT_TRUE(v.Block.empty());
    EXPECT_EQ(v.List.Count(), 0);
    EXPECT_EQ(v.Z, 0);
}

TEST(SmartStream, LengthsThatExactlyFitOrAreZeroAreValid) {
    const Bytes good = LengthRecord();
    // The block takes every byte left: a record ending with it, the later elements null.
    {
        TLengthVars v;
        TRV_Constructed<TProbe> r([&](TProbe& q) { v.Declare(q); });
        EXPECT_TRUE(ReadFrom(r, Patched(good, 18, Hex("3b 00 00 00"))));
        ASSERT_EQ(v.Block.size(), 59u);
        EXPECT_EQ(v.Block.back(), 0);
        EXPECT_EQ(v.Z, 0);
    }
    // A short string's length byte and a bit count that use their element's last byte.
    {
        TLengthVars v;
        TRV_Constructed<TProbe> r([&](TProbe& q) { v.Declare(q); });
        Bytes data = Patched(good, 36, Hex("08 00 00 00"));
        EXPECT_TRUE(ReadFrom(r, data));
        EXPECT_EQ(v.Bits.size(), 8u);
        EXPECT_EQ(v.Short, "hi");
        EXPECT_EQ(v.Z, 9);
    }
    // Zero-length elements of every kind, also a list element of no bytes, which the writer never makes.
    std::string s = "x", sh = "y";
    std::vector<uint8_t> block{1};
    std::vector<bool> bits{true};
    TRV_Constructed<TIntStr> nested;
    TRV_Constructed<TIntStrList> list;
    list.Add(rv::MakeSmartStream<TIntStr>());
    int32_t z = 0;
    TRV_Constructed<TProbe> r([&](TProbe& q) {
        q.AddLongString(s);
        q.AddShortString(sh, 5);
        q.AddDataBlock(block);
        q.AddBoolArray(bits);
        q.AddSmartStream(nested);
        q.AddSmartStreamList(list);
        q.AddLongInt(z);
    });
    Bytes body(4 * 6, 0);
    body.insert(body.end(), {0x2a, 0, 0, 0});
    Bytes data = Concat({Hex("00 00 00 00 02 02"), body});
    EXPECT_TRUE(ReadFrom(r, Patched(data, 0, {})));
    EXPECT_EQ(s, "");
    EXPECT_EQ(sh, "");
    EXPECT_TRUE(block.empty());
    EXPECT_TRUE(bits.empty());
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(z, 42);
}

TEST(SmartStream, FlippingAnyByteFailsTheReadAndLeavesEveryElementNull) {
    for (size_t i = 0; i < kWorkedExample.size(); ++i) {
        SCOPED_TRACE(i);
        Bytes damaged = kWorkedExample;
        damaged[i] ^= 0x01;
        TRV_Constructed<TIntStr> r;
        r.V = 5;
        r.S = "keep?";
        EXPECT_FALSE(ReadFrom(r, damaged));
        EXPECT_EQ(r.V, 0);
        EXPECT_EQ(r.S, "");
    }
    // The short check value catches them too.
    for (size_t i = 0; i < kWorkedExampleShort.size(); ++i) {
        Bytes damaged = kWorkedExampleShort;
        damaged[i] ^= 0x80;
        TRV_Constructed<TIntStr> r;
        r.SetStreamHeader(false);
        r.SetShortStreamLengthCRC(true);
        EXPECT_FALSE(ReadFrom(r, damaged)) << i;
    }
}

TEST(SmartStream, TooShortForCheckValueOrHeaderFails) {
    for (const Bytes& data : {Hex("f8 fd 7f"), Hex("51 11 e1 9d 02")}) {
        TRV_Constructed<TIntStr> r;
        r.V = 3;
        EXPECT_FALSE(ReadFrom(r, data));
        EXPECT_EQ(r.V, 0);
    }
}

TEST(SmartStream, LongStringsOfAThousandCharactersAndMoreAndTheElementAfterThem) {
    for (size_t len : {1023u, 1024u, 1025u, 5000u}) {
        SCOPED_TRACE(len);
        std::string s(len, 'k'), s2;
        int32_t after = 0, after2 = 0;
        s[len / 2] = 'm';
        TRV_Constructed<TProbe> w([&](TProbe& q) { q.AddLongString(s), q.AddLongInt(after); });
        TRV_Constructed<TProbe> r([&](TProbe& q) { q.AddLongString(s2), q.AddLongInt(after2); });
        after = 31337;
        EXPECT_TRUE(ReadFrom(r, Written(w)));
        EXPECT_EQ(s2, s);
        EXPECT_EQ(after2, 31337);
    }
}

TEST(SmartStream, StringWithAnEmbeddedZeroKeepsTheNextElementInPlace) {
    std::string s = std::string("ab\0cd", 5), s2;
    int32_t after = 7, after2 = 0;
    TRV_Constructed<TProbe> w([&](TProbe& q) { q.AddLongString(s), q.AddLongInt(after); });
    TRV_Constructed<TProbe> r([&](TProbe& q) { q.AddLongString(s2), q.AddLongInt(after2); });
    EXPECT_TRUE(ReadFrom(r, Written(w)));
    EXPECT_EQ(s2, "ab");
    EXPECT_EQ(after2, 7);
}

TEST(SmartStream, PlainRecordsToleratesSizeChanges) {
    uint8_t stored[16];
    for (int i = 0; i < 16; ++i) stored[i] = static_cast<uint8_t>(i + 1);
    for (uint32_t storedSize : {8u, 16u}) {
        SCOPED_TRACE(storedSize);
        int32_t after = 4242, after2 = 0;
        uint8_t var[12];
        std::memset(var, 0xEE, sizeof var);
        TRV_Constructed<TProbe> w([&](TProbe& q) { q.AddRecord(stored, storedSize), q.AddLongInt(after); });
        TRV_Constructed<TProbe> r([&](TProbe& q) { q.AddRecord(var, 12), q.AddLongInt(after2); });
        EXPECT_TRUE(ReadFrom(r, Written(w)));
        for (uint32_t i = 0; i < 12; ++i) EXPECT_EQ(var[i], i < storedSize ? i + 1 : 0) << i;
        EXPECT_EQ(after2, 4242);
    }
}

TEST(SmartStream, ShortStringLongerThanTheVariableIsCut) {
    std::string s = "abcdefgh", s2 = "old";
    TRV_Constructed<TProbe> w([&](TProbe& q) { q.AddShortString(s, 20); });
    TRV_Constructed<TProbe> r([&](TProbe& q) { q.AddShortString(s2, 4); });
    EXPECT_TRUE(ReadFrom(r, Written(w)));
    EXPECT_EQ(s2, "abcd");
}

TEST(SmartStream, ElementsAddedAtTheEndTakeNullValuesFromAnOldStream) {
    int32_t v = 0, added = 5;
    std::string s;
    rv::TStrings lines = {"x"};
    TRV_Constructed<TProbe> r([&](TProbe& q) {
        q.AddLongInt(v);
        q.AddLongString(s);
        q.AddLongInt(added);
        q.AddTStrings(lines);
    });
    EXPECT_TRUE(ReadFrom(r, kWorkedExample));
    EXPECT_EQ(v, 1);
    EXPECT_EQ(s, "abc");
    EXPECT_EQ(added, 0);
    EXPECT_TRUE(lines.empty());
}

TEST(SmartStream, OldDeclarationReadsANewerStreamAndSkipsItsExtraBytesWithASizeField) {
    // Two newer records back to back, each with a size field and one extra element.
    int32_t v = 0, extra = 0;
    std::string s;
    TRV_Constructed<TProbe> newer([&](TProbe& q) { q.AddLongInt(v), q.AddLongString(s), q.AddLongInt(extra); });
    newer.SetWriteStreamSize(true);
    rv::TMemoryStream m;
    v = 1, s = "first", extra = 100;
    newer.SaveToStream(m);
    v = 2, s = "second", extra = 200;
    newer.SaveToStream(m);
    m.SetPosition(0);

    TRV_Constructed<TIntStr> old;
    old.SetReadStreamSize(true);
    old.LoadFromStream(m);
    EXPECT_EQ(old.V, 1);
    EXPECT_EQ(old.S, "first");
    old.LoadFromStream(m);
    EXPECT_EQ(old.V, 2);
    EXPECT_EQ(old.S, "second");
    EXPECT_EQ(m.Position(), m.Size());
}

TEST(SmartStream, SizeFieldsOnTheWire) {
    TRV_Constructed<TIntStr> r;
    MakeWorked(r);
    r.SetWriteStreamSize(true);
    EXPECT_EQ(Written(r), Concat({Hex("12 00 00 00"), kWorkedExample}));
    r.SetShortStreamLengthCRC(true);
    r.SetStreamHeader(false);
    EXPECT_EQ(Written(r), Concat({Hex("0e 00"), kWorkedExampleShort}));

    // A size field that announces more than the stream holds is cut to what is there, for both check values.
    TRV_Constructed<TIntStr> back;
    back.SetReadStreamSize(true);
    EXPECT_TRUE(ReadFrom(back, Concat({Hex("40 00 00 00"), kWorkedExample})));
    EXPECT_EQ(back.S, "abc");
    back.SetShortStreamLengthCRC(true);
    back.SetStreamHeader(false);
    EXPECT_TRUE(ReadFrom(back, Concat({Hex("40 00"), kWorkedExampleShort})));
    EXPECT_EQ(back.S, "abc");
    // A stream too short for its size field fails.
    EXPECT_FALSE(ReadFrom(back, Hex("12")));
    EXPECT_EQ(back.S, "");
}

TEST(SmartStream, ShortCheckValueCoversAtMost65535Bytes) {
    std::vector<uint8_t> block;
    TRV_Constructed<TProbe> p([&](TProbe& q) { q.AddDataBlock(block); }, true, false);
    p.SetShortStreamLengthCRC(true);
    block.assign(65535 - 4, 0x5A); // the block's count field takes 4 bytes
    Bytes ok = Written(p);
    EXPECT_EQ(ok.size(), 2u + 65535u);
    std::vector<uint8_t> back;
    TRV_Constructed<TProbe> r([&](TProbe& q) { q.AddDataBlock(back); }, true, false);
    r.SetShortStreamLengthCRC(true);
    EXPECT_TRUE(ReadFrom(r, ok));
    EXPECT_EQ(back, block);

    block.push_back(0);
    rv::TMemoryStream m;
    EXPECT_THROW(p.WriteToStream(m), rv::ERV_RangeError);
    ok.push_back(0); // a record that announces one byte more
    EXPECT_THROW(ReadFrom(r, ok), rv::ERV_RangeError);
}

TEST(SmartStream, ShortSizeFieldOver65535RaisesTheWordSizeError) {
    std::vector<uint8_t> block(65535 - 4);
    TRV_Constructed<TProbe> p([&](TProbe& q) { q.AddDataBlock(block); }, false, false);
    p.SetShortStreamLengthCRC(true);
    p.SetWriteStreamSize(true);
    EXPECT_EQ(Written(p).size(), 2u + 65535u);
    block.push_back(1);
    rv::TMemoryStream m;
    try {
        p.WriteToStream(m);
        FAIL() << "no error";
    } catch (const rv::EStreamError& e) {
        EXPECT_STREQ(e.what(), "RV_Stream: Stream data size exceeded word size");
    }
}

TEST(SmartStream, SaveAndLoadRaiseTheirFixedTexts) {
    TRV_Constructed<TIntStr> r;
    Bytes damaged = kWorkedExample;
    damaged.back() ^= 1;
    rv::TMemoryStream m;
    m.WriteBuffer(damaged.data(), static_cast<int64_t>(damaged.size()));
    m.SetPosition(0);
    try {
        r.LoadFromStream(m);
        FAIL() << "no error";
    } catch (const rv::EStreamError& e) {
        EXPECT_STREQ(e.what(), "TRV_SmartStream read from stream error");
    }

    TTextSubStream sub;
    sub.Fail = true;
    TRV_Constructed<TProbe> p([&](TProbe& q) { q.AddPrivateSubStream(sub); });
    try {
        p.SaveToStream(m);
        FAIL() << "no error";
    } catch (const rv::EStreamError& e) {
        EXPECT_STREQ(e.what(), "TRV_SmartStream write to stream error");
    }
    // The object stays usable.
    sub.Fail = false;
    EXPECT_NO_THROW(p.SaveToStream(m));
}

TEST(SmartStream, InsertedItemsMarker) {
    // Version 2 inserted B and C behind a marker between A and D.
    int32_t a = 0, b = 0, c = 0, d = 0;
    auto v2 = [&](TProbe& q) {
        q.AddLongInt(a);
        q.AddInsertedItemsMarker(0x0BADCAFE, 2);
        q.AddLongInt(b);
        q.AddLongInt(c);
        q.AddLongInt(d);
    };
    TRV_Constructed<TProbe> r(v2, false, false);
    b = c = 5;
    EXPECT_TRUE(ReadFrom(r, Hex("01 00 00 00 04 00 00 00"))); // version 1: A, D
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(c, 0);
    EXPECT_EQ(d, 4);

    Bytes current = Hex("01 00 00 00 5a a0 05 ff fe ca ad 0b 02 00 00 00 03 00 00 00 04 00 00 00");
    a = 1, b = 2, c = 3, d = 4;
    EXPECT_EQ(Written(r), current);
    a = b = c = d = 0;
    EXPECT_TRUE(ReadFrom(r, current));
    EXPECT_EQ(b, 2);
    EXPECT_EQ(d, 4);

    // Another marker's value is not this marker.
    Bytes other = current;
    other[8] ^= 1;
    EXPECT_TRUE(ReadFrom(r, other));
    EXPECT_EQ(b, 0);
    EXPECT_EQ(c, 0);
    EXPECT_NE(d, 4); // the other marker's bytes are read as D
}

TEST(SmartStream, CompatibilityVersionTravelsInTheHeader) {
    TRV_Constructed<TIntStr> w;
    MakeWorked(w);
    w.SetCompatibilityVersion(5);
    Bytes bytes = Written(w);
    EXPECT_EQ(bytes[4], 2);
    EXPECT_EQ(bytes[5], 5 * 8 + 2);
    TRV_Constructed<TIntStr> r;
    EXPECT_TRUE(ReadFrom(r, bytes));
    EXPECT_EQ(r.CompatibilityVersion(), 5);
    EXPECT_EQ(r.S, "abc");
}

// With the default options nested records carry no check value and no header of their own (generation 2).
TEST(SmartStream, NestedRecordsUnderDefaultOptions) {
    TRV_Constructed<TWithDefaults> w;
    w.Port = 1;
    w.Name = "n";
    w.Lines = {};
    w.Inner.V = 2;
    w.Inner.S = "i";
    Bytes body = Hex("01 00 00 00  02 00 00 00 6e 00  00 00 00 00  0a 00 00 00 02 00 00 00 02 00 00 00 69 00");
    Bytes expected = Concat({Hex("00 00 00 00 02 02"), body});
    uint32_t crc = rv::Crc32OfBuffer(expected.data() + 4, expected.size() - 4);
    rv::PutLE<uint32_t>(expected.data(), crc);
    EXPECT_EQ(Written(w), expected);

    TRV_Constructed<TWithDefaults> r;
    EXPECT_TRUE(ReadFrom(r, expected));
    EXPECT_EQ(r.Inner.V, 2);
    EXPECT_EQ(r.Inner.S, "i");
    EXPECT_TRUE(r.Inner.SubStreamingWriteCrcAndHeaderEnabled); // restored after the nested read
}

// Streams of generations 0 and 1 carried nested records with their own check value and header.
TEST(SmartStream, OlderGenerationsNestRecordsWithTheirOwnCheckValueAndHeader) {
    for (uint8_t generation : {0, 1}) {
        SCOPED_TRACE(static_cast<int>(generation));
        Bytes nested = kWorkedExample; // V = 1, S = "abc", with check value and header
        Bytes body = Concat({Hex("02"), {generation}, Hex("2a 00 00 00  02 00 00 00 6e 00  00 00 00 00  12 00 00 00"),
                             nested});
        Bytes stream = Concat({Hex("00 00 00 00"), body});
        rv::PutLE<uint32_t>(stream.data(), rv::Crc32OfBuffer(body.data(), body.size()));
        TRV_Constructed<TWithDefaults> r;
        EXPECT_TRUE(ReadFrom(r, stream));
        EXPECT_EQ(r.Port, 42);
        EXPECT_EQ(r.Inner.V, 1);
        EXPECT_EQ(r.Inner.S, "abc");
    }
}

// Every option combination, nested records included, reads back what it wrote.
TEST(SmartStream, EveryOptionCombinationRoundTripsNestedRecords) {
    for (int bits = 0; bits < 16; ++bits) {
        const bool crc = bits & 1, header = bits & 2, shortCrc = bits & 4, size = bits & 8;
        SCOPED_TRACE(bits);
        auto setup = [&](rv::TRV_SmartStream& r) {
            r.SetStreamCRC(crc);
            r.SetStreamHeader(header);
            r.SetShortStreamLengthCRC(shortCrc);
            r.SetWriteStreamSize(size);
            r.SetReadStreamSize(size);
        };
        TRV_Constructed<TWithDefaults> w, r;
        setup(w);
        setup(r);
        w.Inner.V = 123;
        w.Inner.S = "deep";
        w.Lines = {"l1", "l2"};
        EXPECT_TRUE(ReadFrom(r, Written(w)));
        EXPECT_EQ(r.Inner.V, 123);
        EXPECT_EQ(r.Inner.S, "deep");
        EXPECT_EQ(r.Lines, w.Lines);
        EXPECT_EQ(r.Name, "New player");
    }
}

TEST(SmartStream, CompareAndAssign) {
    TRV_Constructed<TWithDefaults> a, b;
    EXPECT_TRUE(a.Compare(a));
    EXPECT_TRUE(a.Compare(b));
    b.Inner.S = "changed";
    EXPECT_FALSE(a.Compare(b));

    // Assign copies through the source's framing and leaves the target's options as they were.
    b.SetStreamHeader(false);
    b.SetShortStreamLengthCRC(true);
    b.SetWriteStreamSize(true);
    a.SetReadStreamSize(true);
    a.Assign(&b);
    EXPECT_EQ(a.Inner.S, "changed");
    EXPECT_TRUE(a.StreamHeader());
    EXPECT_FALSE(a.ShortStreamLengthCRC());
    EXPECT_TRUE(a.ReadStreamSize());
    EXPECT_TRUE(b.WriteStreamSize());
    a.SetReadStreamSize(false);
    b.SetStreamHeader(true);
    b.SetShortStreamLengthCRC(false);
    b.SetWriteStreamSize(false);
    EXPECT_TRUE(a.Compare(b));
}

TEST(SmartStream, EveryPrefixOfARecordReadsWithoutRaising) {
    TVars src;
    TRV_Constructed<TProbe> w([&](TProbe& p) { TProbe::DeclareAll(p, src); }, false, false);
    TProbe::FillAll(w, src);
    Bytes full = Written(w);
    for (size_t n = 0; n <= full.size(); n += (n < 300 ? 1 : 97)) {
        TVars dst;
        TRV_Constructed<TProbe> r([&](TProbe& p) { TProbe::DeclareAll(p, dst); }, false, false);
        // A prefix that ends inside a sized element fails (its count runs past the data); any other reads as a
        // shorter record. None raises.
        bool ok = false;
        EXPECT_NO_THROW(ok = ReadFrom(r, Bytes(full.begin(), full.begin() + static_cast<ptrdiff_t>(n)))) << n;
        if (n == 0 || n == full.size()) {
            EXPECT_TRUE(ok) << n;
        }
        if (n >= 1) {
            EXPECT_TRUE(dst.Bool);
        }
        if (n < full.size()) {
            EXPECT_EQ(dst.AfterMarker, 0) << n;
        }
    }
}

TEST(SmartStream, MisuseFailsLoudly) {
    TIntStr notConstructed;
    rv::TMemoryStream m;
    EXPECT_THROW(notConstructed.WriteToStream(m), std::logic_error);
    EXPECT_THROW(notConstructed.ReadFromStream(m), std::logic_error);

    int32_t x = 0;
    TRV_Constructed<TProbe> p([&](TProbe& q) { q.AddLongInt(x); });
    EXPECT_THROW(p.AddLongInt(x), std::logic_error); // only inside AssignElements
    EXPECT_EQ(p.NumItems(), 1u);

    TBadRec bad;
    TProbe q1([&](TProbe& q) { q.AddRecord(bad); });
    EXPECT_THROW(q1.AfterConstruction(), std::logic_error);
    TProbe q2([&](TProbe& q) { q.AddInsertedItemsMarker(1, 2), q.AddLongInt(x); });
    EXPECT_THROW(q2.AfterConstruction(), std::logic_error);
}

TEST(SmartStream, CancelledWriteLeavesNothingOfTheRecord) {
    int32_t a = 1, b = 2;
    TRV_Constructed<TProbe> p([&](TProbe& q) { q.AddLongInt(a), q.AddLongInt(b); });
    p.Progress().OnProgress = [](rv::TRV_Progress& pr) {
        if (pr.Position() == 1) pr.Terminate();
    };
    rv::TMemoryStream m;
    m.WriteBuffer("keep", 4);
    EXPECT_FALSE(p.WriteToStream(m));
    EXPECT_EQ(AsText(m), "keep");
}

TEST(SmartStream, WriteAndReadEvents) {
    TRV_Constructed<TIntStr> r;
    int writes = 0, reads = 0;
    r.OnWrite = [&](rv::TRV_SmartStream& s) { writes += &s == &r; };
    r.OnRead = [&](rv::TRV_SmartStream&) { ++reads; };
    Written(r);
    EXPECT_EQ(writes, 1);
    r.ReadFromStreamComplete(false);
    EXPECT_EQ(reads, 0);
    r.ReadFromStreamComplete(true);
    EXPECT_EQ(reads, 1);
}

namespace {

// The shape of the discovery datagram: a 17-byte record, two strings and a byte stream, without header and with
// the short check value.
struct TServices {
    uint8_t TransmissionType = 0;
    uint32_t SessionId = 0;
    uint16_t SpareW = 0, InfoReplyPort = 0;
    uint16_t Ports[4] = {};
    static constexpr uint32_t RecordSize = 17;
    template <class F>
    void Fields(F& f) {
        f(TransmissionType);
        f(SessionId);
        f(SpareW);
        f(InfoReplyPort);
        f(Ports);
    }
};

class TDatagramLike : public rv::TRV_SmartStream {
public:
    TServices sT;
    std::string UniqueId, Parameter;
    rv::TMemoryStream AppData;
    TDatagramLike() {
        SetStreamHeader(false);
        SetShortStreamLengthCRC(true);
    }

protected:
    void AssignElements() override {
        TRV_SmartStream::AssignElements();
        AddRecord(sT);
        AddLongString(UniqueId);
        AddLongString(Parameter);
        AddStream(AppData);
    }
};

} // namespace

TEST(SmartStream, OptionsSetInTheConstructorShapeTheDatagram) {
    TRV_Constructed<TDatagramLike> d;
    Bytes empty = Written(d);
    EXPECT_EQ(empty.size(), 37u);
    d.sT = {1, 0x11223344, 0, 53796, {53797, 0, 0, 0}};
    d.UniqueId = "GameDuke3d~Launcher~Bob";
    Bytes bytes = Written(d);
    EXPECT_EQ(rv::GetLE<uint16_t>(bytes.data()), rv::Crc16UsbOfBuffer(bytes.data() + 2, bytes.size() - 2));
    EXPECT_EQ(Bytes(bytes.begin() + 2, bytes.begin() + 23),
              Hex("11 00 00 00 01 44 33 22 11 00 00 24 d2 25 d2 00 00 00 00 00 00"));
    TRV_Constructed<TDatagramLike> back;
    EXPECT_TRUE(ReadFrom(back, bytes));
    EXPECT_EQ(back.sT.Ports[0], 53797);
    EXPECT_EQ(back.UniqueId, d.UniqueId);
}
