#pragma once
// Shared parts of the fuzz targets of the program's records.
//
// Input: one control byte, then the bytes as they arrive from a file or the network. Control bit 0 asks for the
// check value in front of the bytes to be recomputed before reading, so that the element readers behind the
// check are reached too; without it the bytes are read as they are (the check itself is then fuzzed).
//
// Errors with the program's fixed texts (ERV_Error) are the readers' normal answer to bad input; anything else
// (a crash, a sanitizer report, another exception, runaway memory) is a finding.

#include "stream/check_values.h"
#include "stream/little_endian.h"
#include "stream/smart_stream.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace record_fuzz {

enum TCheck { kCrc32 = 4, kCrc16 = 2 };

// The input after the control byte, with its check value recomputed when the control byte asks for it.
inline std::vector<uint8_t> Input(const uint8_t* Data, size_t Size, TCheck Check) {
    std::vector<uint8_t> in(Data + 1, Data + Size);
    const size_t w = Check;
    if ((Data[0] & 1) && in.size() >= w) {
        if (Check == kCrc32)
            rv::PutLE<uint32_t>(in.data(), rv::Crc32OfBuffer(in.data() + w, in.size() - w));
        else if (in.size() - w <= 0xFFFF)
            rv::PutLE<uint16_t>(in.data(), rv::Crc16UsbOfBuffer(in.data() + w, in.size() - w));
    }
    return in;
}

// Reads R from the bytes; false on a failed read or a fixed-text error.
inline bool Read(rv::TRV_SmartStream& R, const std::vector<uint8_t>& In) {
    rv::TRV_BlockMemoryStream src(In.data(), static_cast<int64_t>(In.size()));
    try {
        return R.ReadFromStream(src);
    } catch (const rv::ERV_Error&) {
        return false;
    }
}

// What was read writes again, and reads back to a record that writes the same bytes.
template <class T>
void CheckRoundTrip(T& R) {
    rv::TMemoryStream again;
    R.SaveToStream(again);
    again.SetPosition(0);
    auto copy = rv::MakeSmartStream<T>();
    copy->SetMaxDecompressedSize(R.MaxDecompressedSize());
    copy->LoadFromStream(again);
    if (!copy->Compare(R)) __builtin_trap();
}

} // namespace record_fuzz
