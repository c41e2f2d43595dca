#include "stream/smart_stream.h"

#include "stream/check_values.h"
#include "stream/little_endian.h"
#include "stream/nested_stream.h"
#include "stream/size_fields.h"
#include "stream/smart_stream_internal.h"
#include "stream/stream_errors.h"

#include <algorithm>
#include <cstring>

namespace rv {

namespace {

// Bytes of the fixed kinds 1 to 25 (0 = not a fixed kind).
int FixedKindSize(T_SmartStreamItemType Kind) {
    static constexpr uint8_t kSizes[26] = {0, 1, 1, 1, 8, 8, 8, 4, 8, 8, 10, 8, 4, 4, 4, 4, 2, 2, 7, 20, 2, 4, 4, 5, 1, 4};
    return Kind < 26 ? kSizes[Kind] : 0;
}

// Kinds whose variable is a byte array written as is rather than a little-endian scalar.
bool IsByteArrayKind(T_SmartStreamItemType Kind) {
    return Kind == ssExtended || Kind == ssBinDateTime || Kind == ssDigest160;
}

bool IsBuiltKind(T_SmartStreamItemType Kind) {
    switch (Kind) {
    case ssTabControl:
    case ssPageControl:
    case ssCheckBoxState:
    case ssRadioButtonChecked:
    case ssRadioGroupIndex:
    case ssFile:
    case ssCompressedFile:
    case ssVsArray:
        return false;
    default:
        return Kind <= ssRecord;
    }
}

// Restores a value when the scope ends, also on error.
template <class T>
class TRestore {
public:
    TRestore(T& Var, T Value) : FVar(Var), FSaved(Var) { Var = Value; }
    ~TRestore() { FVar = FSaved; }
    TRestore(const TRestore&) = delete;
    TRestore& operator=(const TRestore&) = delete;

private:
    T& FVar;
    T FSaved;
};

void Skip(TStream& S, int64_t Count) {
    if (Count > 0) S.Seek(Count, TSeekOrigin::soCurrent);
}

// Reads exactly Count bytes or returns false (the position is then anywhere up to the end).
bool ReadExact(TStream& S, void* Buffer, int64_t Count) {
    auto* p = static_cast<uint8_t*>(Buffer);
    while (Count > 0) {
        int64_t got = S.Read(p, Count);
        if (got <= 0) return false;
        p += got;
        Count -= got;
    }
    return true;
}

} // namespace


// ---- construction ----------------------------------------------------------------------------------------------

TRV_SmartStream::TRV_SmartStream() = default;
TRV_SmartStream::~TRV_SmartStream() = default;

void TRV_SmartStream::AfterConstruction() {
    if (FConstructed) return;
    if (FDeclaring) throw std::logic_error("TRV_SmartStream: AfterConstruction re-entered");
    FItems.clear();
    FDeclaring = true;
    try {
        AssignElements();
        for (size_t i = 0; i < FItems.size(); ++i)
            if (FItems[i].ItemType == ssInsertedItemMarker && FItems[i].MarkerCount > FItems.size() - i - 1)
                throw std::logic_error("AddInsertedItemsMarker: more elements than declared after the marker");
    } catch (...) {
        FItems.clear();
        FDeclaring = false;
        throw;
    }
    FDeclaring = false;
    FConstructed = true;
    SetDefaultValues();
}

void TRV_SmartStream::RequireConstructed() const {
    if (!FConstructed)
        throw std::logic_error("TRV_SmartStream used before AfterConstruction (use MakeSmartStream or TRV_Constructed)");
}

T_ssItem& TRV_SmartStream::CreateItem(void* Address, T_SmartStreamItemType Type) {
    if (!FDeclaring) throw std::logic_error("TRV_SmartStream: elements are declared only in AssignElements");
    if (!IsBuiltKind(Type) && Type != ssInsertedItemMarker)
        throw std::logic_error("TRV_SmartStream: element kind not supported");
    T_ssItem it;
    it.ItemType = Type;
    it.ItemAddress = Address;
    FItems.push_back(it);
    return FItems.back();
}

void TRV_SmartStream::AddInsertedItemsMarker(uint32_t MarkerId, uint32_t Count) {
    T_ssItem& it = CreateItem(nullptr, ssInsertedItemMarker);
    it.MaxItemSize = MarkerId;
    it.MarkerCount = Count;
}

void TRV_SmartStream::AddDataOfFixedSize(void* V, uint32_t Size) {
    CreateItem(V, ssDataOfFixedSize).MaxItemSize = Size;
}

void TRV_SmartStream::AddSmartStream(TRV_SmartStream& V) {
    if (&V == this) throw std::logic_error("AddSmartStream: a record cannot contain itself");
    // A nested member is completed here, before this record's SetDefaultValues may adjust it.
    V.AfterConstruction();
    NewObject(&V, ssSmartStream);
}

void TRV_SmartStream::AddShortString(std::string& V, uint8_t MaxLength) {
    if (MaxLength == 0) throw std::logic_error("AddShortString: MaxLength must be 1 to 255");
    CreateItem(&V, ssShortString).MaxItemSize = MaxLength + 1u;
}

void TRV_SmartStream::AddRecord(void* RecordStruc, uint32_t RecordSize) {
    CreateItem(RecordStruc, ssRecord).MaxItemSize = RecordSize;
}

// ---- virtual hooks ---------------------------------------------------------------------------------------------

void TRV_SmartStream::OnReadStreamType(uint16_t, bool&) {}

int64_t TRV_SmartStream::ComputeProgressItems() { return static_cast<int64_t>(FItems.size()); }

void TRV_SmartStream::AboutToWriteToStream() {
    if (OnWrite) OnWrite(*this);
}

void TRV_SmartStream::ReadFromStreamComplete(bool Success) {
    if (Success && OnRead) OnRead(*this);
}

// ---- writing ---------------------------------------------------------------------------------------------------

bool TRV_SmartStream::WriteToStream(TStream& Dest) {
    RequireConstructed();
    AboutToWriteToStream();
    // Nested records carry their own check value and header only when this record writes neither.
    TWriteState st{Dest, TRV_SizeFieldStack(Dest), SubStreamingWriteCrcAndHeaderEnabled && !FStreamCRC && !FStreamHeader};
    FProgress.Reset();
    const int64_t start = Dest.Position();
    const int width = FShortStreamLengthCRC ? 2 : 4;

    if (FWriteStreamSize) {
        if (FShortStreamLengthCRC)
            st.Sizes.StreamWriteUnknownSizeWord();
        else
            st.Sizes.StreamWriteUnknownSize();
    }
    int64_t crcPos = -1;
    if (FStreamCRC && SubStreamingWriteCrcAndHeaderEnabled) {
        crcPos = Dest.Position();
        static const uint8_t kZero[4] = {};
        Dest.WriteBuffer(kZero, width);
    }
    if (FStreamHeader && SubStreamingWriteCrcAndHeaderEnabled) {
        const uint8_t header[2] = {2, static_cast<uint8_t>(FCompatibilityVersion * 8 + C_SmartStreamCompatibilityVersion)};
        Dest.WriteBuffer(header, 2);
    }

    for (const T_ssItem& it : FItems) {
        if (!WriteElement(it, st)) return false;
        FProgress.Advance(1);
        if (FProgress.Terminated()) {
            // Cancelled: nothing of this record stays in the destination.
            Dest.SetSize(start);
            return false;
        }
    }

    if (FWriteStreamSize) {
        if (FShortStreamLengthCRC)
            st.Sizes.StreamWriteSizeWord();
        else
            st.Sizes.StreamWriteSize();
    }
    if (crcPos >= 0) {
        const int64_t end = Dest.Position();
        const int64_t count = end - crcPos - width;
        Dest.SetPosition(crcPos + width);
        uint8_t b[4];
        if (FShortStreamLengthCRC)
            PutLE<uint16_t>(b, CCITT_CRC16OfStream(Dest, count));
        else
            PutLE<uint32_t>(b, CCITT_CRC32OfStream(Dest, count));
        Dest.SetPosition(crcPos);
        Dest.WriteBuffer(b, width);
        Dest.SetPosition(end);
    }
    return true;
}

void TRV_SmartStream::WriteNested(TRV_SmartStream& Rec, TStream& Dest, bool SubFlag) {
    TRestore<bool> flag(Rec.SubStreamingWriteCrcAndHeaderEnabled, SubFlag);
    Rec.SaveToStream(Dest);
}

bool TRV_SmartStream::WriteElement(const T_ssItem& It, TWriteState& St) {
    TStream& d = St.Dest;
    const T_SmartStreamItemType kind = It.ItemType;
    uint8_t b[20];

    if (kind == ssInsertedItemMarker) {
        PutLE<uint32_t>(b, C_InsertedItemMarkerIdValue);
        PutLE<uint32_t>(b + 4, It.MaxItemSize);
        d.WriteBuffer(b, 8);
        return true;
    }
    if (kind == ssBoolean) {
        b[0] = *static_cast<bool*>(It.ItemAddress) ? 1 : 0;
        d.WriteBuffer(b, 1);
        return true;
    }
    if (int n = FixedKindSize(kind); n > 0) {
        if (IsByteArrayKind(kind))
            std::memcpy(b, It.ItemAddress, static_cast<size_t>(n));
        else
            StoreLittleEndian(b, It.ItemAddress, static_cast<size_t>(n));
        d.WriteBuffer(b, n);
        return true;
    }

    switch (kind) {
    case ssDataOfFixedSize:
        d.WriteBuffer(It.ItemAddress, It.MaxItemSize);
        return true;

    case ssLongString: {
        auto& s = *static_cast<std::string*>(It.ItemAddress);
        SetObjectSize(d, s.size() + 1);
        d.WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
        b[0] = 0;
        d.WriteBuffer(b, 1);
        return true;
    }
    case ssShortString: {
        auto& s = *static_cast<std::string*>(It.ItemAddress);
        size_t len = std::min<size_t>(s.size(), It.MaxItemSize - 1);
        SetObjectSize(d, len + 1);
        b[0] = static_cast<uint8_t>(len);
        d.WriteBuffer(b, 1);
        d.WriteBuffer(s.data(), static_cast<int64_t>(len));
        return true;
    }
    case ssTStrings:
        St.Sizes.StreamWriteUnknownSize();
        SaveTStringsToStream(*static_cast<TStrings*>(It.ItemAddress), d);
        St.Sizes.StreamWriteSize();
        return true;

    case ssCompressedTStrings: {
        TMemoryStream mem;
        SaveTStringsToStream(*static_cast<TStrings*>(It.ItemAddress), mem);
        if (mem.Size() == 0) {
            SetObjectSize(d, 0);
            return true;
        }
        St.Sizes.StreamWriteUnknownSize();
        if (!CompressStreamToStream(mem, d, 0, &FProgress)) return false;
        St.Sizes.StreamWriteSize();
        return true;
    }
    case ssRecord: {
        SetObjectSize(d, It.MaxItemSize);
        if (It.SaveRecord) {
            std::vector<uint8_t> buf(It.MaxItemSize);
            It.SaveRecord(It.ItemAddress, buf.data());
            d.WriteBuffer(buf.data(), It.MaxItemSize);
        } else {
            d.WriteBuffer(It.ItemAddress, It.MaxItemSize);
        }
        return true;
    }
    case ssStream: {
        auto& s = *static_cast<TStream*>(It.ItemAddress);
        St.Sizes.StreamWriteUnknownSize();
        int64_t pos = s.Position();
        d.CopyFrom(s, 0);
        s.SetPosition(pos);
        St.Sizes.StreamWriteSize();
        return true;
    }
    case ssCompressedStream: {
        auto& s = *static_cast<TStream*>(It.ItemAddress);
        St.Sizes.StreamWriteUnknownSize();
        int64_t pos = s.Position();
        bool ok = CompressStreamToStream(s, d, 0, &FProgress);
        s.SetPosition(pos);
        if (!ok) return false;
        St.Sizes.StreamWriteSize();
        return true;
    }
    case ssSmartStream:
    case ssSmartStreamPtr: {
        TRV_SmartStream* rec = kind == ssSmartStream ? static_cast<TRV_SmartStream*>(It.ItemAddress)
                                                     : It.GetSmartStream(It.ItemAddress);
        St.Sizes.StreamWriteUnknownSize();
        if (rec) WriteNested(*rec, d, St.SubFlag);
        St.Sizes.StreamWriteSize();
        return true;
    }
    case ssSmartStreamList:
        St.Sizes.StreamWriteUnknownSize();
        WriteListElement(*static_cast<TRV_SmartStreamList*>(It.ItemAddress), St);
        St.Sizes.StreamWriteSize();
        return true;

    case ssPrivateSubStream: {
        auto& p = *static_cast<TRV_PrivateSubStream*>(It.ItemAddress);
        St.Sizes.StreamWriteUnknownSize();
        p.Reset();
        if (!p.WriteTo(d)) return false;
        St.Sizes.StreamWriteSize();
        return true;
    }
    case ssBoolArray: {
        auto& bits = *static_cast<std::vector<bool>*>(It.ItemAddress);
        std::vector<uint8_t> bytes((bits.size() + 7) / 8);
        for (size_t i = 0; i < bits.size(); ++i)
            if (bits[i]) bytes[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        const uint64_t bitCount = bits.size();
        if (bitCount >> 32) throw ERV_RangeError(); // the bit count is a 32-bit field
        SetObjectSize(d, bytes.size() + 4);
        PutLE<uint32_t>(b, static_cast<uint32_t>(bits.size()));
        d.WriteBuffer(b, 4);
        d.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
        return true;
    }
    case ssDataBlock: {
        auto& block = *static_cast<std::vector<uint8_t>*>(It.ItemAddress);
        SetObjectSize(d, block.size());
        d.WriteBuffer(block.data(), static_cast<int64_t>(block.size()));
        return true;
    }
    default:
        throw std::logic_error("TRV_SmartStream: element kind not supported");
    }
}

void TRV_SmartStream::SaveToStream(TStream& Stream) {
    if (!WriteToStream(Stream)) throw EStreamError(C_ErrSmartStreamWrite);
}

// ---- reading ---------------------------------------------------------------------------------------------------

bool TRV_SmartStream::ReadFromStream(TStream& Source) {
    RequireConstructed();
    // The outermost read owns the decompression budget; nested reads share it.
    TInflateBudget budget{FMaxDecompressedSize};
    TRestore<TInflateBudget*> budgetScope(FBudget, FBudget ? FBudget : &budget);
    FProgress.Reset();

    const bool own = SubStreamingWriteCrcAndHeaderEnabled;
    // Mirror of the writer's rule: a record that writes a check value but no header writes its nested records
    // without theirs, so it reads them so too.
    TReadState st{Source, std::max<int64_t>(Source.Size() - Source.Position(), 0),
                  own && !(FStreamCRC && !FStreamHeader), true};
    const int width = FShortStreamLengthCRC ? 2 : 4;
    uint8_t b[4];

    if (st.DataLeft > 0) {
        if (FReadStreamSize) {
            if (st.DataLeft >= width && ReadExact(Source, b, width)) {
                int64_t size = FShortStreamLengthCRC ? GetLE<uint16_t>(b) : GetLE<uint32_t>(b);
                // A size field that claims more than the stream holds is cut to what is there.
                st.DataLeft = std::min(size, st.DataLeft - width);
            } else {
                st.Result = false;
            }
        }
        if (st.Result && FStreamCRC && own) {
            if (st.DataLeft >= width && ReadExact(Source, b, width)) {
                st.DataLeft -= width;
                const int64_t pos = Source.Position();
                bool match = FShortStreamLengthCRC ? CCITT_CRC16OfStream(Source, st.DataLeft) == GetLE<uint16_t>(b)
                                                   : CCITT_CRC32OfStream(Source, st.DataLeft) == GetLE<uint32_t>(b);
                Source.SetPosition(pos);
                if (!match) st.Result = false;
            } else {
                st.Result = false;
            }
        }
        if (st.Result && FStreamHeader && own) {
            if (st.DataLeft >= 2 && ReadExact(Source, b, 2)) {
                st.DataLeft -= 2;
                // b[0] (HeaderSize) is not checked.
                FCompatibilityVersion = static_cast<T_CompatibilityVersion>(b[1] >> 3);
                if ((b[1] & 7) > 1) st.SubFlag = false;
            } else {
                st.Result = false;
            }
        }
        if (!st.Result) {
            if (FReadStreamSize) Skip(Source, st.DataLeft);
            st.DataLeft = 0;
        }
    }

    for (size_t i = 0; i < FItems.size(); ++i) {
        const T_ssItem& it = FItems[i];
        if (it.ItemType == ssInsertedItemMarker) {
            if (st.DataLeft >= 8) {
                const int64_t pos = Source.Position();
                uint8_t m[8];
                if (ReadExact(Source, m, 8) && GetLE<uint32_t>(m) == C_InsertedItemMarkerIdValue &&
                    GetLE<uint32_t>(m + 4) == it.MaxItemSize) {
                    st.DataLeft -= 8;
                    continue;
                }
                Source.SetPosition(pos);
            }
            // No marker: the elements behind it are absent from this stream.
            for (uint32_t k = 1; k <= it.MarkerCount; ++k) AssignNullValue(FItems[i + k]);
            i += it.MarkerCount;
            continue;
        }
        bool stop = ReadElement(it, st);
        FProgress.Advance(1);
        if (st.Damaged) {
            for (size_t k = i + 1; k < FItems.size(); ++k) AssignNullValue(FItems[k]);
            break;
        }
        if (stop) break;
    }

    if (st.DataLeft > 0 && FReadStreamSize) Skip(Source, st.DataLeft);
    return st.Result;
}

// Returns true when reading must stop (OnReadStreamType reported an unsupported type).
bool TRV_SmartStream::ReadElement(const T_ssItem& It, TReadState& St) {
    TStream& s = St.Source;
    const T_SmartStreamItemType kind = It.ItemType;
    uint8_t b[20];

    if (kind == ssDataOfFixedSize) {
        int64_t n = It.MaxItemSize;
        if (n > St.DataLeft) {
            std::memset(It.ItemAddress, 0, It.MaxItemSize);
            n = St.DataLeft;
        }
        if (!ReadExact(s, It.ItemAddress, n)) std::memset(It.ItemAddress, 0, It.MaxItemSize);
        St.DataLeft -= n;
        return false;
    }

    if (int n = FixedKindSize(kind); n > 0) {
        if (St.DataLeft < n || !ReadExact(s, b, n)) {
            AssignNullValue(It);
            St.DataLeft = 0;
            if (kind == ssStreamType) {
                bool ignored = false;
                OnReadStreamType(0, ignored);
            }
            return false;
        }
        St.DataLeft -= n;
        if (kind == ssBoolean)
            *static_cast<bool*>(It.ItemAddress) = b[0] != 0;
        else if (IsByteArrayKind(kind))
            std::memcpy(It.ItemAddress, b, static_cast<size_t>(n));
        else
            LoadLittleEndian(It.ItemAddress, b, static_cast<size_t>(n));
        if (kind == ssStreamType) {
            bool unsupported = false;
            OnReadStreamType(FMultiStreamType, unsupported);
            return unsupported;
        }
        return false;
    }

    // Sized kinds: the 32-bit count, then the payload.
    uint32_t count32 = 0;
    if (St.DataLeft < 4 || !ReadObjectSize(s, count32)) {
        AssignNullValue(It);
        St.DataLeft = 0;
        return false;
    }
    St.DataLeft -= 4;
    // A stream that ends between elements is an older, shorter record; an element that announces more bytes than
    // are left is damage, whatever the check value says. With a size field, the rest of the record is still
    // skipped at the end.
    if (count32 > St.DataLeft) {
        AssignNullValue(It);
        St.Result = false;
        St.Damaged = true;
        return false;
    }
    const int64_t count = count32;
    St.DataLeft -= count;
    const int64_t start = s.Position();
    ReadSizedPayload(It, St, count);
    // Whatever the payload reader consumed, the next element starts where this one's count says it ends.
    s.SetPosition(start + count);
    return false;
}

void TRV_SmartStream::ReadSizedPayload(const T_ssItem& It, TReadState& St, int64_t Count) {
    TRV_NestedStreamReadOnly payload(St.Source, Count);

    switch (It.ItemType) {
    case ssRecord: {
        // A shorter stored record leaves the rest zero; a longer one is cut.
        std::vector<uint8_t> buf(It.MaxItemSize, 0);
        int64_t n = std::min<int64_t>(Count, It.MaxItemSize);
        ReadExact(payload, buf.data(), n);
        if (It.LoadRecord)
            It.LoadRecord(It.ItemAddress, buf.data());
        else
            std::memcpy(It.ItemAddress, buf.data(), It.MaxItemSize);
        return;
    }
    case ssShortString: {
        auto& v = *static_cast<std::string*>(It.ItemAddress);
        std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(Count, It.MaxItemSize)));
        v.clear();
        if (!buf.empty() && ReadExact(payload, buf.data(), static_cast<int64_t>(buf.size()))) {
            // The length byte may exceed the variable (cut) but never the element's own bytes.
            if (buf[0] > Count - 1) {
                St.Result = false;
                return;
            }
            size_t len = std::min<size_t>(buf[0], buf.size() - 1);
            v.assign(reinterpret_cast<const char*>(buf.data()) + 1, len);
        }
        return;
    }
    case ssLongString:
        // The characters before the first 0 byte of the payload.
        ReadLongStringFromStream(payload, *static_cast<std::string*>(It.ItemAddress));
        return;

    case ssTStrings: {
        std::vector<uint8_t> buf(static_cast<size_t>(Count));
        auto& list = *static_cast<TStrings*>(It.ItemAddress);
        if (ReadExact(payload, buf.data(), Count))
            SplitTStringsPayload(buf.data(), buf.size(), list);
        else
            list.clear();
        return;
    }
    case ssCompressedTStrings: {
        auto& list = *static_cast<TStrings*>(It.ItemAddress);
        list.clear();
        if (Count == 0) return;
        TMemoryStream mem;
        // A payload that does not decompress completely leaves the list empty, never a part of it.
        if (DecompressInto(payload, mem)) LoadTStringsFromStream(mem, list);
        return;
    }
    case ssStream: {
        auto& v = *static_cast<TStream*>(It.ItemAddress);
        v.SetSize(0);
        v.SetPosition(0);
        if (Count > 0) v.CopyFrom(payload, Count);
        v.SetPosition(0);
        return;
    }
    case ssCompressedStream: {
        auto& v = *static_cast<TStream*>(It.ItemAddress);
        v.SetSize(0);
        v.SetPosition(0);
        // A payload that does not decompress completely (damaged, or over the bound) leaves the stream empty,
        // so that a truncated image is never taken for the whole one.
        if (!DecompressInto(payload, v)) v.SetSize(0);
        v.SetPosition(0);
        return;
    }
    case ssSmartStream:
    case ssSmartStreamPtr: {
        TRV_SmartStream* rec = It.ItemType == ssSmartStream ? static_cast<TRV_SmartStream*>(It.ItemAddress)
                                                            : It.GetSmartStream(It.ItemAddress);
        // A nested record that fails (damaged inside its own bytes) fails this one.
        if (rec && !ReadNested(*rec, payload, St.SubFlag)) St.Result = false;
        return;
    }
    case ssSmartStreamList:
        ReadListElement(*static_cast<TRV_SmartStreamList*>(It.ItemAddress), payload, St);
        return;

    case ssPrivateSubStream:
        if (!static_cast<TRV_PrivateSubStream*>(It.ItemAddress)->ReadFrom(payload)) St.Result = false;
        return;

    case ssBoolArray: {
        auto& bits = *static_cast<std::vector<bool>*>(It.ItemAddress);
        bits.clear();
        if (Count == 0) return;
        uint8_t c[4];
        std::vector<uint8_t> bytes(static_cast<size_t>(std::max<int64_t>(Count - 4, 0)));
        // The bit count field and the bits it counts lie inside the element.
        if (Count < 4 || !ReadExact(payload, c, 4) || !ReadExact(payload, bytes.data(), Count - 4) ||
            GetLE<uint32_t>(c) > uint64_t(bytes.size()) * 8) {
            St.Result = false;
            return;
        }
        bits.resize(GetLE<uint32_t>(c));
        for (size_t i = 0; i < bits.size(); ++i) bits[i] = (bytes[i / 8] >> (i % 8)) & 1;
        return;
    }
    case ssDataBlock: {
        auto& block = *static_cast<std::vector<uint8_t>*>(It.ItemAddress);
        block.resize(static_cast<size_t>(Count));
        if (!ReadExact(payload, block.data(), Count)) block.clear();
        return;
    }
    default:
        return;
    }
}

