#pragma once
// The millisecond tick count (GetTickCount on Win32, the monotonic clock on POSIX), wrapping at 2^32.
// Any thread.

#include <cstdint>
#include <functional>

namespace rv {

uint32_t TickCount32();

// Tests replace the tick source to reach the wrap; an empty function restores the system's.
void SetTickSourceForTesting(std::function<uint32_t()> Source);

} // namespace rv
