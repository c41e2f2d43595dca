#include "stream/check_values.h"

#include "stream/stream_errors.h"

#include <algorithm>
#include <array>
#include <vector>
#include <zlib.h>

namespace rv {

namespace {

constexpr int64_t kChunk = 16384;

constexpr std::array<uint16_t, 256> MakeCrc16Table() {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xA001u : c >> 1;
        t[i] = static_cast<uint16_t>(c);
    }
    return t;
}
constexpr std::array<uint16_t, 256> kCrc16Table = MakeCrc16Table();

uint16_t Crc16Update(uint16_t crc, const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ kCrc16Table[(crc ^ p[i]) & 0xFF]);
    return crc;
}

} // namespace

uint32_t Crc32OfBuffer(const void* Data, size_t Size, uint32_t Crc) {
    // zlib's crc32 takes a 32-bit length; feed it in pieces.
    auto* p = static_cast<const Bytef*>(Data);
    uLong crc = Crc;
    while (Size > 0) {
        auto n = static_cast<uInt>(std::min<size_t>(Size, 1u << 30));
        crc = crc32(crc, p, n);
        p += n;
        Size -= n;
    }
    return static_cast<uint32_t>(crc);
}

uint16_t Crc16UsbOfBuffer(const void* Data, size_t Size) {
    return static_cast<uint16_t>(~Crc16Update(0xFFFF, static_cast<const uint8_t*>(Data), Size));
}

uint32_t CCITT_CRC32OfStream(TStream& Stream, int64_t Count) {
    std::vector<uint8_t> buf(static_cast<size_t>(std::clamp<int64_t>(Count, 0, kChunk)));
    uint32_t crc = 0;
    while (Count > 0) {
        int64_t got = Stream.Read(buf.data(), std::min(Count, kChunk));
        if (got <= 0) break;
        crc = Crc32OfBuffer(buf.data(), static_cast<size_t>(got), crc);
        Count -= got;
    }
    return crc;
}

uint16_t CCITT_CRC16OfStream(TStream& Stream, int64_t Count) {
    if (Count < 0 || Count > 0xFFFF) throw ERV_RangeError();
    std::vector<uint8_t> buf(static_cast<size_t>(std::min(Count, kChunk)));
    uint16_t crc = 0xFFFF;
    while (Count > 0) {
        int64_t got = Stream.Read(buf.data(), std::min(Count, kChunk));
        if (got <= 0) throw EStreamError(C_ErrCrc16PrematureEnd);
        crc = Crc16Update(crc, buf.data(), static_cast<size_t>(got));
        Count -= got;
    }
    return static_cast<uint16_t>(~crc);
}

} // namespace rv
