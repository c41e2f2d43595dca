#pragma once
// Deferred size fields. A writer that does not know a size in advance writes a placeholder, writes the content,
// then goes back and fills in the number of bytes written since the placeholder. The destination must be
// seekable (memory or file streams). Open placeholders form a stack of at most C_MaxUnknownSizeNesting levels
// within one record's write; a nested record uses a stack of its own.
// One stack belongs to one write on one thread.

#include "foundation/streams.h"

#include <cstdint>

namespace rv {

inline constexpr int C_MaxUnknownSizeNesting = 6;

class TRV_SizeFieldStack {
public:
    explicit TRV_SizeFieldStack(TStream& Dest) : FDest(Dest) {}

    // Open a 32-bit / 16-bit placeholder at the current position. A seventh open level raises ERV_RangeError.
    void StreamWriteUnknownSize() { Open(false); }
    void StreamWriteUnknownSizeWord() { Open(true); }
    // Close the innermost placeholder, which must have the matching width. The position ends at the end again.
    // A 32-bit size of 4 GiB or more raises ERV_RangeError; a 16-bit size above 65,535 raises EStreamError
    // "RV_Stream: Stream data size exceeded word size".
    void StreamWriteSize() { Close(false); }
    void StreamWriteSizeWord() { Close(true); }

    int Depth() const { return FDepth; }

private:
    void Open(bool Word);
    void Close(bool Word);

    struct TEntry {
        int64_t Position = 0; // of the placeholder
        bool Word = false;
    };
    TStream& FDest;
    TEntry FStack[C_MaxUnknownSizeNesting];
    int FDepth = 0;
};

// A known 32-bit size, written directly.
void SetObjectSize(TStream& Dest, uint64_t Size);
// Reads a 32-bit size; false (nothing consumed) when fewer than 4 bytes are left.
bool ReadObjectSize(TStream& Source, uint32_t& Size);

} // namespace rv
