#pragma once
// Errors of the element stream layer. The texts are fixed; callers and tests compare them.

#include "foundation/errors.h"

namespace rv {

// A count or nesting outside the range a format field can hold.
class ERV_RangeError : public ERV_Error {
public:
    ERV_RangeError() : ERV_Error("Range check error") {}
};

inline constexpr const char* C_ErrSmartStreamWrite = "TRV_SmartStream write to stream error";
inline constexpr const char* C_ErrSmartStreamRead = "TRV_SmartStream read from stream error";
inline constexpr const char* C_ErrWordSizeExceeded = "RV_Stream: Stream data size exceeded word size";
inline constexpr const char* C_ErrCrc16PrematureEnd = "CCITT_CRC16OfStream premature end of stream";
inline constexpr const char* C_ErrNestedStreamWrite = "TRV_NestedStreamReadOnly.Write unsupported";

} // namespace rv
