#pragma once
// String lists and 0-terminated strings in streams: the payloads of the string and string-list elements.
// Strings are byte strings in the system code page, stored without conversion. Any thread.

#include "foundation/streams.h"

#include <cstddef>
#include <string>
#include <vector>

namespace rv {

// The program's string list: the lines of a memo, the entries of a combo box, a chat message.
using TStrings = std::vector<std::string>;

// Writes each string's characters followed by one 0 byte, in list order.
void SaveTStringsToStream(const TStrings& TS, TStream& Stream);

// Replaces TS by the strings of a payload: one string per 0 byte, in order. Trailing bytes after the last
// 0 byte count as one more string (the payload's end ends it).
void SplitTStringsPayload(const void* Data, size_t Size, TStrings& TS);
// The same over the whole of a memory stream.
void LoadTStringsFromStream(TCustomMemoryStream& Stream, TStrings& TS);

// Reads the characters before the next 0 byte (scanning 1,024 bytes at a time) and leaves the position just
// after that 0 byte. When the stream ends before any 0 byte, S is empty and the position is at the end.
void ReadLongStringFromStream(TStream& Stream, std::string& S);

} // namespace rv
