#pragma once
// The packet framing of a TCP session, without the socket: a decoder that turns received bytes into packets and
// acknowledgements, and the encoder of headers and acknowledgements for the send side.
//
// Wire format, little-endian, no padding: the byte 0x02 (STX), a 32-bit size word whose bits 0-30 give the payload
// length and whose bit 31 asks for an acknowledgement, then the payload. An acknowledgement is the header alone
// with the flag set and length 0: 02 00 00 00 80. Anything before an STX is discarded. A header announcing more
// than C_MaxPacketSize bytes is refused: the stream cannot be trusted after it, so nothing more is decoded.
//
// Not thread-safe; a session's decoder belongs to the main thread.

#include <algorithm>
#include <cstdint>
#include <memory>

namespace rv {

constexpr uint8_t C_PacketStx = 0x02;
constexpr uint32_t C_PacketHeaderSize = 5;
constexpr uint32_t C_PacketAckFlag = 0x80000000u;
constexpr uint32_t C_MaxPacketSize = 2097152; // 0x200000 bytes of payload

// The 5-byte packet header. Encoded and decoded byte by byte; never laid over the wire as a struct.
struct TWS_ReservedHeader {
    uint8_t HStx = C_PacketStx;
    uint32_t CombinedSize = 0; // bits 0-30 the payload length, bit 31 the acknowledgement flag

    void Encode(uint8_t* Out) const;
    static TWS_ReservedHeader Decode(const uint8_t* In);
    uint32_t PayloadLength() const { return CombinedSize & ~C_PacketAckFlag; }
    bool AckFlag() const { return (CombinedSize & C_PacketAckFlag) != 0; }
};

// Writes the header of a packet of PayloadLen bytes (at most C_MaxPacketSize) to Out (C_PacketHeaderSize bytes).
void EncodePacketHeader(uint32_t PayloadLen, bool AskAck, uint8_t* Out);
// Writes the acknowledgement 02 00 00 00 80 to Out (C_PacketHeaderSize bytes).
void EncodePacketAck(uint8_t* Out);

// Buffers grow to the next whole KiB above what is needed, so they always hold more than the need.
inline uint32_t GrownSize(uint32_t Needed) { return (Needed / 1024 + 1) * 1024; }

// Receiver states; only the packet mode's are built.
enum T_SessionRecState : uint8_t {
    srPacketAvailable = 0, // a packet waits in the buffer to be taken: reception paused
    srWaitStx = 1,
    srSize1 = 2,
    srSize2 = 3,
    srSize3 = 4,
    srSize4 = 5,
    srData = 6,
};

// What a Feed call ended on.
enum T_PacketFeedResult : uint8_t {
    pfNone = 0,         // the bytes were taken; a header or payload goes on
    pfPayloadStart = 1, // a data packet's header ended (AckRequested tells its flag); its payload follows
    pfAck = 2,          // an acknowledgement ended; the decoder waits for the next STX
    pfOversize = 3,     // a header announced more than C_MaxPacketSize: refused until Init
};

// Decodes one stream of packets. It owns the receive buffer: a payload is gathered at Payload(), either copied
// there by Feed or received there directly (PayloadWanted / PayloadSpace / PayloadArrived). A complete packet
// stays in the buffer until NextPacket.
// The buffer grows with the payload bytes that arrive, never with what a header announces: a peer that sends a
// large header and then nothing holds no more than the buffer Init made. Growth doubles the buffer (capped at
// the packet's length) and copies only the payload bytes already gathered, so a packet that fits costs no copy
// beyond the one into the buffer and a large one a few re-allocations.
class TWS_PacketDecoder {
public:
    // Allocates the buffer (MinBufferSize bytes) unless it exists, and waits for an STX: a fresh stream.
    void Init(uint32_t MinBufferSize);
    // The packet in the buffer (or none) is done: waits for the next STX.
    void NextPacket() {
        FState = srWaitStx;
        FPayloadDone = 0;
        FPayloadLeft = 0;
    }
    // Reception paused: the packet in the buffer is kept, nothing is decoded until NextPacket.
    void Hold() { FState = srPacketAvailable; }

    // Takes bytes from Data up to the end of one header or one payload, whichever comes first, and returns how
    // many it took. Payload bytes are copied into the buffer. In srPacketAvailable, or after a refused header,
    // it takes nothing.
    uint32_t Feed(const uint8_t* Data, uint32_t Len, T_PacketFeedResult& Result);

    // In srData: the payload bytes still to come.
    uint32_t PayloadLeft() const { return FPayloadLeft; }
    // In srData, for a direct read: the payload bytes the buffer has room for now (growing it first when it is
    // full), at most PayloadLeft; a read may fill that many at PayloadSpace, then reports them with
    // PayloadArrived.
    uint32_t PayloadWanted() {
        if (FPayloadLeft > 0 && FPayloadDone == FBufferSize) Grow(FPayloadDone + 1);
        return std::min(FPayloadLeft, FBufferSize - FPayloadDone);
    }
    uint8_t* PayloadSpace() { return FBuffer.get() + FPayloadDone; }
    void PayloadArrived(uint32_t N) {
        FPayloadDone += N;
        FPayloadLeft -= N;
    }

    // The whole payload is in the buffer.
    bool PacketComplete() const { return FState == srData && FPayloadLeft == 0; }
    const uint8_t* Payload() const { return FBuffer.get(); }
    // The payload length once a header ended; during a header, the size word's bytes gathered so far.
    uint32_t PayloadLength() const { return FRecPacketSize; }
    // The last data header asked for an acknowledgement.
    bool AckRequested() const { return FAckFlag; }
    bool Refused() const { return FRefused; }
    T_SessionRecState State() const { return FState; }
    bool HasBuffer() const { return FBuffer != nullptr; }
    // The present size of the buffer (0 before Init); it never shrinks.
    uint32_t BufferSize() const { return FBufferSize; }

private:
    // The size word is complete: acknowledgement, refusal or the start of a payload.
    T_PacketFeedResult HeaderComplete();
    // Makes room for Needed payload bytes (at most the packet's length), keeping those already gathered.
    void Grow(uint32_t Needed);

    std::unique_ptr<uint8_t[]> FBuffer;
    uint32_t FBufferSize = 0;
    T_SessionRecState FState = srWaitStx;
    uint32_t FRecPacketSize = 0;
    uint32_t FPayloadDone = 0; // payload bytes in the buffer
    uint32_t FPayloadLeft = 0; // payload bytes still wanted (srData)
    bool FAckFlag = false;
    bool FRefused = false;
};

} // namespace rv
