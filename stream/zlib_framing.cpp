#include "stream/zlib_framing.h"

#include "stream/little_endian.h"

#include <algorithm>
#include <memory>
#include <vector>
#include <zlib.h>

namespace rv {

namespace {

constexpr int64_t kChunk = 32768;

struct TDeflateEnd {
    void operator()(z_stream* z) const {
        deflateEnd(z);
        delete z;
    }
};
struct TInflateEnd {
    void operator()(z_stream* z) const {
        inflateEnd(z);
        delete z;
    }
};

} // namespace

bool CompressStreamToStream(TStream& Source, TStream& Dest, uint32_t Id, TRV_Progress* Progress) {
    int64_t size = Source.Size();
    if (size < 0 || size > 0xFFFFFFFFll) return false;

    uint8_t header[C_CompressedTaggedHeaderSize];
    int n = 0;
    if (Id != 0) {
        PutLE<uint32_t>(header, C_CompressedTag);
        n = 4;
    }
    PutLE<uint32_t>(header + n, Id);
    PutLE<uint32_t>(header + n + 4, static_cast<uint32_t>(size));
    PutLE<uint32_t>(header + n + 8, 0);
    Dest.WriteBuffer(header, n + 12);

    auto* raw = new z_stream{};
    if (deflateInit2(raw, Z_BEST_COMPRESSION, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        delete raw;
        return false;
    }
    std::unique_ptr<z_stream, TDeflateEnd> z(raw);

    std::vector<uint8_t> in(static_cast<size_t>(kChunk)), out(static_cast<size_t>(kChunk));
    Source.SetPosition(0);
    int64_t left = size;
    int flush = Z_NO_FLUSH;
    do {
        int64_t want = std::min(left, kChunk);
        int64_t got = want > 0 ? Source.Read(in.data(), want) : 0;
        if (got < want) return false; // the source shrank under us
        left -= got;
        z->next_in = in.data();
        z->avail_in = static_cast<uInt>(got);
        flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            z->next_out = out.data();
            z->avail_out = static_cast<uInt>(kChunk);
            int rc = deflate(z.get(), flush);
            if (rc == Z_STREAM_ERROR) return false;
            Dest.WriteBuffer(out.data(), kChunk - z->avail_out);
        } while (z->avail_out == 0);
        if (Progress && got > 0) Progress->Advance(got);
    } while (flush != Z_FINISH);
    return true;
}

bool CompressFileToStream(const std::string& FileName, TStream& Dest, uint32_t Id, TRV_Progress* Progress) {
    TFileStream f(FileName, fmOpenRead);
    return CompressStreamToStream(f, Dest, Id, Progress);
}

namespace {

// Where inflated bytes go. A memory stream is inflated into directly: zlib then works on one large output
// buffer instead of copying every byte through a chunk and its own window.
class TInflateSink {
public:
    TInflateSink(TStream& Dest, int64_t Hint) : FDest(Dest), FMem(dynamic_cast<TMemoryStream*>(&Dest)) {
        if (FMem) {
            FStart = FMem->Position();
            Reserve(std::max<int64_t>(Hint, kChunk));
        } else {
            FChunk.resize(static_cast<size_t>(kChunk));
        }
    }
    // Gives zlib room for at least one more byte and at most Limit bytes.
    void Prepare(z_stream& z, int64_t Limit) {
        if (!FMem) {
            z.next_out = FChunk.data();
            z.avail_out = static_cast<uInt>(kChunk);
            return;
        }
        if (FUsed == FReserved) Reserve(FReserved * 2);
        z.next_out = FMem->Memory() + FStart + FUsed;
        z.avail_out = static_cast<uInt>(std::min(FReserved - FUsed, Limit));
    }
    // Takes what zlib produced since Prepare.
    void Commit(int64_t Produced) {
        if (FMem)
            FUsed += Produced;
        else
            FDest.WriteBuffer(FChunk.data(), Produced);
    }
    // Trims the reserve: the stream ends at the last byte produced, with its position there.
    ~TInflateSink() {
        if (FMem) {
            FMem->SetSize(FStart + FUsed);
            FMem->SetPosition(FStart + FUsed);
        }
    }

private:
    void Reserve(int64_t Bytes) {
        FReserved = Bytes;
        FMem->SetSize(FStart + FReserved);
    }
    TStream& FDest;
    TMemoryStream* FMem;
    std::vector<uint8_t> FChunk;
    int64_t FStart = 0;
    int64_t FUsed = 0;
    int64_t FReserved = 0;
};

} // namespace

bool DeCompressStreamToStream(TStream& Source, TStream& Dest, bool HasId, TRV_Progress* Progress, int64_t MaxSize) {
    uint8_t header[C_CompressedTaggedHeaderSize];
    int64_t headerSize = HasId ? C_CompressedTaggedHeaderSize : C_CompressedHeaderSize;
    if (Source.Read(header, headerSize) != headerSize) return false;

    auto* raw = new z_stream{};
    if (inflateInit(raw) != Z_OK) {
        delete raw;
        return false;
    }
    std::unique_ptr<z_stream, TInflateEnd> z(raw);

    // The header's size is only a hint for the first reserve, never trusted beyond what the input could
    // plausibly inflate to (deflate packs at most about 1032:1) or the bound.
    int64_t announced = GetLE<uint32_t>(header + headerSize - 8);
    int64_t inputLeft = std::max<int64_t>(Source.Size() - Source.Position(), 0);
    int64_t hint = std::min({announced, MaxSize, inputLeft * 1032 + 1});
    TInflateSink sink(Dest, hint);

    // A progress display may stop the copy after any chunk; without one, nothing can, and the output is taken in
    // steps as large as the reserve.
    const int64_t step = Progress && Progress->OnProgress ? kChunk : int64_t{1} << 30;
    std::vector<uint8_t> in(static_cast<size_t>(kChunk));
    int64_t total = 0;
    bool wantInput = true;
    for (;;) {
        // A full output buffer may leave output pending inside zlib: drain it before asking for input.
        if (z->avail_in == 0 && wantInput) {
            int64_t got = Source.Read(in.data(), kChunk);
            if (got <= 0) return false; // truncated
            z->next_in = in.data();
            z->avail_in = static_cast<uInt>(got);
        }
        sink.Prepare(*z, step);
        uInt room = z->avail_out;
        int rc = inflate(z.get(), Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) return false;
        int64_t produced = room - z->avail_out;
        wantInput = z->avail_out != 0;
        if (produced > MaxSize - total) return false; // over the bound: treated as corrupt
        sink.Commit(produced);
        total += produced;
        if (Progress && produced > 0) {
            Progress->Advance(produced);
            if (Progress->Terminated()) return true;
        }
        if (rc == Z_STREAM_END) {
            // Give back the input read past the end of the zlib stream.
            if (z->avail_in > 0) Source.Seek(-static_cast<int64_t>(z->avail_in), TSeekOrigin::soCurrent);
            return true;
        }
        if (rc == Z_BUF_ERROR && z->avail_in > 0) return false; // no progress possible
    }
}

bool DeCompressStreamToFile(TStream& Source, const std::string& FileName, bool HasId, TRV_Progress* Progress,
                            int64_t MaxSize) {
    TFileStream f(FileName, fmCreate);
    bool ok = DeCompressStreamToStream(Source, f, HasId, Progress, MaxSize);
    if (!f.Flush()) throw EStreamError("Stream write error");
    return ok;
}

bool LoadCompressedTStrings(const void* Data, size_t Size, TStrings& TS, int64_t MaxSize) {
    TS.clear();
    TRV_BlockMemoryStream src(Data, static_cast<int64_t>(Size));
    TMemoryStream mem;
    if (!DeCompressStreamToStream(src, mem, false, nullptr, MaxSize)) return false;
    LoadTStringsFromStream(mem, TS);
    return true;
}

bool AssignCompressedTStringsResource(const std::string& ResName, TStrings& TS) {
    const void* data = nullptr;
    size_t size = 0;
    if (!detail::FindProgramResource(ResName, "RT_CUSTOM", data, size)) return false;
    return LoadCompressedTStrings(data, size, TS);
}

} // namespace rv
