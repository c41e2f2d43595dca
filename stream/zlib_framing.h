#pragma once
// The compressed framing of compressed elements and of the installer's text resource: a small header, then one
// zlib stream (RFC 1950) holding the whole source.
//
// Header, little-endian: untagged (Id 0, 12 bytes): Id = 0, uncompressed size, reserved 0.
// Tagged (Id not 0, 16 bytes): "RVZ ", Id, uncompressed size, reserved 0.
// Compression is zlib level 9 with the default window and memory level; any valid zlib stream is read.
//
// Inflation is bounded: output beyond MaxSize bytes fails exactly like corrupt data, so that a small input
// can never fill memory or a disk. Any thread; the streams are used by one thread at a time.

#include "foundation/streams.h"
#include "stream/progress.h"
#include "stream/string_io.h"

#include <cstdint>
#include <string>

namespace rv {

// The bound of one decompression, and of all decompression within one record read (map images).
inline constexpr int64_t C_MaxDecompressedSize = 64 * 1024 * 1024;

inline constexpr uint32_t C_CompressedTag = 0x205A5652; // "RVZ " read as a little-endian 32-bit value
inline constexpr int C_CompressedHeaderSize = 12;
inline constexpr int C_CompressedTaggedHeaderSize = 16;

// Writes the header at Dest's position, then Source's whole content (from position 0) compressed. False when
// compression failed after the header was written (the partial output stays in Dest) or Source holds 4 GiB
// or more (nothing written).
bool CompressStreamToStream(TStream& Source, TStream& Dest, uint32_t Id = 0, TRV_Progress* Progress = nullptr);
// The same with a file as the source; a file that cannot be opened raises EFOpenError.
bool CompressFileToStream(const std::string& FileName, TStream& Dest, uint32_t Id = 0, TRV_Progress* Progress = nullptr);

// Skips the header (16 bytes when HasId, else 12; not checked), inflates from Source's position and appends the
// output to Dest in chunks of 32,768 bytes. Source is left just after the zlib stream. True when the stream
// ended, or when Progress was terminated after a chunk; false on corrupt or truncated data or when the output
// would pass MaxSize bytes (what was written before stays in Dest).
bool DeCompressStreamToStream(TStream& Source, TStream& Dest, bool HasId = false, TRV_Progress* Progress = nullptr,
                              int64_t MaxSize = C_MaxDecompressedSize);
// The same into a file created (or truncated) here; a file that cannot be created raises EFOpenError.
bool DeCompressStreamToFile(TStream& Source, const std::string& FileName, bool HasId = false,
                            TRV_Progress* Progress = nullptr, int64_t MaxSize = C_MaxDecompressedSize);

// Fills TS from a compressed string-list image in the untagged framing (one string per 0-terminated run).
// False (and TS empty) when the image does not decompress.
bool LoadCompressedTStrings(const void* Data, size_t Size, TStrings& TS, int64_t MaxSize = C_MaxDecompressedSize);

// Fills TS from the program's own resource ResName of the resource type named "RT_CUSTOM" (untagged framing).
// False when the resource is missing (always on platforms without program resources) or does not decompress.
bool AssignCompressedTStringsResource(const std::string& ResName, TStrings& TS);

namespace detail {
// Backend: the bytes of a resource of the running program, valid for the program's life.
bool FindProgramResource(const std::string& Name, const std::string& Type, const void*& Data, size_t& Size);
} // namespace detail

} // namespace rv
