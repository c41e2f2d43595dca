// Fuzz target: DeCompressStreamToStream on arbitrary input, with and without the tagged header (first byte).
// The output must stay within the bound whatever the input.
#include "stream/zlib_framing.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 1) return 0;
    constexpr int64_t kBound = 1 << 20;
    rv::TRV_BlockMemoryStream src(Data + 1, static_cast<int64_t>(Size - 1));
    rv::TMemoryStream out;
    bool ok = rv::DeCompressStreamToStream(src, out, Data[0] & 1, nullptr, kBound);
    if (out.Size() > kBound) __builtin_trap();
    if (ok && src.Position() > src.Size()) __builtin_trap();
    return 0;
}
