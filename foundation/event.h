#pragma once
// A manual-reset event: stays set until reset, wakes every waiter. Any thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace rv {

class TRV_Event {
public:
    explicit TRV_Event(bool InitiallySet = false) : FSet(InitiallySet) {}

    void Set() {
        {
            std::lock_guard<std::mutex> lock(FLock);
            FSet = true;
        }
        FCond.notify_all();
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(FLock);
        FSet = false;
    }
    bool IsSet() {
        std::lock_guard<std::mutex> lock(FLock);
        return FSet;
    }
    // True when the event was set within TimeoutMs.
    bool WaitFor(uint32_t TimeoutMs) {
        std::unique_lock<std::mutex> lock(FLock);
        return FCond.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [this] { return FSet; });
    }
    void Wait() {
        std::unique_lock<std::mutex> lock(FLock);
        FCond.wait(lock, [this] { return FSet; });
    }

private:
    std::mutex FLock;
    std::condition_variable FCond;
    bool FSet; // guarded by FLock
};

} // namespace rv