bool TRV_SmartStream::DecompressInto(TStream& Payload, TStream& Dest) {
    const int64_t before = Dest.Size();
    bool ok = DeCompressStreamToStream(Payload, Dest, false, &FProgress, FBudget->Left);
    FBudget->Left -= std::max<int64_t>(Dest.Size() - before, 0);
    return ok;
}

bool TRV_SmartStream::ReadNested(TRV_SmartStream& Rec, TStream& Payload, bool SubFlag) {
    Rec.RequireConstructed();
    TRestore<bool> flag(Rec.SubStreamingWriteCrcAndHeaderEnabled, SubFlag);
    TRestore<TInflateBudget*> budget(Rec.FBudget, FBudget);
    return Rec.ReadFromStream(Payload);
}

void TRV_SmartStream::AssignNullValue(const T_ssItem& It) {
    void* a = It.ItemAddress;
    switch (It.ItemType) {
    case ssInsertedItemMarker:
    case ssDataOfFixedSize:
        return;
    case ssBoolean:
        *static_cast<bool*>(a) = false;
        return;
    case ssShortString:
    case ssLongString:
        static_cast<std::string*>(a)->clear();
        return;
    case ssTStrings:
    case ssCompressedTStrings:
        static_cast<TStrings*>(a)->clear();
        return;
    case ssStream:
    case ssCompressedStream:
        static_cast<TStream*>(a)->SetSize(0);
        static_cast<TStream*>(a)->SetPosition(0);
        return;
    case ssSmartStream:
        static_cast<TRV_SmartStream*>(a)->Clear();
        return;
    case ssSmartStreamPtr:
        if (TRV_SmartStream* rec = It.GetSmartStream(a)) rec->Clear();
        return;
    case ssSmartStreamList:
        NullListElement(*static_cast<TRV_SmartStreamList*>(a));
        return;
    case ssPrivateSubStream:
        static_cast<TRV_PrivateSubStream*>(a)->Reset();
        return;
    case ssBoolArray:
        static_cast<std::vector<bool>*>(a)->clear();
        return;
    case ssDataBlock:
        static_cast<std::vector<uint8_t>*>(a)->clear();
        return;
    case ssRecord: {
        std::vector<uint8_t> zero(It.MaxItemSize, 0);
        if (It.LoadRecord)
            It.LoadRecord(a, zero.data());
        else
            std::memset(a, 0, It.MaxItemSize);
        return;
    }
    default:
        if (int n = FixedKindSize(It.ItemType); n > 0) std::memset(a, 0, static_cast<size_t>(n));
        return;
    }
}

