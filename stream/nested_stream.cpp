#include "stream/nested_stream.h"

#include "stream/stream_errors.h"

#include <algorithm>

namespace rv {

void TRV_NestedStreamReadOnly::SetSource(TStream& Source, int64_t Size) {
    FSource = &Source;
    FBase = Source.Position();
    int64_t left = std::max<int64_t>(Source.Size() - FBase, 0);
    FSize = std::clamp<int64_t>(Size, 0, left);
    FPosition = 0;
}

int64_t TRV_NestedStreamReadOnly::Read(void* Buffer, int64_t Count) {
    if (!FSource || Count <= 0 || FPosition >= FSize) return 0;
    int64_t n = std::min(Count, FSize - FPosition);
    if (FSource->Position() != FBase + FPosition) FSource->SetPosition(FBase + FPosition);
    n = FSource->Read(Buffer, n);
    if (n > 0) FPosition += n;
    return n;
}

int64_t TRV_NestedStreamReadOnly::Write(const void*, int64_t) { throw EStreamError(C_ErrNestedStreamWrite); }

int64_t TRV_NestedStreamReadOnly::Seek(int64_t Offset, TSeekOrigin Origin) {
    int64_t base = Origin == TSeekOrigin::soBeginning ? 0 : Origin == TSeekOrigin::soCurrent ? FPosition : FSize;
    FPosition = std::clamp<int64_t>(base + Offset, 0, FSize);
    if (FSource) FSource->SetPosition(FBase + FPosition);
    return FPosition;
}

void TRV_NestedStreamReadOnly::SetSize(int64_t) { throw EStreamError(C_ErrNestedStreamWrite); }

} // namespace rv
