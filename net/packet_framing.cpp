#include "net/packet_framing.h"

#include <algorithm>
#include <cstring>

namespace rv {

// --- Encoding -------------------------------------------------------------------------------------------------

void TWS_ReservedHeader::Encode(uint8_t* Out) const {
    Out[0] = HStx;
    Out[1] = static_cast<uint8_t>(CombinedSize);
    Out[2] = static_cast<uint8_t>(CombinedSize >> 8);
    Out[3] = static_cast<uint8_t>(CombinedSize >> 16);
    Out[4] = static_cast<uint8_t>(CombinedSize >> 24);
}

TWS_ReservedHeader TWS_ReservedHeader::Decode(const uint8_t* In) {
    TWS_ReservedHeader h;
    h.HStx = In[0];
    h.CombinedSize = static_cast<uint32_t>(In[1]) | static_cast<uint32_t>(In[2]) << 8 |
                     static_cast<uint32_t>(In[3]) << 16 | static_cast<uint32_t>(In[4]) << 24;
    return h;
}

void EncodePacketHeader(uint32_t PayloadLen, bool AskAck, uint8_t* Out) {
    TWS_ReservedHeader{C_PacketStx, PayloadLen | (AskAck ? C_PacketAckFlag : 0u)}.Encode(Out);
}

void EncodePacketAck(uint8_t* Out) { TWS_ReservedHeader{C_PacketStx, C_PacketAckFlag}.Encode(Out); }

// --- Decoding -------------------------------------------------------------------------------------------------

void TWS_PacketDecoder::Init(uint32_t MinBufferSize) {
    if (!FBuffer) {
        FBufferSize = MinBufferSize;
        FBuffer = std::make_unique<uint8_t[]>(FBufferSize);
    }
    NextPacket();
    FAckFlag = false;
    FRefused = false;
}

uint32_t TWS_PacketDecoder::Feed(const uint8_t* Data, uint32_t Len, T_PacketFeedResult& Result) {
    Result = pfNone;
    if (FRefused) {
        Result = pfOversize;
        return 0;
    }
    if (FState == srData) {
        const uint32_t n = std::min(Len, FPayloadLeft);
        if (FPayloadDone + n > FBufferSize) Grow(FPayloadDone + n);
        if (n) std::memcpy(FBuffer.get() + FPayloadDone, Data, n);
        PayloadArrived(n);
        return n;
    }
    // Header bytes one by one, stopping where the header ends: what follows is payload or the next packet.
    uint32_t i = 0;
    while (i < Len) {
        const uint8_t b = Data[i];
        switch (FState) {
        case srWaitStx:
            if (b == C_PacketStx) {
                FState = srSize1;
                FRecPacketSize = 0;
            }
            break; // anything before an STX is discarded
        case srSize1:
        case srSize2:
        case srSize3:
        case srSize4:
            FRecPacketSize |= static_cast<uint32_t>(b) << (8 * (FState - srSize1));
            FState = static_cast<T_SessionRecState>(FState + 1);
            break;
        default: return i; // paused: nothing is taken
        }
        ++i;
        if (FState == srData) {
            Result = HeaderComplete();
            break;
        }
    }
    return i;
}

T_PacketFeedResult TWS_PacketDecoder::HeaderComplete() {
    FAckFlag = (FRecPacketSize & C_PacketAckFlag) != 0;
    FRecPacketSize &= ~C_PacketAckFlag;
    if (FAckFlag && FRecPacketSize == 0) {
        // An acknowledgement: header only.
        FAckFlag = false;
        NextPacket();
        return pfAck;
    }
    if (FRecPacketSize > C_MaxPacketSize) {
        // No sender of this program sends so much; cutting the length would leave the stream out of step, so
        // the rest of the stream is refused instead.
        FAckFlag = false;
        FRecPacketSize = 0;
        FRefused = true;
        NextPacket();
        return pfOversize;
    }
    // The buffer grows as the payload arrives (Grow), not here.
    FPayloadDone = 0;
    FPayloadLeft = FRecPacketSize;
    return pfPayloadStart;
}

void TWS_PacketDecoder::Grow(uint32_t Needed) {
    // Doubling keeps the re-allocations of a large packet few; the cap keeps the buffer at what the peer sent.
    const uint32_t size = std::min(std::max(Needed, FBufferSize * 2), std::max(Needed, FRecPacketSize));
    if (size <= FBufferSize) return; // never shrinks
    auto grown = std::make_unique_for_overwrite<uint8_t[]>(size);
    if (FPayloadDone) std::memcpy(grown.get(), FBuffer.get(), FPayloadDone);
    FBuffer = std::move(grown);
    FBufferSize = size;
}

} // namespace rv
