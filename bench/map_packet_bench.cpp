// A map transfer packet against plain zlib.
//
// The image: 1 MiB of synthetic map data (tests/group/synthetic_map.h: the sector, wall and sprite records of a
// BUILD-engine map with grid coordinates, a small set of textures and some noise; compresses to about a third).
//
// Record path: a crSendMap packet (T_LgCommStream holding a T_CommFileUpdateCmd with the image) written to a memory
// stream (CRC-32, compressed element at zlib level 9), then read back into a second packet (check value, bounded
// inflation into the image stream). Plain path: compress2 at level 9 into a buffer of compressBound bytes, then
// uncompress into a 1 MiB buffer. Both paths run in every iteration of BM_RecordOverZlib, interleaved, so that the
// ratios (record time / zlib time) come from the same conditions.

#include "group/player_messages.h"
#include "tests/group/synthetic_map.h"

#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <vector>
#include <zlib.h>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMapSize = 1 << 20;

const std::vector<uint8_t>& Map() {
    static const std::vector<uint8_t> map = synthetic_map::MapImage(kMapSize);
    return map;
}

std::unique_ptr<rv::T_LgCommStream> MapPacket() {
    auto p = rv::MakeSmartStream<rv::T_LgCommStream>();
    p->SetStreamItemType(rv::crSendMap);
    auto* cmd = p->ItemAs<rv::T_CommFileUpdateCmd>();
    cmd->MapName = "synthetic.map";
    cmd->sT.MapFileSize = static_cast<int64_t>(kMapSize);
    cmd->MapFileImage.WriteBuffer(Map().data(), static_cast<int64_t>(kMapSize));
    return p;
}

void RecordWrite(rv::T_LgCommStream& Packet, rv::TMemoryStream& Wire) {
    Wire.Clear();
    Packet.SaveToStream(Wire);
}

void RecordRead(rv::TMemoryStream& Wire, rv::T_LgCommStream& Rx) {
    Wire.SetPosition(0);
    Rx.LoadFromStream(Wire);
    if (Rx.ItemAs<rv::T_CommFileUpdateCmd>()->MapFileImage.Size() != static_cast<int64_t>(kMapSize)) std::abort();
}

uLongf ZlibCompress(std::vector<uint8_t>& Out) {
    uLongf n = static_cast<uLongf>(Out.size());
    if (compress2(Out.data(), &n, Map().data(), static_cast<uLong>(kMapSize), 9) != Z_OK) std::abort();
    return n;
}

void ZlibUncompress(const std::vector<uint8_t>& In, uLongf Size, std::vector<uint8_t>& Out) {
    uLongf n = static_cast<uLongf>(Out.size());
    if (uncompress(Out.data(), &n, In.data(), Size) != Z_OK || n != kMapSize) std::abort();
}

void BM_MapPacketWriteRead(benchmark::State& State) {
    auto packet = MapPacket();
    auto rx = rv::MakeSmartStream<rv::T_LgCommStream>();
    rv::TMemoryStream wire;
    for (auto _ : State) {
        RecordWrite(*packet, wire);
        RecordRead(wire, *rx);
    }
    State.counters["packet_bytes"] = static_cast<double>(wire.Size());
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * kMapSize));
}
BENCHMARK(BM_MapPacketWriteRead)->Unit(benchmark::kMillisecond);

void BM_ZlibCompressUncompress(benchmark::State& State) {
    std::vector<uint8_t> packed(compressBound(kMapSize)), plain(kMapSize);
    uLongf n = 0;
    for (auto _ : State) {
        n = ZlibCompress(packed);
        ZlibUncompress(packed, n, plain);
    }
    State.counters["compressed_bytes"] = static_cast<double>(n);
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * kMapSize));
}
BENCHMARK(BM_ZlibCompressUncompress)->Unit(benchmark::kMillisecond);

// The read direction alone: where the record path differs most from plain zlib.
void BM_MapPacketRead(benchmark::State& State) {
    auto packet = MapPacket();
    auto rx = rv::MakeSmartStream<rv::T_LgCommStream>();
    rv::TMemoryStream wire;
    RecordWrite(*packet, wire);
    for (auto _ : State) RecordRead(wire, *rx);
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * kMapSize));
}
BENCHMARK(BM_MapPacketRead)->Unit(benchmark::kMillisecond);

void BM_ZlibUncompress(benchmark::State& State) {
    std::vector<uint8_t> packed(compressBound(kMapSize)), plain(kMapSize);
    const uLongf n = ZlibCompress(packed);
    for (auto _ : State) ZlibUncompress(packed, n, plain);
    State.SetBytesProcessed(static_cast<int64_t>(State.iterations() * kMapSize));
}
BENCHMARK(BM_ZlibUncompress)->Unit(benchmark::kMillisecond);

double Ms(Clock::duration D) { return std::chrono::duration<double, std::milli>(D).count(); }

// Both paths in each iteration; counters are the mean times per path and direction and their ratios.
void BM_RecordOverZlib(benchmark::State& State) {
    auto packet = MapPacket();
    auto rx = rv::MakeSmartStream<rv::T_LgCommStream>();
    rv::TMemoryStream wire;
    std::vector<uint8_t> packed(compressBound(kMapSize)), plain(kMapSize);
    Clock::duration recW{}, recR{}, zW{}, zR{};
    for (auto _ : State) {
        auto t0 = Clock::now();
        RecordWrite(*packet, wire);
        auto t1 = Clock::now();
        RecordRead(wire, *rx);
        auto t2 = Clock::now();
        const uLongf n = ZlibCompress(packed);
        auto t3 = Clock::now();
        ZlibUncompress(packed, n, plain);
        auto t4 = Clock::now();
        recW += t1 - t0;
        recR += t2 - t1;
        zW += t3 - t2;
        zR += t4 - t3;
    }
    const double it = static_cast<double>(State.iterations());
    State.counters["record_write_ms"] = Ms(recW) / it;
    State.counters["record_read_ms"] = Ms(recR) / it;
    State.counters["zlib_compress_ms"] = Ms(zW) / it;
    State.counters["zlib_uncompress_ms"] = Ms(zR) / it;
    State.counters["ratio_write"] = Ms(recW) / Ms(zW);
    State.counters["ratio_read"] = Ms(recR) / Ms(zR);
    State.counters["ratio_total"] = Ms(recW + recR) / Ms(zW + zR);
}
BENCHMARK(BM_RecordOverZlib)->Unit(benchmark::kMillisecond)->MinTime(5.0);

} // namespace
