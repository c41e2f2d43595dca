// Fuzz target: the group message on its own (the payload of an info stream), so that its readers are reached
// without first passing the info stream's check value.
#include "fuzz/record_fuzz.h"
#include "group/net_group_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 1) return 0;
    const std::vector<uint8_t> in = record_fuzz::Input(Data, Size, record_fuzz::kCrc32);
    static auto group = rv::MakeSmartStream<rv::T_NetGroupInfoR>();
    if (!record_fuzz::Read(*group, in)) return 0;
    record_fuzz::CheckRoundTrip(*group);
    for (int i = 0; i < group->Members.Count(); ++i) {
        const rv::T_NetGroupMember* m = group->Members.GetItem(i);
        if (!m || (m->sT.MemberIpAddress >> 32) != 0) continue;
        // A plain address is always found, at its own index or a later duplicate.
        if (group->Members.IndexOfIp(static_cast<rv::T_NumericIpAddress>(m->sT.MemberIpAddress)) < i) __builtin_trap();
    }
    return 0;
}
