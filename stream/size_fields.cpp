#include "stream/size_fields.h"

#include "stream/little_endian.h"
#include "stream/stream_errors.h"

#include <stdexcept>

namespace rv {

void TRV_SizeFieldStack::Open(bool Word) {
    if (FDepth >= C_MaxUnknownSizeNesting) throw ERV_RangeError();
    FStack[FDepth] = {FDest.Position(), Word};
    static const uint8_t kZero[4] = {};
    FDest.WriteBuffer(kZero, Word ? 2 : 4);
    ++FDepth;
}

void TRV_SizeFieldStack::Close(bool Word) {
    if (FDepth == 0 || FStack[FDepth - 1].Word != Word) throw std::logic_error("size field closed without a match");
    const TEntry e = FStack[--FDepth];
    int64_t end = FDest.Position();
    int64_t size = end - e.Position - (Word ? 2 : 4);
    uint8_t b[4];
    if (Word) {
        if (size > 0xFFFF) throw EStreamError(C_ErrWordSizeExceeded);
        PutLE<uint16_t>(b, static_cast<uint16_t>(size));
    } else {
        if (size > 0xFFFFFFFFll) throw ERV_RangeError();
        PutLE<uint32_t>(b, static_cast<uint32_t>(size));
    }
    FDest.SetPosition(e.Position);
    FDest.WriteBuffer(b, Word ? 2 : 4);
    FDest.SetPosition(end);
}

void SetObjectSize(TStream& Dest, uint64_t Size) {
    if (Size > 0xFFFFFFFFull) throw ERV_RangeError();
    uint8_t b[4];
    PutLE<uint32_t>(b, static_cast<uint32_t>(Size));
    Dest.WriteBuffer(b, 4);
}

bool ReadObjectSize(TStream& Source, uint32_t& Size) {
    uint8_t b[4];
    int64_t got = Source.Read(b, 4);
    if (got != 4) {
        if (got > 0) Source.Seek(-got, TSeekOrigin::soCurrent);
        return false;
    }
    Size = GetLE<uint32_t>(b);
    return true;
}

} // namespace rv
