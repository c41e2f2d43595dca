#include "foundation/tick_count.h"

#include <mutex>

namespace rv {

namespace detail {
uint32_t SystemTickCount32();
}

namespace {
std::mutex GSourceLock;
std::function<uint32_t()> GSource; // guarded by GSourceLock
bool GHasSource = false;           // guarded by GSourceLock
} // namespace

uint32_t TickCount32() {
    {
        std::lock_guard<std::mutex> lock(GSourceLock);
        if (GHasSource) return GSource();
    }
    return detail::SystemTickCount32();
}

void SetTickSourceForTesting(std::function<uint32_t()> Source) {
    std::lock_guard<std::mutex> lock(GSourceLock);
    GHasSource = static_cast<bool>(Source);
    GSource = std::move(Source);
}

} // namespace rv
