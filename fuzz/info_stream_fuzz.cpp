// Fuzz target: an info stream as a discovery datagram or the payload of a TCP answer, and the group message it
// carries, read as the membership layer reads it.
#include "fuzz/record_fuzz.h"
#include "group/info_stream.h"
#include "group/net_group_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 1) return 0;
    const std::vector<uint8_t> in = record_fuzz::Input(Data, Size, record_fuzz::kCrc16);
    static auto info = rv::MakeSmartStream<rv::T_UpdInfoStream>();
    static auto group = rv::MakeSmartStream<rv::T_NetGroupInfoR>();
    if (!record_fuzz::Read(*info, in)) return 0;
    record_fuzz::CheckRoundTrip(*info);
    rv::TMemoryStream& payload = info->AppDataStream;
    const std::vector<uint8_t> app(payload.Memory(), payload.Memory() + payload.Size());
    if (record_fuzz::Read(*group, app)) {
        record_fuzz::CheckRoundTrip(*group);
    }
    return 0;
}
