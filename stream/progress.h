#pragma once
// TRV_Progress: a counter of work done by reads, writes and (de)compression, for an optional progress display.
// A display may ask the work to stop with Terminate. Used by the thread doing the work.

#include <cstdint>
#include <functional>

namespace rv {

class TRV_Progress {
public:
    void Reset() {
        FPosition = 0;
        FTasks = 0;
        FTasksDone = 0;
        FTerminated = false;
    }
    // Work is counted in any unit the caller chooses (elements, bytes).
    void Advance(int64_t Count) {
        FPosition += Count;
        if (OnProgress) OnProgress(*this);
    }
    int64_t Position() const { return FPosition; }

    // Multi-task mode: a list of Count sub-tasks (the entries of a list element).
    void BeginTasks(int64_t Count) {
        FTasks = Count;
        FTasksDone = 0;
    }
    void TaskDone() { ++FTasksDone; }
    void EndTasks() { FTasks = FTasksDone = 0; }
    int64_t Tasks() const { return FTasks; }
    int64_t TasksDone() const { return FTasksDone; }

    void Terminate() { FTerminated = true; }
    bool Terminated() const { return FTerminated; }

    // Called after every Advance when assigned.
    std::function<void(TRV_Progress&)> OnProgress;

private:
    int64_t FPosition = 0;
    int64_t FTasks = 0;
    int64_t FTasksDone = 0;
    bool FTerminated = false;
};

} // namespace rv
