#pragma once
// Worker threads with an interruptible sleep, and blocking calls of methods on the main thread.
//
// A thread object is made with TRV_Thread::Create<T>(Options, ...) and ended with Free() (or by itself with
// toFreeWhenTerminated). Free stops the thread before the object is destroyed, so a derived class's members
// are never freed under its running Execute.

#include "foundation/event.h"
#include "foundation/main_loop.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace rv {

enum T_ThreadOption : uint8_t {
    toCreateSuspended = 1,
    toFreeWhenTerminated = 2,
};
using T_ThreadOptions = uint8_t;

enum class TThreadPriority { Lower, Normal, TimeCritical };

// A main-thread call; ParamType picks the form: 0 no argument; 1 and 4 the 32-bit value at the start of the
// data; 2 the data's address and size; 3 the data as a string. A form that does not match ParamType is not called.
using TSyncMethod = std::variant<std::function<void()>, std::function<void(int32_t)>,
                                 std::function<void(const void*, uint32_t)>, std::function<void(const std::string&)>>;

class TRV_Thread {
public:
    // Constructs T, runs ExecuteInitialization on the calling thread, then starts the thread unless
    // toCreateSuspended. With toFreeWhenTerminated the object frees itself when its run ends.
    template <class T, class... Args>
    static T* Create(T_ThreadOptions Options, Args&&... args) {
        T* t = new T(std::forward<Args>(args)...);
        t->AfterConstruction(Options);
        return t;
    }

    TRV_Thread(const TRV_Thread&) = delete;
    TRV_Thread& operator=(const TRV_Thread&) = delete;

    // Stops and frees the thread object: free-on-terminate off, main-thread calls disabled, Terminate, the sleep
    // woken, wait for the run to end (the main thread keeps serving main-thread calls meanwhile),
    // ExecuteFinalization, unregistered, freed. Any thread, the thread itself included.
    void Free();

    // Starts a thread created suspended. Any thread.
    void Resume();
    // Sets Terminated, resumes a suspended thread so it can finish, calls OnSetTerminate; with Wait, waits for
    // the run to end. Any thread but the thread itself when Wait.
    void Terminate(bool Wait);
    bool Terminated() const { return FTerminated.load(); }
    // Sleeps up to Ms (0: yields); true unless the thread has been told to terminate. Returns false at once when
    // Terminated, and wakes at once when the object is being freed. The thread itself only.
    bool ThreadSleep(uint32_t Ms);
    // Waits for the run to end. Not from the thread itself.
    void WaitFor();

    // From the thread itself: runs Method on the main thread and waits for it. Dropped (not called) when the
    // thread has been disabled meanwhile or no synchroniser exists.
    void SynchronizeMethod(std::function<void()> Method);
    void SynchronizeForMethod(const void* Data, uint32_t DataSize, uint8_t ParamType, TSyncMethod Method);

    void SetPriority(TThreadPriority Priority);
    bool ThreadFinished() const { return FThreadFinished.load(); }
    bool FreeOnTerminate() const { return FFreeOnTerminate.load(); }
    void SetFreeOnTerminate(bool v) { FFreeOnTerminate = v; }

    // Raised on the main thread when the run has ended (not when the thread was disabled before).
    std::function<void(TRV_Thread* Sender)> FOnFinished;

protected:
    TRV_Thread() = default;
    virtual ~TRV_Thread();

    virtual void Execute() = 0;
    // Runs in Create on the creating thread.
    virtual void ExecuteInitialization() {}
    // Runs in Free once the run has ended.
    virtual void ExecuteFinalization() {}
    // Runs in Terminate, on the terminating thread.
    virtual void OnSetTerminate() {}

private:
    friend class TRV_Synchronize;
    void AfterConstruction(T_ThreadOptions Options);
    // The stop-and-free sequence; the caller has claimed the object (FFreeing).
    void Destroy();
    void Run();
    void WaitForRunEnd();

    std::mutex FStateLock;      // guards FNative, FStarted, FNativeStarted
    std::thread FNative;        // the platform thread; created by the first Resume
    bool FStarted = false;      // Resume was called
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFreeOnTerminate{false};
    std::atomic<bool> FThreadFinished{false};
    std::atomic<bool> FRunEnded{false};    // the thread function has returned
    std::atomic<bool> FFreeing{false};     // claimed for freeing; set under SynchCS
    std::atomic<TThreadPriority> FPriority{TThreadPriority::Lower};
    std::unique_ptr<TRV_Event> SleepEventHandle; // created on first use by the thread itself
    std::mutex FSleepLock;                       // guards SleepEventHandle's creation
    uintptr_t FNativeId = 0;                     // guarded by FStateLock; the backend's id of the running thread
};

struct TRV_ThreadDeleter {
    void operator()(TRV_Thread* t) const { t->Free(); }
};
template <class T>
using TRV_ThreadPtr = std::unique_ptr<T, TRV_ThreadDeleter>;

// One queued main-thread call.
struct T_SynchronizeRec {
    T_SynchronizeRec* Next = nullptr;
    TRV_Thread* RegisteredThread = nullptr;
    TSyncMethod MorP;
    uint32_t MsgSize = 0;
    uint8_t ParamType = 0;
    bool ObjectMethod = true;
    std::vector<uint8_t> MsgData;
    bool Done = false; // called or dropped; the waiting thread may go on
};

// The one synchroniser of the program (RV_Synch), created by StartFoundation on the main thread.
class TRV_Synchronize : public TRV_WndMsgProcessor {
public:
    TRV_Synchronize();
    // Tells every registered thread to terminate, waits up to 1000 ms for them to go, frees those that remain
    // and drops every queued call. Main thread.
    ~TRV_Synchronize() override;

    void WndProc(TMessage& Message) override;
    // Main thread: runs (or drops) every queued call.
    void SyncCallBack();

    std::vector<TRV_Thread*> RegisteredThreads; // guarded by SynchCS
    std::vector<TRV_Thread*> SyncEnabledThreads; // guarded by SynchCS
    T_SynchronizeRec* SyncHead = nullptr;        // guarded by SynchCS
    T_SynchronizeRec* SyncTail = nullptr;        // guarded by SynchCS
};

// Guards the synchroniser's lists and queue. Lives as long as the program, so a thread woken during the
// synchroniser's destruction can still leave its wait.
std::recursive_mutex& SynchCS();

extern std::atomic<TRV_Synchronize*> RV_Synch;

// The message that asks the synchroniser's window to run the queue.
constexpr uint32_t WM_RV_SYNCHRONIZE = WM_USER_BASE + 502;

namespace detail {
// Backend: priority of a running thread, identified by the id that CurrentNativeThreadId gave on that thread.
uintptr_t CurrentNativeThreadId();
void SetNativeThreadPriority(uintptr_t Id, TThreadPriority Priority);
void ReleaseNativeThreadId(uintptr_t Id);
} // namespace detail

} // namespace rv
