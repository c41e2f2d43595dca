#pragma once
// Byte streams: the abstract stream, memory streams, file streams and the block stream laid over caller memory.
// A stream object is used by one thread at a time.

#include "foundation/errors.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace rv {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;
    virtual ~TStream() = default;

    // Read and Write move at most Count bytes and return how many moved (0 at the end or when full).
    virtual int64_t Read(void* Buffer, int64_t Count) = 0;
    virtual int64_t Write(const void* Buffer, int64_t Count) = 0;
    // Returns the new position.
    virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;
    virtual int64_t GetSize();
    // Raises EStreamError on streams of a fixed size.
    virtual void SetSize(int64_t NewSize);

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t Pos) { Seek(Pos, TSeekOrigin::soBeginning); }
    int64_t Size() { return GetSize(); }

    // All-or-nothing forms: raise "Stream read error" / "Stream write error" when fewer bytes move.
    void ReadBuffer(void* Buffer, int64_t Count);
    void WriteBuffer(const void* Buffer, int64_t Count);
    // Copies Count bytes from Source's position; Count 0 copies the whole of Source from its start.
    int64_t CopyFrom(TStream& Source, int64_t Count);
};

// A stream over a block of memory that the derived class provides.
class TCustomMemoryStream : public TStream {
public:
    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t GetSize() override { return FSize; }

    uint8_t* Memory() const { return FMemory; }
    void SaveToStream(TStream& Dest);
    void SaveToFile(const std::string& FileName);

protected:
    void SetPointer(void* Ptr, int64_t Size);
    uint8_t* FMemory = nullptr;
    int64_t FSize = 0;
    int64_t FPosition = 0;
};

// A memory stream that owns and grows its block.
class TMemoryStream : public TCustomMemoryStream {
public:
    int64_t Write(const void* Buffer, int64_t Count) override;
    void SetSize(int64_t NewSize) override;
    void Clear();
    void LoadFromStream(TStream& Source);
    void LoadFromFile(const std::string& FileName);

private:
    std::vector<uint8_t> FData;
};

enum TFileMode : unsigned {
    fmOpenRead = 0,
    fmOpenWrite = 1,
    fmOpenReadWrite = 2,
    fmCreate = 0xFF00, // create or truncate, then read and write
};

// A file opened by name (a byte string in the system code page). Raises EFOpenError when it can't be opened.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& FileName, unsigned Mode);
    ~TFileStream() override;

    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Write(const void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    void SetSize(int64_t NewSize) override;
    const std::string& FileName() const { return FFileName; }
    // Flushes buffered writes to the operating system; false on failure (a full disk, say).
    bool Flush();

private:
    std::string FFileName;
    std::FILE* FFile = nullptr;
    bool FLastWasWrite = false;
};

// A stream over an existing block that it never copies or grows.
class TRV_BlockMemoryStream : public TCustomMemoryStream {
public:
    TRV_BlockMemoryStream(const void* Ptr, int64_t Size) { SetPointer(Ptr, Size); }
    // Re-targets the stream and rewinds it.
    void SetPointer(const void* Ptr, int64_t Size) { TCustomMemoryStream::SetPointer(const_cast<void*>(Ptr), Size); }
    // Copies at most the bytes left before the end of the block.
    int64_t Write(const void* Buffer, int64_t Count) override;
    // Writes the rest of the block to Dest, whose size must equal the bytes left; otherwise raises
    // "Stream size mismatch" and writes nothing.
    void CopyStream(TStream& Dest);
};

namespace detail {
// Backend (streams_win.cpp / streams_posix.cpp): 64-bit positions on C streams, and cutting a file to a size.
// FileSeek64 returns 0 on success, as fseek does; FileTell64 returns the position or -1.
int FileSeek64(std::FILE* File, int64_t Offset, int Whence);
int64_t FileTell64(std::FILE* File);
bool FileTruncate(std::FILE* File, int64_t NewSize);
} // namespace detail

} // namespace rv
