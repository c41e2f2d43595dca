// The packet framing without sockets: the decoder fed byte tables in every chunking, the size limit, direct
// payload reads, and the encoder's bytes.

#include "net/packet_framing.h"

#include "tests/net/session_test_support.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using session_testing::Hex;
using session_testing::Pattern;

namespace {

// What a stream decoded to, in order: "ack", "data <payload>", "data! <payload>" (the sender asks for an
// acknowledgement), "refused" (and nothing after it).
struct TDecoded {
    std::vector<std::string> Events;
    rv::T_SessionRecState EndState = rv::srWaitStx;
};

// Feeds Wire in pieces of the given lengths, the rest as a last piece. With Direct, payload bytes go straight into
// the decoder's buffer as a session's direct read puts them, instead of through Feed.
TDecoded Decode(const std::string& Wire, const std::vector<size_t>& Pieces = {}, bool Direct = false) {
    rv::TWS_PacketDecoder d;
    d.Init(64);
    TDecoded out;
    const auto* bytes = reinterpret_cast<const uint8_t*>(Wire.data());
    auto takePacket = [&] {
        if (!d.PacketComplete()) return;
        out.Events.push_back((d.AckRequested() ? "data! " : "data ") +
                             std::string(reinterpret_cast<const char*>(d.Payload()), d.PayloadLength()));
        d.NextPacket();
    };
    std::vector<size_t> ends;
    size_t at = 0;
    for (size_t p : Pieces) ends.push_back(at = std::min(at + p, Wire.size()));
    ends.push_back(Wire.size());
    at = 0;
    for (size_t end : ends) {
        while (at < end) {
            if (Direct && d.State() == rv::srData && d.PayloadWanted() > 0) {
                const auto n = static_cast<uint32_t>(std::min<size_t>(d.PayloadWanted(), end - at));
                std::memcpy(d.PayloadSpace(), bytes + at, n);
                d.PayloadArrived(n);
                at += n;
                takePacket();
                continue;
            }
            rv::T_PacketFeedResult r;
            const uint32_t n = d.Feed(bytes + at, static_cast<uint32_t>(end - at), r);
            at += n;
            if (r == rv::pfAck) out.Events.push_back("ack");
            if (r == rv::pfOversize) {
                out.Events.push_back("refused");
                out.EndState = d.State();
                return out;
            }
            if (n == 0) {
                ADD_FAILURE() << "the decoder took nothing at " << at;
                return out;
            }
            takePacket();
        }
    }
    out.EndState = d.State();
    return out;
}

using TEvents = std::vector<std::string>;

struct TCase {
    const char* Name;
    std::string Wire;
    TEvents Want;
};

std::vector<TCase> Cases() {
    const std::string ack = Hex("02 00 00 00 80");
    return {
        {"garbage before the start byte", Hex("41 00 ff 80 00 00 00 80") + Hex("02 03 00 00 00") + "abc",
         {"data abc"}},
        {"garbage between packets", Hex("02 01 00 00 00") + "a" + Hex("00 00 00 80 ff") + Hex("02 01 00 00 00") + "b",
         {"data a", "data b"}},
        {"an acknowledgement alone", ack, {"ack"}},
        {"acknowledgements between packets",
         ack + Hex("02 01 00 00 00") + "a" + ack + ack + Hex("02 01 00 00 00") + "b",
         {"ack", "data a", "ack", "ack", "data b"}},
        {"a data packet asking for an acknowledgement", Hex("02 03 00 00 80") + "abc", {"data! abc"}},
        {"an empty payload without the flag", Hex("02 00 00 00 00") + Hex("02 00 00 00 00"), {"data ", "data "}},
        {"a payload holding start bytes and headers", Hex("02 05 00 00 00") + ack, {"data " + ack}},
        {"several packets in one feed",
         Hex("02 02 00 00 00") + "ab" + Hex("02 00 00 00 00") + Hex("02 01 00 00 80") + "c" + ack,
         {"data ab", "data ", "data! c", "ack"}},
        {"a size word with the top byte's lower bits set is oversize", Hex("02 00 00 00 01") + "never", {"refused"}},
        {"oversize with the flag", Hex("02 01 00 20 80") + ack, {"refused"}},
        {"nothing after a refused header", Hex("02 01 00 20 00") + Hex("02 01 00 00 00") + "a" + ack,
         {"refused"}},
    };
}

} // namespace

