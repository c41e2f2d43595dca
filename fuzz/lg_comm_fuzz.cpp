// Fuzz target: a player packet (the payload of one TCP packet), read and dispatched as the communicating net
// group does. Map images inflate within a bound smaller than the program's, to keep runs fast.
#include "fuzz/record_fuzz.h"
#include "group/player_messages.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size < 1) return 0;
    const std::vector<uint8_t> in = record_fuzz::Input(Data, Size, record_fuzz::kCrc32);
    static auto packet = [] {
        auto p = rv::MakeSmartStream<rv::T_LgCommStream>();
        p->SetMaxDecompressedSize(4 << 20);
        return p;
    }();
    if (!record_fuzz::Read(*packet, in)) return 0;
    if (packet->StreamItemType() > rv::C_LgCommLastPacketType) return 0;
    if (!packet->si()) __builtin_trap(); // every type has an item
    switch (packet->StreamItemType()) {
    case rv::ccMessage:
        if (!packet->ItemAs<rv::T_LgCommMessage>()) __builtin_trap();
        break;
    case rv::ccSelectMap:
    case rv::ccSendMap:
    case rv::crSendMap:
        if (auto* cmd = packet->ItemAs<rv::T_CommFileUpdateCmd>(); !cmd || cmd->MapFileImage.Size() > (4 << 20))
            __builtin_trap();
        break;
    default:
        break;
    }
    record_fuzz::CheckRoundTrip(*packet);
    return 0;
}
