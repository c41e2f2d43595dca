#pragma once
// Check values of the element format. Any thread; a stream is used by one thread at a time.
//
// CRC-32: the ISO-HDLC / zlib parameters (reflected polynomial 0xEDB88320, initial 0xFFFFFFFF, final complement).
// CRC-16: the CRC-16/USB parameters (polynomial 0x8005 processed reflected, table polynomial 0xA001, initial
// 0xFFFF, final complement). The 16-bit helper keeps its historical name although it is not the CCITT polynomial.

#include "foundation/streams.h"

#include <cstddef>
#include <cstdint>

namespace rv {

uint32_t Crc32OfBuffer(const void* Data, size_t Size, uint32_t Crc = 0);
uint16_t Crc16UsbOfBuffer(const void* Data, size_t Size);

// Check value of the next Count bytes of Stream, read from its current position in chunks of 16,384 bytes;
// the position ends after the bytes read. Stops quietly when the stream ends early.
uint32_t CCITT_CRC32OfStream(TStream& Stream, int64_t Count);

// The same with CRC-16/USB. Count is a 16-bit quantity: above 65,535 raises ERV_RangeError. Raises
// EStreamError "CCITT_CRC16OfStream premature end of stream" when the stream ends before Count bytes.
uint16_t CCITT_CRC16OfStream(TStream& Stream, int64_t Count);

} // namespace rv