TEST(PacketHeader, EncodesLittleEndianWithTheFlagInTheTopBit) {
    struct TCase {
        uint32_t Combined;
        std::string Wire;
    } cases[] = {
        {3 | rv::C_PacketAckFlag, "02 03 00 00 80"},
        {rv::C_PacketAckFlag, "02 00 00 00 80"},
        {0x00123456, "02 56 34 12 00"},
        {rv::C_MaxPacketSize, "02 00 00 20 00"},
    };
    for (const TCase& c : cases) {
        uint8_t out[rv::C_PacketHeaderSize];
        rv::TWS_ReservedHeader{rv::C_PacketStx, c.Combined}.Encode(out);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), sizeof out), Hex(c.Wire)) << c.Wire;
        rv::TWS_ReservedHeader back = rv::TWS_ReservedHeader::Decode(out);
        EXPECT_EQ(back.HStx, rv::C_PacketStx);
        EXPECT_EQ(back.CombinedSize, c.Combined);
    }
}

TEST(PacketEncoder, WritesHeadersAndTheAcknowledgementAsFixedBytes) {
    struct TCase {
        uint32_t Len;
        bool Ack;
        std::string Wire;
    } cases[] = {
        {3, true, "02 03 00 00 80"},
        {3, false, "02 03 00 00 00"},
        {0, false, "02 00 00 00 00"},
        {0x00123456, false, "02 56 34 12 00"},
        {rv::C_MaxPacketSize, true, "02 00 00 20 80"},
    };
    uint8_t out[rv::C_PacketHeaderSize];
    for (const TCase& c : cases) {
        rv::EncodePacketHeader(c.Len, c.Ack, out);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), sizeof out), Hex(c.Wire)) << c.Wire;
    }
    rv::EncodePacketAck(out);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), sizeof out), Hex("02 00 00 00 80"));
}

TEST(PacketDecoder, DecodesEveryTableWholeAndCutAnywhere) {
    for (const TCase& c : Cases()) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(Decode(c.Wire).Events, c.Want);
        EXPECT_EQ(Decode(c.Wire, std::vector<size_t>(c.Wire.size(), 1)).Events, c.Want) << "byte by byte";
        EXPECT_EQ(Decode(c.Wire, std::vector<size_t>(c.Wire.size(), 1), true).Events, c.Want) << "direct";
        // Every cut into three pieces, so each header and payload is split at every point.
        for (size_t i = 1; i < c.Wire.size(); ++i)
            for (size_t j = i; j < c.Wire.size(); ++j) {
                ASSERT_EQ(Decode(c.Wire, {i, j - i}).Events, c.Want) << "cut at " << i << ", " << j;
                ASSERT_EQ(Decode(c.Wire, {i, j - i}, true).Events, c.Want) << "direct, cut at " << i << ", " << j;
            }
    }
}

TEST(PacketDecoder, StopsAtTheEndOfEachHeaderAndPayloadAndTellsItsState) {
    rv::TWS_PacketDecoder d;
    d.Init(64);
    const std::string wire = Hex("ff 02 03 00 00 80") + "abc" + "z";
    const auto* b = reinterpret_cast<const uint8_t*>(wire.data());
    const rv::T_SessionRecState after[] = {rv::srWaitStx, rv::srSize1, rv::srSize2, rv::srSize3, rv::srSize4};
    rv::T_PacketFeedResult r;
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(d.Feed(b + i, 1, r), 1u);
        EXPECT_EQ(r, rv::pfNone);
        EXPECT_EQ(d.State(), after[i]) << i;
    }
    // The last header byte ends the header: the payload is not taken in the same call.
    EXPECT_EQ(d.Feed(b + 5, static_cast<uint32_t>(wire.size() - 5), r), 1u);
    EXPECT_EQ(r, rv::pfPayloadStart);
    EXPECT_EQ(d.State(), rv::srData);
    EXPECT_TRUE(d.AckRequested());
    EXPECT_EQ(d.PayloadLength(), 3u);
    EXPECT_EQ(d.PayloadWanted(), 3u);
    // The payload is taken up to its end, not into the next packet.
    EXPECT_EQ(d.Feed(b + 6, 4, r), 3u);
    EXPECT_TRUE(d.PacketComplete());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.Payload()), 3), "abc");
    // Held, it takes nothing until the next packet is asked for; the payload stays.
    d.Hold();
    EXPECT_EQ(d.Feed(b + 9, 1, r), 0u);
    EXPECT_EQ(d.State(), rv::srPacketAvailable);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.Payload()), 3), "abc");
    d.NextPacket();
    EXPECT_EQ(d.State(), rv::srWaitStx);
    EXPECT_EQ(d.Feed(b + 9, 1, r), 1u); // discarded before an STX
    EXPECT_EQ(d.State(), rv::srWaitStx);
}