void TRV_SmartStream::LoadFromStream(TStream& Stream) {
    if (!ReadFromStream(Stream)) throw EStreamError(C_ErrSmartStreamRead);
}

// ---- copying and comparing -------------------------------------------------------------------------------------

void TRV_SmartStream::Assign(TRV_SmartStream* V) {
    RequireConstructed();
    TMemoryStream mem;
    if (V == nullptr) {
        LoadFromStream(mem);
        return;
    }
    // Both sides use V's framing for the copy, and no size field.
    TRestore<bool> crc(FStreamCRC, V->FStreamCRC);
    TRestore<bool> header(FStreamHeader, V->FStreamHeader);
    TRestore<bool> shortCrc(FShortStreamLengthCRC, V->FShortStreamLengthCRC);
    TRestore<bool> sub(SubStreamingWriteCrcAndHeaderEnabled, V->SubStreamingWriteCrcAndHeaderEnabled);
    TRestore<bool> readSize(FReadStreamSize, false);
    {
        TRestore<bool> writeSize(V->FWriteStreamSize, false);
        V->SaveToStream(mem);
    }
    mem.SetPosition(0);
    LoadFromStream(mem);
}

void TRV_SmartStream::Clear() {
    Assign(nullptr);
    SetDefaultValues();
}

bool TRV_SmartStream::Compare(TRV_SmartStream& ss) {
    TMemoryStream a, b;
    WriteToStream(a);
    ss.WriteToStream(b);
    return a.Size() == b.Size() && (a.Size() == 0 || std::memcmp(a.Memory(), b.Memory(), static_cast<size_t>(a.Size())) == 0);
}

} // namespace rv
