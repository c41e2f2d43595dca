// Fuzz target: the launcher's configuration record read from its data file (the bytes of the file, as the loader
// reads them into memory before parsing).
#include "app/config_record.h"
#include "fuzz/record_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 1) return 0;
    const std::vector<uint8_t> in = record_fuzz::Input(Data, Size, record_fuzz::kCrc32);
    static auto rec = rv::MakeSmartStream<rv::T_ConfigRec>();
    if (record_fuzz::Read(*rec, in)) record_fuzz::CheckRoundTrip(*rec);
    return 0;
}
