#include "foundation/stop_watch.h"

#include "foundation/tick_count.h"

namespace rv {

void TRV_StopWatch::Start() {
    if (FRunning) return;
    Reset();
    FRunning = true;
    FPaused = false;
}

void TRV_StopWatch::Reset() {
    StartTime = TickCount32();
    ElapsedTime = 0;
}

uint32_t TRV_StopWatch::ElapsedTimeMS() {
    if (FRunning) {
        uint32_t now = TickCount32();
        ElapsedTime += now - StartTime;
        StartTime = now;
    }
    return ElapsedTime;
}

} // namespace rv
