#include "foundation/tick_count.h"

#include <windows.h>

namespace rv::detail {

uint32_t SystemTickCount32() { return GetTickCount(); }

} // namespace rv::detail
