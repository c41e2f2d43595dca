#pragma once
// Records with every element kind the program builds, for the fuzz targets and their seed corpus.

#include "stream/multiplex_smart_stream.h"
#include "stream/smart_stream.h"
#include "stream/smart_stream_list.h"

#include <array>
#include <memory>

namespace fuzz_records {

class TLeaf : public rv::TRV_SmartStream {
public:
    int32_t V = 0;
    std::string S;
    rv::TMemoryStream Image;

protected:
    void AssignElements() override {
        TRV_SmartStream::AssignElements();
        AddLongInt(V);
        AddLongString(S);
        AddCompressedStream(Image);
    }
};

class TLeafList : public rv::TRV_SmartStreamListOf<TLeaf> {};

// A multiplex whose codes 0 to 2 have items and code 3 has none.
class TMux : public rv::TRV_MultiplexSmartStream {
protected:
    std::unique_ptr<rv::TRV_SmartStream> CreateMultiStreamItem(uint16_t V) override {
        switch (V % 4) {
        case 0:
            return std::make_unique<TLeaf>();
        case 1:
            return std::make_unique<TLeafList>();
        case 2:
            return std::make_unique<TMux>(); // multiplexes nest
        default:
            return nullptr;
        }
    }
};

class TSubStream : public rv::TRV_PrivateSubStream {
public:
    std::string Text;
    void Reset() override {}
    bool WriteTo(rv::TStream& Dest) override {
        Dest.WriteBuffer(Text.data(), static_cast<int64_t>(Text.size()));
        return true;
    }
    bool ReadFrom(rv::TStream& Source) override {
        Text.resize(static_cast<size_t>(Source.Size()));
        return Source.Read(Text.data(), Source.Size()) == Source.Size();
    }
};

struct TRec {
    int32_t A = 0;
    uint16_t B = 0;
    bool C = false;
    std::array<uint8_t, 5> D{};
    static constexpr uint32_t RecordSize = 12;
    template <class F>
    void Fields(F& f) {
        f(A);
        f(B);
        f(C);
        f(D);
    }
};

class TEverything : public rv::TRV_SmartStream {
public:
    bool Bool = false;
    uint8_t Byte = 0;
    char Char = 0;
    int64_t Comp = 0, Currency = 0, Int64 = 0;
    double DateTime = 0, Double = 0, Real = 0;
    float Single = 0;
    rv::TExtended80 Extended{};
    int32_t Integer = 0, LongInt = 0, AfterMarker = 0;
    uint32_t LongWord = 0, DWord = 0;
    int16_t SmallInt = 0;
    uint16_t Word = 0;
    rv::TBinDateTime BinDateTime{};
    rv::TDigest160 Digest{};
    uint8_t Fixed[6] = {};
    rv::TMemoryStream Stream, CompressedStream;
    TLeaf Nested;
    std::unique_ptr<TMux> Mux = rv::MakeSmartStream<TMux>();
    TLeafList List;
    TSubStream Private;
    std::string Short, Long;
    rv::TStrings Strings, CompressedStrings;
    std::vector<bool> Bits;
    std::vector<uint8_t> Block;
    TRec Rec;
    uint8_t RawRec[7] = {};

protected:
    void AssignElements() override {
        TRV_SmartStream::AssignElements();
        AddBoolean(Bool);
        AddByte(Byte);
        AddChar(Char);
        AddComp(Comp);
        AddCurrency(Currency);
        AddDateTime(DateTime);
        AddSingle(Single);
        AddDouble(Double);
        AddReal(Real);
        AddExtended(Extended);
        AddInt64(Int64);
        AddInteger(Integer);
        AddLongInt(LongInt);
        AddLongWord(LongWord);
        AddDWORD(DWord);
        AddSmallInt(SmallInt);
        AddWord(Word);
        AddBinDateTime(BinDateTime);
        AddDigest160(Digest);
        AddStreamType();
        AddDataOfFixedSize(Fixed, sizeof Fixed);
        AddStream(Stream);
        AddCompressedStream(CompressedStream);
        AddSmartStream(Nested);
        AddSmartStreamPtr(Mux);
        AddSmartStreamList(List);
        AddPrivateSubStream(Private);
        AddShortString(Short, 12);
        AddLongString(Long);
        AddTStrings(Strings);
        AddCompressedTStrings(CompressedStrings);
        AddBoolArray(Bits);
        AddDataBlock(Block);
        AddRecord(Rec);
        AddRecord(RawRec, sizeof RawRec);
        AddInsertedItemsMarker(0x46555A5A, 1);
        AddLongInt(AfterMarker);
    }
};

// The stream options selected by the low four bits of a byte.
inline void ApplyOptions(rv::TRV_SmartStream& R, uint8_t Bits) {
    R.SetStreamCRC(Bits & 1);
    R.SetStreamHeader(Bits & 2);
    R.SetShortStreamLengthCRC(Bits & 4);
    R.SetReadStreamSize(Bits & 8);
    R.SetWriteStreamSize(Bits & 8);
}

} // namespace fuzz_records