TEST(PacketDecoder, TakesAPayloadOfExactlyTheLimitAndRefusesOneByteMore) {
    const std::string largest = Pattern(rv::C_MaxPacketSize, 5);
    std::string wire(rv::C_PacketHeaderSize, '\0');
    rv::EncodePacketHeader(rv::C_MaxPacketSize, false, reinterpret_cast<uint8_t*>(wire.data()));
    wire += largest;
    const TDecoded ok = Decode(wire, {3, 70000});
    ASSERT_EQ(ok.Events.size(), 1u);
    EXPECT_TRUE(ok.Events[0] == "data " + largest);

    // One byte more: refused at the header, and the stream stays refused until Init.
    rv::TWS_PacketDecoder d;
    d.Init(64);
    const std::string over = Hex("02 01 00 20 00") + Hex("02 01 00 00 00") + "a";
    const auto* b = reinterpret_cast<const uint8_t*>(over.data());
    rv::T_PacketFeedResult r;
    EXPECT_EQ(d.Feed(b, static_cast<uint32_t>(over.size()), r), rv::C_PacketHeaderSize);
    EXPECT_EQ(r, rv::pfOversize);
    EXPECT_TRUE(d.Refused());
    EXPECT_EQ(d.PayloadLength(), 0u);
    EXPECT_EQ(d.BufferSize(), 64u); // nothing allocated for the announced size
    EXPECT_EQ(d.Feed(b + 5, 6, r), 0u);
    EXPECT_EQ(r, rv::pfOversize);
    EXPECT_FALSE(d.PacketComplete());
    d.Init(64);
    EXPECT_EQ(d.Feed(b + 5, 6, r), 5u);
    EXPECT_EQ(r, rv::pfPayloadStart);
    EXPECT_FALSE(d.Refused());
}

TEST(PacketDecoder, AHeaderReservesNothingTheBufferGrowsWithTheBytesThatArrive) {
    rv::TWS_PacketDecoder d;
    EXPECT_EQ(d.BufferSize(), 0u);
    d.Init(4096);
    EXPECT_EQ(d.BufferSize(), 4096u);
    uint8_t head[rv::C_PacketHeaderSize];
    rv::EncodePacketHeader(rv::C_MaxPacketSize, false, head);
    rv::T_PacketFeedResult r;
    ASSERT_EQ(d.Feed(head, sizeof head, r), rv::C_PacketHeaderSize);
    ASSERT_EQ(r, rv::pfPayloadStart);
    EXPECT_EQ(d.BufferSize(), 4096u); // the announced 2 MiB are not reserved
    EXPECT_EQ(d.PayloadLeft(), rv::C_MaxPacketSize);
    // A direct read is offered the room there is, not the announced length.
    EXPECT_EQ(d.PayloadWanted(), 4096u);
    EXPECT_EQ(d.BufferSize(), 4096u);
    const std::string part = Pattern(4097, 9);
    EXPECT_EQ(d.Feed(reinterpret_cast<const uint8_t*>(part.data()), 4096, r), 4096u);
    EXPECT_EQ(d.BufferSize(), 4096u);
    // Full: the next byte doubles it, keeping what was gathered.
    EXPECT_EQ(d.Feed(reinterpret_cast<const uint8_t*>(part.data()) + 4096, 1, r), 1u);
    EXPECT_EQ(d.BufferSize(), 8192u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d.Payload()), part.size()), part);
    EXPECT_EQ(d.PayloadWanted(), 8192u - 4097u);
    // A fresh connection keeps the buffer; it never shrinks.
    d.Init(4096);
    EXPECT_EQ(d.BufferSize(), 8192u);
}

