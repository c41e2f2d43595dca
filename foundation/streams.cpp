#include "foundation/streams.h"

#include <algorithm>
#include <cstring>

namespace rv {

int64_t TStream::GetSize() {
    int64_t pos = Seek(0, TSeekOrigin::soCurrent);
    int64_t size = Seek(0, TSeekOrigin::soEnd);
    Seek(pos, TSeekOrigin::soBeginning);
    return size;
}

void TStream::SetSize(int64_t) { throw EStreamError("Stream size cannot be changed"); }

void TStream::ReadBuffer(void* Buffer, int64_t Count) {
    if (Count > 0 && Read(Buffer, Count) != Count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* Buffer, int64_t Count) {
    if (Count > 0 && Write(Buffer, Count) != Count) throw EStreamError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& Source, int64_t Count) {
    if (Count == 0) {
        Source.SetPosition(0);
        Count = Source.Size();
    }
    constexpr int64_t kChunk = 61440;
    std::vector<uint8_t> buf(static_cast<size_t>(std::min(Count, kChunk)));
    int64_t left = Count;
    while (left > 0) {
        int64_t n = std::min(left, kChunk);
        Source.ReadBuffer(buf.data(), n);
        WriteBuffer(buf.data(), n);
        left -= n;
    }
    return Count;
}

// --- memory streams -------------------------------------------------------------------------------------------

void TCustomMemoryStream::SetPointer(void* Ptr, int64_t Size) {
    FMemory = static_cast<uint8_t*>(Ptr);
    FSize = Size;
    FPosition = 0;
}

int64_t TCustomMemoryStream::Read(void* Buffer, int64_t Count) {
    if (Count <= 0 || FPosition >= FSize) return 0;
    int64_t n = std::min(Count, FSize - FPosition);
    std::memcpy(Buffer, FMemory + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

int64_t TCustomMemoryStream::Write(const void*, int64_t) { throw EStreamError("Stream write error"); }

int64_t TCustomMemoryStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    int64_t base = Origin == TSeekOrigin::soBeginning ? 0 : Origin == TSeekOrigin::soCurrent ? FPosition : FSize;
    int64_t pos = base + Offset;
    if (pos < 0) throw EStreamError("Stream seek before the beginning");
    FPosition = pos;
    return FPosition;
}

void TCustomMemoryStream::SaveToStream(TStream& Dest) { Dest.WriteBuffer(FMemory, FSize); }

void TCustomMemoryStream::SaveToFile(const std::string& FileName) {
    TFileStream f(FileName, fmCreate);
    SaveToStream(f);
    if (!f.Flush()) throw EStreamError("Stream write error");
}

int64_t TMemoryStream::Write(const void* Buffer, int64_t Count) {
    if (Count <= 0) return 0;
    int64_t end = FPosition + Count;
    if (end > FSize) SetSize(end);
    std::memcpy(FMemory + FPosition, Buffer, static_cast<size_t>(Count));
    FPosition = end;
    return Count;
}

void TMemoryStream::SetSize(int64_t NewSize) {
    if (NewSize < 0) throw EStreamError("Stream size cannot be negative");
    int64_t pos = FPosition;
    FData.resize(static_cast<size_t>(NewSize));
    TCustomMemoryStream::SetPointer(FData.data(), NewSize);
    FPosition = std::min(pos, NewSize);
}

void TMemoryStream::Clear() {
    FData.clear();
    FData.shrink_to_fit();
    TCustomMemoryStream::SetPointer(nullptr, 0);
}

void TMemoryStream::LoadFromStream(TStream& Source) {
    Source.SetPosition(0);
    int64_t n = Source.Size();
    SetSize(n);
    if (n > 0) Source.ReadBuffer(FMemory, n);
    FPosition = 0;
}

void TMemoryStream::LoadFromFile(const std::string& FileName) {
    TFileStream f(FileName, fmOpenRead);
    LoadFromStream(f);
}

// --- file stream ----------------------------------------------------------------------------------------------

TFileStream::TFileStream(const std::string& FileName, unsigned Mode) : FFileName(FileName) {
    const char* how = Mode == fmCreate ? "w+b" : (Mode & 3) == fmOpenRead ? "rb" : "r+b";
    FFile = std::fopen(FileName.c_str(), how);
    if (!FFile)
        throw EFOpenError((Mode == fmCreate ? "Cannot create file \"" : "Cannot open file \"") + FileName + "\"");
}

TFileStream::~TFileStream() {
    if (FFile) std::fclose(FFile);
}

int64_t TFileStream::Read(void* Buffer, int64_t Count) {
    if (Count <= 0) return 0;
    // C streams need a positioning call between a write and a read.
    if (FLastWasWrite) detail::FileSeek64(FFile, 0, SEEK_CUR);
    FLastWasWrite = false;
    return static_cast<int64_t>(std::fread(Buffer, 1, static_cast<size_t>(Count), FFile));
}

int64_t TFileStream::Write(const void* Buffer, int64_t Count) {
    if (Count <= 0) return 0;
    if (!FLastWasWrite) detail::FileSeek64(FFile, 0, SEEK_CUR);
    FLastWasWrite = true;
    return static_cast<int64_t>(std::fwrite(Buffer, 1, static_cast<size_t>(Count), FFile));
}

int64_t TFileStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    int whence = Origin == TSeekOrigin::soBeginning ? SEEK_SET : Origin == TSeekOrigin::soCurrent ? SEEK_CUR : SEEK_END;
    if (detail::FileSeek64(FFile, Offset, whence) != 0) throw EStreamError("Stream seek error");
    FLastWasWrite = false;
    return detail::FileTell64(FFile);
}

void TFileStream::SetSize(int64_t NewSize) {
    int64_t pos = Position();
    std::fflush(FFile);
    if (!detail::FileTruncate(FFile, NewSize)) throw EStreamError("Stream size cannot be changed");
    SetPosition(std::min(pos, NewSize));
}

bool TFileStream::Flush() { return std::fflush(FFile) == 0; }

// --- block stream ---------------------------------------------------------------------------------------------

int64_t TRV_BlockMemoryStream::Write(const void* Buffer, int64_t Count) {
    if (Count <= 0 || FPosition >= FSize) return 0;
    int64_t n = std::min(Count, FSize - FPosition);
    std::memcpy(FMemory + FPosition, Buffer, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

void TRV_BlockMemoryStream::CopyStream(TStream& Dest) {
    int64_t left = FPosition < FSize ? FSize - FPosition : 0;
    if (Dest.Size() != left) throw EStreamError("Stream size mismatch");
    constexpr int64_t kPiece = 32768;
    while (left > 0) {
        int64_t n = std::min(left, kPiece);
        Dest.WriteBuffer(FMemory + FPosition, n);
        FPosition += n;
        left -= n;
    }
}

} // namespace rv
