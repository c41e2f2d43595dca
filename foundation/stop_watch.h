#pragma once
// A millisecond stop-watch over the tick count. Unsigned 32-bit arithmetic makes a wrap of the tick counter
// harmless. One thread at a time.

#include <cstdint>

namespace rv {

class TRV_StopWatch {
public:
    explicit TRV_StopWatch(bool StartNow = false) {
        if (StartNow) Start();
    }
    // Starts from zero unless already running.
    void Start();
    void Reset();
    // Adds the ticks since the last reading when running; returns the total in ms.
    uint32_t ElapsedTimeMS();
    bool Running() const { return FRunning; }

    uint32_t ElapsedTime = 0; // ms
    uint32_t StartTime = 0;   // tick count

private:
    bool FPaused = false;
    bool FRunning = false;
};

} // namespace rv
