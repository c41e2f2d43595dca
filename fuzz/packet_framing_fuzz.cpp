// Fuzz target: the packet decoder on an arbitrary byte stream. The input is decoded whole, then in chunks whose
// sizes come from the input itself, once through Feed and once with payloads received directly into the buffer
// as a session does; all three must give the same packets, acknowledgements and end. Every packet re-encodes to
// bytes that decode to the same packet, and no payload exceeds the limit.
#include "net/packet_framing.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct TEvent {
    bool Ack = false;     // an acknowledgement, else a data packet
    bool AskAck = false;  // the data packet asks for an acknowledgement
    std::string Payload;
    bool operator==(const TEvent&) const = default;
};

struct TDecoded {
    std::vector<TEvent> Events;
    bool Refused = false;
    rv::T_SessionRecState EndState = rv::srWaitStx;
    uint32_t EndWanted = 0;
    bool operator==(const TDecoded&) const = default;
};

// Chunk lengths drawn from a generator seeded with the input's hash: small chunks cut headers everywhere,
// large ones take several packets at once.
class TChunks {
public:
    TChunks(const uint8_t* Data, size_t Size) {
        for (size_t i = 0; i < Size; ++i) FState = (FState ^ Data[i]) * 0x100000001b3ull;
        FState |= 1;
    }
    size_t Next() {
        FState ^= FState << 13;
        FState ^= FState >> 7;
        FState ^= FState << 17;
        const uint64_t r = FState >> 32;
        return (r & 3) == 0 ? 1 + (r >> 2) % 2048 : 1 + (r >> 2) % 7;
    }

private:
    uint64_t FState = 0xcbf29ce484222325ull;
};

// Feeds Data in chunks (Chunks null: whole). With Direct, payload bytes go through PayloadSpace / PayloadArrived.
TDecoded Decode(const uint8_t* Data, size_t Size, TChunks* Chunks, bool Direct) {
    rv::TWS_PacketDecoder d;
    d.Init(64);
    TDecoded out;
    auto takePacket = [&] {
        if (!d.PacketComplete()) return;
        TEvent e;
        e.AskAck = d.AckRequested();
        e.Payload.assign(reinterpret_cast<const char*>(d.Payload()), d.PayloadLength());
        out.Events.push_back(std::move(e));
        d.NextPacket();
    };
    size_t at = 0;
    while (at < Size && !out.Refused) {
        const size_t end = Chunks ? std::min(Size, at + Chunks->Next()) : Size;
        while (at < end) {
            if (Direct && d.State() == rv::srData && d.PayloadWanted() > 0) {
                const auto n = static_cast<uint32_t>(std::min<size_t>(d.PayloadWanted(), end - at));
                std::memcpy(d.PayloadSpace(), Data + at, n);
                d.PayloadArrived(n);
                at += n;
                takePacket();
                continue;
            }
            rv::T_PacketFeedResult r;
            const uint32_t n = d.Feed(Data + at, static_cast<uint32_t>(end - at), r);
            at += n;
            if (r == rv::pfAck) out.Events.push_back(TEvent{true, false, {}});
            if (r == rv::pfOversize) {
                out.Refused = true;
                // Refused for good: nothing more is taken.
                if (at < Size && d.Feed(Data + at, static_cast<uint32_t>(Size - at), r) != 0) __builtin_trap();
                break;
            }
            if (n == 0) __builtin_trap(); // a decoder that takes nothing would stall its session
            takePacket();
        }
    }
    out.EndState = d.State();
    out.EndWanted = d.PayloadLeft();
    return out;
}

std::string Encode(const TEvent& E) {
    uint8_t head[rv::C_PacketHeaderSize];
    if (E.Ack)
        rv::EncodePacketAck(head);
    else
        rv::EncodePacketHeader(static_cast<uint32_t>(E.Payload.size()), E.AskAck, head);
    return std::string(reinterpret_cast<const char*>(head), sizeof head) + E.Payload;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const TDecoded whole = Decode(Data, Size, nullptr, false);
    TChunks fed(Data, Size), direct(Data, Size);
    if (!(Decode(Data, Size, &fed, false) == whole)) __builtin_trap();
    if (!(Decode(Data, Size, &direct, true) == whole)) __builtin_trap();

    std::string again;
    for (const TEvent& e : whole.Events) {
        if (e.Payload.size() > rv::C_MaxPacketSize) __builtin_trap();
        // An empty packet with the flag would be an acknowledgement on the wire: the decoder never makes one.
        if (!e.Ack && e.AskAck && e.Payload.empty()) __builtin_trap();
        const std::string one = Encode(e);
        const TDecoded back = Decode(reinterpret_cast<const uint8_t*>(one.data()), one.size(), nullptr, false);
        if (back.Events.size() != 1 || !(back.Events[0] == e) || back.Refused || back.EndState != rv::srWaitStx)
            __builtin_trap();
        again += one;
    }
    // The whole sequence re-encoded decodes to the same sequence.
    const TDecoded all = Decode(reinterpret_cast<const uint8_t*>(again.data()), again.size(), nullptr, false);
    if (!(all.Events == whole.Events) || all.Refused) __builtin_trap();
    return 0;
}