TEST(PacketDecoder, PacketsOfEverySizeArriveWholeWithFewGrowthSteps) {
    enum TMode { Whole, ByteByByte, Direct };
    const uint32_t sizes[] = {0, 1, 511, 4095, 4096, 4097, 8192, 8193, 65539, 1048576, rv::C_MaxPacketSize};
    for (TMode mode : {Whole, ByteByByte, Direct}) {
        for (uint32_t len : sizes) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << ", " << len << " bytes");
            const std::string payload = Pattern(len, len + 3);
            std::string wire(rv::C_PacketHeaderSize, '\0');
            rv::EncodePacketHeader(len, false, reinterpret_cast<uint8_t*>(wire.data()));
            wire += payload;
            const auto* b = reinterpret_cast<const uint8_t*>(wire.data());
            rv::TWS_PacketDecoder d;
            d.Init(4096);
            rv::T_PacketFeedResult r;
            ASSERT_EQ(d.Feed(b, static_cast<uint32_t>(wire.size()), r), rv::C_PacketHeaderSize);
            size_t at = rv::C_PacketHeaderSize;
            int steps = 0;
            uint32_t size = d.BufferSize();
            while (!d.PacketComplete()) {
                ASSERT_LT(at, wire.size());
                uint32_t n = 0;
                if (mode == Direct) {
                    n = d.PayloadWanted();
                    ASSERT_GT(n, 0u);
                    ASSERT_LE(n, d.BufferSize());
                    std::memcpy(d.PayloadSpace(), b + at, n);
                    d.PayloadArrived(n);
                } else {
                    const uint32_t offer = mode == Whole ? static_cast<uint32_t>(wire.size() - at) : 1u;
                    n = d.Feed(b + at, offer, r);
                    ASSERT_EQ(r, rv::pfNone);
                }
                at += n;
                if (d.BufferSize() != size) {
                    ++steps;
                    // Grown by the bytes that came: never more than twice them, never past the packet.
                    EXPECT_LE(d.BufferSize(), 2 * (at - rv::C_PacketHeaderSize));
                    EXPECT_LE(d.BufferSize(), std::max<uint32_t>(len, 4096));
                    size = d.BufferSize();
                }
            }
            EXPECT_EQ(at, wire.size());
            ASSERT_EQ(d.PayloadLength(), len);
            EXPECT_TRUE(std::string(reinterpret_cast<const char*>(d.Payload()), len) == payload);
            EXPECT_EQ(d.BufferSize(), std::max<uint32_t>(len, 4096));
            // A packet that fits costs no growth; 2 MiB from 4 KiB doubles at most nine times.
            int most = 0;
            for (uint64_t s = 4096; s < len; s *= 2) ++most;
            EXPECT_LE(steps, most);
            if (len <= 4096) {
                EXPECT_EQ(steps, 0);
            }
        }
    }
}

TEST(PacketDecoder, WhatTheEncoderWritesDecodesToTheSamePacket) {
    for (uint32_t len : {0u, 1u, 4u, 511u, 4096u, 70000u}) {
        for (bool ask : {false, true}) {
            const std::string payload = Pattern(len, len);
            std::string wire(rv::C_PacketHeaderSize, '\0');
            rv::EncodePacketHeader(len, ask, reinterpret_cast<uint8_t*>(wire.data()));
            wire += payload;
            // An empty packet with the flag is, on the wire, an acknowledgement.
            const TEvents want = len == 0 && ask ? TEvents{"ack"} : TEvents{(ask ? "data! " : "data ") + payload};
            EXPECT_TRUE(Decode(wire, {2, 513}).Events == want) << len << " " << ask;
        }
    }
    std::string ack(rv::C_PacketHeaderSize, '\0');
    rv::EncodePacketAck(reinterpret_cast<uint8_t*>(ack.data()));
    EXPECT_EQ(Decode(ack).Events, TEvents{"ack"});
}
