#pragma once
// The process's one timer service: a time-critical thread that keeps every software timer in one delta list and
// calls each timer's call-back when it expires, on the main thread (synchronised, the default) or on the timer
// thread itself.
//
// Every operation may be called from any thread; the list lock is not held while a call-back runs, so call-backs
// may create, restart and free timers, their own included. Call-backs are delivered one at a time: a
// synchronised call-back runs on the main thread while the timer thread waits for it, so a slow main thread
// delays every timer. A call-back that faults (an access violation on Windows, or any exception escaping it) is
// disabled for good and reported once in a message box on the main thread; its timer stays scheduled.

#include "foundation/event.h"
#include "foundation/thread.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace rv {

// A timer handle. Handles are never reused, so a handle kept after FreeTimer names no timer and every operation
// on it does nothing; it must still not be used, as the rules for timers say.
using T_TimerID = uint64_t;
constexpr T_TimerID C_NullTimerID = 0;

using T_TimerCallBackEvent = std::function<void()>;

// How an item's call-back is delivered. The last two name call-backs that receive the ID and an alternating mark;
// no timer of this program uses them, and they are delivered like tcbNotSynchronized.
enum class T_TimerCallBackOptions : uint8_t {
    tcbNotSynchronized = 0, // on the timer thread
    tcbSynchronized = 1,    // on the main thread
    tcbWithTimerID = 2,
    tcbAM = 3,
};

// The message box shown when a call-back faults.
inline const std::string C_TimerFaultTitle = "RV_Timer Error";
inline const std::string C_TimerFaultText =
    "A timer call back method caused an access violation exception.\r"
    "The call back event for this timer has been disabled.";

// The shutdown report, written to the current folder.
inline const std::string C_TimerLogFileName = "TimerLog.txt";

// One timer. Owned by the service; every field is guarded by the service's ListCS.
struct TRV_MultiTimerItem {
    TRV_MultiTimerItem* NextTimer = nullptr;
    TRV_MultiTimerItem* PrevTimer = nullptr;
    // The call-back, shared so that a delivery holds it while the item may be freed; empty once disabled.
    std::shared_ptr<const T_TimerCallBackEvent> OnTimerEvent;
    uint32_t TimePeriod = 0;  // ms
    uint32_t msRemaining = 0; // ms after the expiry of the previous item of its list (the head: after PrevTime)
    uint32_t Cycles = 0;      // expiries
    uint32_t UserVal = 0;     // shown in the shutdown report only
    bool Running = false;     // in the schedule
    bool OneShot = false;
    T_TimerCallBackOptions CallBackOption = T_TimerCallBackOptions::tcbSynchronized;
    T_TimerID ID = C_NullTimerID;
    TRV_MultiTimerItem** OwnerList = nullptr; // the head of the list holding the item, or nullptr
};

class TRV_MultiTimer : public TRV_Thread {
public:
    // A periodic timer that first expires TimePeriod ms from now. tcbSynchronized delivers TimerEvent on the main
    // thread; any other option calls it on the timer thread (it must then guard what it shares). 0 when
    // TimePeriod is 0 or the service is shutting down. Any thread.
    T_TimerID CreateMSTimer(uint32_t TimePeriod, T_TimerCallBackOptions Tcbs, T_TimerCallBackEvent TimerEvent);
    // The same, delivered on the main thread. Any thread.
    T_TimerID CreateMSTimer(uint32_t TimePeriod, T_TimerCallBackEvent TimerEvent);
    // The same, firing once; afterwards the timer is kept, not running, until freed or restarted. Any thread.
    T_TimerID CreateOneShotTimerEx(uint32_t TimePeriod, T_TimerCallBackOptions Tcbs, T_TimerCallBackEvent TimerEvent);
    // The same, delivered on the main thread. Any thread.
    T_TimerID CreateOneShotTimer(uint32_t TimePeriod, T_TimerCallBackEvent TimerEvent);

