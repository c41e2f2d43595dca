#pragma once
// TRV_NestedStreamReadOnly: a read-only window of a fixed number of bytes of another stream, starting at that
// stream's position when the window is set. Nested records, list items and compressed payloads are read through
// such a window, so that no reader can run past the bytes its element announced.
// Used by one thread at a time, like the stream under it.

#include "foundation/streams.h"

#include <cstdint>

namespace rv {

class TRV_NestedStreamReadOnly : public TStream {
public:
    TRV_NestedStreamReadOnly() = default;
    TRV_NestedStreamReadOnly(TStream& Source, int64_t Size) { SetSource(Source, Size); }

    // Lays the window over the next Size bytes of Source (from its current position); the window's position is 0.
    // Size is cut to the bytes Source still holds.
    void SetSource(TStream& Source, int64_t Size);

    // Reads move the source's position along with the window's.
    int64_t Read(void* Buffer, int64_t Count) override;
    // Always raises EStreamError "TRV_NestedStreamReadOnly.Write unsupported".
    int64_t Write(const void* Buffer, int64_t Count) override;
    // Positions are relative to the window's start and stay inside [0, Size].
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t GetSize() override { return FSize; }
    void SetSize(int64_t NewSize) override;

    // The source position just after the window.
    int64_t SourceEnd() const { return FBase + FSize; }
    int64_t Remaining() const { return FSize - FPosition; }

private:
    TStream* FSource = nullptr;
    int64_t FBase = 0;
    int64_t FSize = 0;
    int64_t FPosition = 0;
};

} // namespace rv
