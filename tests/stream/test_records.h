#pragma once
// Small records and helpers shared by the element stream tests.

#include "foundation/streams.h"
#include "stream/little_endian.h"
#include "stream/multiplex_smart_stream.h"
#include "stream/smart_stream.h"
#include "stream/smart_stream_list.h"

#include <array>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace test_records {

using Bytes = std::vector<uint8_t>;

// "f8 fd 7f c9" -> bytes.
inline Bytes Hex(const std::string& Text) {
    Bytes out;
    std::istringstream in(Text);
    std::string h;
    while (in >> h) out.push_back(static_cast<uint8_t>(std::stoul(h, nullptr, 16)));
    return out;
}

inline Bytes Concat(std::initializer_list<Bytes> Parts) {
    Bytes out;
    for (const Bytes& p : Parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes BytesOf(rv::TCustomMemoryStream& S) {
    return Bytes(S.Memory(), S.Memory() + S.Size());
}

inline Bytes Written(rv::TRV_SmartStream& R) {
    rv::TMemoryStream m;
    EXPECT_TRUE(R.WriteToStream(m));
    return BytesOf(m);
}

// Reads R from a copy of Data; returns ReadFromStream's result.
inline bool ReadFrom(rv::TRV_SmartStream& R, const Bytes& Data) {
    rv::TMemoryStream m;
    m.WriteBuffer(Data.data(), static_cast<int64_t>(Data.size()));
    m.SetPosition(0);
    return R.ReadFromStream(m);
}

inline std::string AsText(rv::TStream& S) {
    std::string out(static_cast<size_t>(S.Size()), '\0');
    int64_t pos = S.Position();
    S.SetPosition(0);
    if (!out.empty()) S.ReadBuffer(out.data(), static_cast<int64_t>(out.size()));
    S.SetPosition(pos);
    return out;
}

inline void SetText(rv::TMemoryStream& S, const std::string& Text) {
    S.Clear();
    S.WriteBuffer(Text.data(), static_cast<int64_t>(Text.size()));
    S.SetPosition(0);
}

// The worked example (1 and "abc") with the default options.
inline const Bytes kWorkedExample = Hex("f8 fd 7f c9 02 02 01 00 00 00 04 00 00 00 61 62 63 00");

// The worked example: one 32-bit integer and one string.
class TIntStr : public rv::TRV_SmartStream {
public:
    int32_t V = 0;
    std::string S;

protected:
    void AssignElements() override {
        TRV_SmartStream::AssignElements();
        AddLongInt(V);
        AddLongString(S);
    }
};

// A record with defaults, to tell null values from defaults.
class TWithDefaults : public rv::TRV_SmartStream {
public:
    int32_t Port = 0;
    std::string Name;
    rv::TStrings Lines;
    TIntStr Inner; // nested member, completed by its declaration

protected:
    void AssignElements() override {
        TRV_SmartStream::AssignElements();
        AddLongInt(Port);
        AddLongString(Name);
        AddTStrings(Lines);
        AddSmartStream(Inner);
    }
    void SetDefaultValues() override {
        TRV_SmartStream::SetDefaultValues();
        Port = 8500;
        Name = "New player";
        Inner.V = 77; // the outer record's defaults win over the nested record's
    }
};

// A list of TIntStr items; counts how many items are alive.
class TIntStrList : public rv::TRV_SmartStreamListOf<TIntStr> {};

// A struct bound with AddRecord: explicit layout, 11 bytes.
enum class TColour : uint8_t { Red = 1, Green = 2 };
struct TSimpleRec {
    int32_t A = 0;
    uint16_t B = 0;
    bool C = false;
    std::array<uint8_t, 3> D{};
    TColour E = TColour::Red;
    static constexpr uint32_t RecordSize = 11;
    template <class F>
    void Fields(F& f) {
        f(A);
        f(B);
        f(C);
        f(D);
        f(E);
    }
};

// A private sub-stream holding a text; Fail makes its write or read fail.
class TTextSubStream : public rv::TRV_PrivateSubStream {
public:
    std::string Text;
    bool Fail = false;
    int Resets = 0;
    void Reset() override { ++Resets; }
    bool WriteTo(rv::TStream& Dest) override {
        Dest.WriteBuffer(Text.data(), static_cast<int64_t>(Text.size()));
        return !Fail;
    }
    bool ReadFrom(rv::TStream& Source) override {
        Text.assign(static_cast<size_t>(Source.Size()), '\0');
        if (!Text.empty()) Source.ReadBuffer(Text.data(), static_cast<int64_t>(Text.size()));
        return !Fail;
    }
};

// One variable of every kind this program builds.
struct TVars {
    bool Bool = false;
    uint8_t Byte = 0;
    char Char = 0;
    int64_t Comp = 0, Currency = 0, Int64 = 0;
    double DateTime = 0, Double = 0, Real = 0;
    float Single = 0;
    rv::TExtended80 Extended{};
    int32_t Integer = 0, LongInt = 0;
    uint32_t LongWord = 0, DWord = 0;
    int16_t SmallInt = 0;
    uint16_t Word = 0;
    rv::TBinDateTime BinDateTime{};
    rv::TDigest160 Digest{};
    uint8_t Fixed[5] = {};
    rv::TMemoryStream Stream, CompressedStream;
    rv::TRV_Constructed<TIntStr> Nested;
    std::unique_ptr<TIntStr> Ptr = rv::MakeSmartStream<TIntStr>();
    rv::TRV_Constructed<TIntStrList> List;
    TTextSubStream Private;
    std::string Short, Long;
    rv::TStrings Strings, CompressedStrings;
    std::vector<bool> Bits;
    std::vector<uint8_t> Block;
    TSimpleRec Rec;
    uint8_t RawRec[6] = {};
    int32_t AfterMarker = 0;
};

// A record whose declaration a test supplies. The declaring operations are made public for that.
class TProbe : public rv::TRV_SmartStream {
public:
    using Declarer = std::function<void(TProbe&)>;
    explicit TProbe(Declarer D, bool Crc = true, bool Header = true) : FDeclare(std::move(D)) {
        SetStreamCRC(Crc);
        SetStreamHeader(Header);
    }
    using TRV_SmartStream::AddBinDateTime;
    using TRV_SmartStream::AddBoolArray;
    using TRV_SmartStream::AddBoolean;
    using TRV_SmartStream::AddByte;
    using TRV_SmartStream::AddChar;
    using TRV_SmartStream::AddComp;
    using TRV_SmartStream::AddCompressedStream;
    using TRV_SmartStream::AddCompressedTStrings;
    using TRV_SmartStream::AddCurrency;
    using TRV_SmartStream::AddDataBlock;
    using TRV_SmartStream::AddDataOfFixedSize;
    using TRV_SmartStream::AddDateTime;
    using TRV_SmartStream::AddDigest160;
    using TRV_SmartStream::AddDouble;
    using TRV_SmartStream::AddDWORD;
    using TRV_SmartStream::AddExtended;
    using TRV_SmartStream::AddInsertedItemsMarker;
    using TRV_SmartStream::AddInt64;
    using TRV_SmartStream::AddInteger;
    using TRV_SmartStream::AddLongInt;
    using TRV_SmartStream::AddLongString;
    using TRV_SmartStream::AddLongWord;
    using TRV_SmartStream::AddPrivateSubStream;
    using TRV_SmartStream::AddReal;
    using TRV_SmartStream::AddRecord;
    using TRV_SmartStream::AddShortString;
    using TRV_SmartStream::AddSingle;
    using TRV_SmartStream::AddSmallInt;
    using TRV_SmartStream::AddSmartStream;
    using TRV_SmartStream::AddSmartStreamList;
    using TRV_SmartStream::AddSmartStreamPtr;
    using TRV_SmartStream::AddStream;
    using TRV_SmartStream::AddStreamType;
    using TRV_SmartStream::AddTStrings;
    using TRV_SmartStream::AddWord;
    using TRV_SmartStream::FMultiStreamType;

    // Every kind, in one declaration.
    static void DeclareAll(TProbe& P, TVars& V) {
        P.AddBoolean(V.Bool);
        P.AddByte(V.Byte);
        P.AddChar(V.Char);
        P.AddComp(V.Comp);
        P.AddCurrency(V.Currency);
        P.AddDateTime(V.DateTime);
        P.AddSingle(V.Single);
        P.AddDouble(V.Double);
        P.AddReal(V.Real);
        P.AddExtended(V.Extended);
        P.AddInt64(V.Int64);
        P.AddInteger(V.Integer);
        P.AddLongInt(V.LongInt);
        P.AddLongWord(V.LongWord);
        P.AddDWORD(V.DWord);
        P.AddSmallInt(V.SmallInt);
        P.AddWord(V.Word);
        P.AddBinDateTime(V.BinDateTime);
        P.AddDigest160(V.Digest);
        P.AddStreamType();
        P.AddDataOfFixedSize(V.Fixed, sizeof V.Fixed);
        P.AddStream(V.Stream);
        P.AddCompressedStream(V.CompressedStream);
        P.AddSmartStream(V.Nested);
        P.AddSmartStreamPtr(V.Ptr);
        P.AddSmartStreamList(V.List);
        P.AddPrivateSubStream(V.Private);
        P.AddShortString(V.Short, 10);
        P.AddLongString(V.Long);
        P.AddTStrings(V.Strings);
        P.AddCompressedTStrings(V.CompressedStrings);
        P.AddBoolArray(V.Bits);
        P.AddDataBlock(V.Block);
        P.AddRecord(V.Rec);
        P.AddRecord(V.RawRec, sizeof V.RawRec);
        P.AddInsertedItemsMarker(0x4D41524B, 1);
        P.AddLongInt(V.AfterMarker);
    }

    // Distinct non-null values in every variable.
    static void FillAll(TProbe& P, TVars& V) {
        V.Bool = true;
        V.Byte = 0xAB;
        V.Char = 'q';
        V.Comp = -1234567890123ll;
        V.Currency = 125000; // 12.5
        V.DateTime = 45000.25;
        V.Single = 1.5f;
        V.Double = -2.25;
        V.Real = 3.125;
        for (size_t i = 0; i < V.Extended.size(); ++i) V.Extended[i] = static_cast<uint8_t>(0x10 + i);
        V.Int64 = 0x0102030405060708ll;
        V.Integer = -5;
        V.LongInt = 70000;
        V.LongWord = 0xDEADBEEF;
        V.DWord = 42;
        V.SmallInt = -300;
        V.Word = 65000;
        for (size_t i = 0; i < V.BinDateTime.size(); ++i) V.BinDateTime[i] = static_cast<uint8_t>(i + 1);
        for (size_t i = 0; i < V.Digest.size(); ++i) V.Digest[i] = static_cast<uint8_t>(0xF0 - i);
        P.FMultiStreamType = 0x0203;
        for (int i = 0; i < 5; ++i) V.Fixed[i] = static_cast<uint8_t>('A' + i);
        SetText(V.Stream, "plain stream");
        SetText(V.CompressedStream, std::string(3000, 'z') + "end");
        V.Nested.V = 11;
        V.Nested.S = "nested";
        V.Ptr->V = 12;
        V.Ptr->S = "pointed";
        for (int i = 0; i < 3; ++i) {
            auto item = rv::MakeSmartStream<TIntStr>();
            item->V = 100 + i;
            item->S = "item" + std::to_string(i);
            V.List.Add(std::move(item));
        }
        V.Private.Text = "private";
        V.Short = "short";
        V.Long = std::string(1500, 'L');
        V.Strings = {"one", "", "three"};
        V.CompressedStrings = {"alpha", "beta"};
        V.Bits = {true, false, true, true, false, false, false, false, true};
        V.Block = {9, 8, 7};
        V.Rec = {-7, 513, true, {1, 2, 3}, TColour::Green};
        for (int i = 0; i < 6; ++i) V.RawRec[i] = static_cast<uint8_t>(0x60 + i);
        V.AfterMarker = 99;
    }

protected:
    void AssignElements() override {
        TRV_SmartStream::AssignElements();
        FDeclare(*this);
    }

private:
    Declarer FDeclare;
};

} // namespace test_records