    // Frees the timer and sets Timer to 0. Its call-back is not called again, and a synchronised delivery on its
    // way to the main thread is dropped; a call-back already running is not waited for. Any thread, the timer's
    // own call-back included.
    void FreeTimer(T_TimerID& Timer);
    // Schedules the timer a full period from now, re-arming an expired one-shot timer. A synchronised delivery
    // on its way is dropped. Any thread.
    void ReStartPeriod(T_TimerID Timer);
    // Changes the period; the time left to the next expiry grows or shrinks by the difference (never below 0),
    // so 1000 -> 3000 ms half-way through a period expires 2500 ms later. An expired one-shot timer counts as
    // having no time left and is re-armed. A NewPeriod of 0 is refused (does nothing). Any thread.
    void ChangeTimerPeriod(T_TimerID Timer, uint32_t NewPeriod);
    // False for 0, an unknown handle, or an expired one-shot timer. Any thread.
    bool TimerRunning(T_TimerID Timer);
    // The expiry count; with Reset it is read and zeroed at once. Any thread.
    uint32_t TimerCycles(T_TimerID Timer, bool Reset);
    // True when any timer is scheduled; appends one line per scheduled timer to "TimerLog.txt" in the current
    // folder. With ShutThemDown the scheduled timers are freed. Any thread.
    bool RunningTimersFound(bool ShutThemDown);

protected:
    // Made with TRV_Thread::Create<TRV_MultiTimer>(Options) on the main thread, ended with Free() on the main
    // thread (the fault box's window belongs to it).
    TRV_MultiTimer();
    ~TRV_MultiTimer() override;

    // The timer thread.
    void Execute() override;
    // The creating thread (the main thread): the fault box's window and the time base.
    void ExecuteInitialization() override;
    // The freeing thread (the main thread), once the run has ended.
    void ExecuteFinalization() override;
    // The terminating thread: wakes the timer thread.
    void OnSetTerminate() override;

private:
    friend class TRV_Thread;
    class TFaultNotifier;
    using TLock = std::unique_lock<std::recursive_mutex>;

    T_TimerID CreateTimer(uint32_t TimePeriod, T_TimerCallBackOptions Tcbs, T_TimerCallBackEvent TimerEvent,
                          bool OneShot);
    TRV_MultiTimerItem* FindItem(T_TimerID Timer); // caller holds ListCS
    // Milliseconds from the list's time base for an expiry Ms from now. Caller holds ListCS.
    uint32_t FromNow(uint64_t Ms) const;
    void InsertTimer(TRV_MultiTimerItem* Item, uint32_t Delta, bool SignalHead);
    void RemoveTimer(TRV_MultiTimerItem* Item);
    void PushFinished(TRV_MultiTimerItem* Item);
    // One pass over the schedule; returns with Lock held. Delivers at most one call-back, with Lock released.
    void ProcessTimerList(TLock& Lock);
    void Deliver(TLock& Lock, TRV_MultiTimerItem* Item);
    // Calls Event unless the timer was freed or restarted since its expiry; a fault disables the call-back.
    void CallTimerEvent(T_TimerID Timer, const T_TimerCallBackEvent& Event);

    // ListCS guards every field below except NewTimerObjectH (which has its own lock) and FFaultNotifier
    // (set before the thread starts and cleared after it ended). It is re-entrant so that the destructors of
    // call-backs' captures may call the service while it holds the lock.
    std::recursive_mutex ListCS;
    TRV_MultiTimerItem* ListHead = nullptr;            // the schedule, ordered by expiry, deltas in msRemaining
    TRV_MultiTimerItem* FinishedOneShotList = nullptr; // expired one-shot items, not running
    std::unordered_map<T_TimerID, std::unique_ptr<TRV_MultiTimerItem>> FItems; // owns every item
    T_TimerID FLastTimerID = C_NullTimerID;
    T_TimerID CallBackTimer = C_NullTimerID; // the timer being delivered; cleared when it is freed or re-timed
    uint32_t PrevTime = 0;           // the list's time base (tick count): the head expires msRemaining after it
    uint32_t ListHeadRemaining = 0;  // ms the thread waits before its next pass
    bool TimerDeactivated = false;   // the service is being destroyed: every operation does nothing
    TRV_Event NewTimerObjectH;       // wakes the thread: a new head, or termination
    std::unique_ptr<TFaultNotifier> FFaultNotifier;
};

// The service of the program, or nullptr (before StartMultiTimer, after FinishMultiTimer, in a library).
extern std::atomic<TRV_MultiTimer*> MultiTimer;
// Frees Timer through the program's service and sets it to C_NullTimerID; without a running service there is no
// timer left to free, so the handle is only forgotten. Any thread.
void FreeServiceTimer(T_TimerID& Timer);

// Creates the service running at time-critical priority, unless it exists. Main thread, after StartFoundation.
void StartMultiTimer();
// Reports the live timers to "TimerLog.txt" and frees them, then frees the service and clears MultiTimer.
// Main thread, at exit, once no other thread uses the service.
void FinishMultiTimer();

} // namespace rv
