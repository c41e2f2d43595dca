#pragma once
// A map-like byte image for tests and benchmarks: the sector, wall and sprite records of a BUILD-engine map
// (the format of the game's .map files), with coordinates on a grid, textures from a small set, tags mostly 0 and
// a little noise in the low bits. Compresses partly, as real maps do. Deterministic for a given size and seed.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace synthetic_map {

inline std::vector<uint8_t> MapImage(size_t Size, uint32_t Seed = 1) {
    std::vector<uint8_t> out;
    out.reserve(Size + 64);
    uint32_t x = Seed ? Seed : 1;
    auto rnd = [&x]() {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    auto put = [&out](uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    // Header: version 7, start position, angle, start sector.
    put(7, 4);
    put(32768, 4);
    put(32768, 4);
    put(static_cast<uint32_t>(-8192), 4);
    put(1536, 2);
    put(0, 2);
    static const uint16_t kTextures[] = {0, 4, 12, 183, 184, 250, 341, 342, 400, 788, 789, 1062};
    int n = 0;
    while (out.size() < Size) {
        const uint32_t r = rnd();
        switch (n++ % 4) {
        case 0: // sector, 40 bytes
            put(n * 4, 2);                                  // first wall
            put(4 + (r & 3), 2);                            // wall count
            put(static_cast<uint32_t>(-(8192 << (r & 1))), 4); // ceiling z
            put(8192u * ((r >> 2) & 3), 4);                 // floor z
            put(r & 0x1, 2);                                // ceiling stat
            put(0, 2);                                      // floor stat
            put(kTextures[(r >> 4) % 12], 2);
            put(0, 2);                                      // ceiling slope
            put((r >> 8) & 0x1F, 1);                        // shade
            put(0, 1);
            put(0, 2);
            put(kTextures[(r >> 12) % 12], 2);
            put(0, 2);
            put((r >> 16) & 0x0F, 1);
            put(0, 1);
            put(0, 4);                                      // visibility, filler
            put((r >> 20) & 1 ? 0 : (r >> 21) & 0xFF, 2);   // lotag
            put(0, 2);                                      // hitag
            put(0xFFFF, 2);                                 // extra
            break;
        default: // wall, 32 bytes
            put((static_cast<uint32_t>(rnd() % 64) * 512) - 16384 + (r & 7), 4); // x on a grid
            put((static_cast<uint32_t>(rnd() % 64) * 512) - 16384, 4);           // y
            put(n + 1, 2);                                                     // point2
            put((r & 0x10) ? n ^ 1 : 0xFFFF, 2);                               // next wall
            put((r & 0x10) ? (n >> 2) : 0xFFFF, 2);                            // next sector
            put((r >> 5) & 0x3, 2);                                            // cstat
            put(kTextures[(r >> 7) % 12], 2);
            put(0, 2);
            put((r >> 11) & 0x0F, 1); // shade
            put(0, 1);
            put(8, 1); // repeat
            put(8, 1);
            put(0, 2);
            put(0, 2); // lotag
            put(0, 2); // hitag
            put(0xFFFF, 2);
            break;
        }
    }
    out.resize(Size);
    return out;
}

} // namespace synthetic_map
