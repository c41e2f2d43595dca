// Fuzz target: LoadFromStream of a record holding every element kind (nested records, a list, a multiplex and
// compressed elements included). The first byte selects the stream options, so that inputs without a valid
// check value reach the element readers too. Errors are exceptions with fixed texts; anything else (a crash,
// a sanitizer report, runaway memory) is a finding.
#include "fuzz/fuzz_records.h"

#include "stream/stream_errors.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 1) return 0;
    static auto rec = rv::MakeSmartStream<fuzz_records::TEverything>();
    fuzz_records::ApplyOptions(*rec, Data[0]);
    rec->SetMaxDecompressedSize(1 << 20);
    rv::TRV_BlockMemoryStream src(Data + 1, static_cast<int64_t>(Size - 1));
    try {
        rec->LoadFromStream(src);
        // What was read must write again and read back to the same bytes.
        rv::TMemoryStream again;
        rec->SaveToStream(again);
        again.SetPosition(0);
        auto copy = rv::MakeSmartStream<fuzz_records::TEverything>();
        fuzz_records::ApplyOptions(*copy, Data[0]);
        copy->LoadFromStream(again);
        if (!copy->Compare(*rec)) __builtin_trap();
    } catch (const rv::ERV_Error&) {
    }
    return 0;
}
