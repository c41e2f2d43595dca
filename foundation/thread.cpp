#include "foundation/thread.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace rv {

std::atomic<TRV_Synchronize*> RV_Synch{nullptr};

std::recursive_mutex& SynchCS() {
    static std::recursive_mutex cs;
    return cs;
}

namespace {

// Signalled when a call is queued, a call is done, or a run ends. Waits on it hold SynchCS.
std::condition_variable_any& SyncChanged() {
    static std::condition_variable_any cv;
    return cv;
}

void EraseFrom(std::vector<TRV_Thread*>& list, TRV_Thread* t) { std::erase(list, t); }

bool Contains(const std::vector<TRV_Thread*>& list, const TRV_Thread* t) {
    return std::find(list.begin(), list.end(), t) != list.end();
}

int32_t Int32At(const std::vector<uint8_t>& data) {
    int32_t v = 0;
    std::memcpy(&v, data.data(), std::min<size_t>(sizeof v, data.size()));
    return v;
}

void CallRecord(const T_SynchronizeRec& r) {
    switch (r.ParamType) {
    case 0:
        if (auto* f = std::get_if<std::function<void()>>(&r.MorP); f && *f) (*f)();
        break;
    case 1:
    case 4:
        if (auto* f = std::get_if<std::function<void(int32_t)>>(&r.MorP); f && *f) (*f)(Int32At(r.MsgData));
        break;
    case 2:
        if (auto* f = std::get_if<std::function<void(const void*, uint32_t)>>(&r.MorP); f && *f)
            (*f)(r.MsgData.data(), r.MsgSize);
        break;
    case 3:
        if (auto* f = std::get_if<std::function<void(const std::string&)>>(&r.MorP); f && *f)
            (*f)(std::string(r.MsgData.begin(), r.MsgData.end()));
        break;
    default:
        break; // unknown forms call nothing
    }
}

// Drops every queued call: its thread goes on without it. Caller holds SynchCS.
void DropQueue(TRV_Synchronize& s) {
    for (T_SynchronizeRec* r = s.SyncHead; r;) {
        T_SynchronizeRec* next = r->Next;
        r->Done = true;
        r = next;
    }
    s.SyncHead = s.SyncTail = nullptr;
}

} // namespace

// --- TRV_Thread -----------------------------------------------------------------------------------------------

TRV_Thread::~TRV_Thread() = default;

void TRV_Thread::AfterConstruction(T_ThreadOptions Options) {
    FFreeOnTerminate = (Options & toFreeWhenTerminated) != 0;
    {
        std::lock_guard<std::recursive_mutex> lock(SynchCS());
        if (TRV_Synchronize* s = RV_Synch.load()) {
            s->RegisteredThreads.push_back(this);
            s->SyncEnabledThreads.push_back(this);
        }
    }
    try {
        ExecuteInitialization();
    } catch (...) {
        Free();
        throw;
    }
    if (!(Options & toCreateSuspended)) Resume();
}

void TRV_Thread::Resume() {
    std::lock_guard<std::mutex> lock(FStateLock);
    if (FStarted) return;
    FStarted = true;
    FNative = std::thread([this] { Run(); });
}

void TRV_Thread::Run() {
    {
        std::lock_guard<std::mutex> lock(FStateLock);
        FNativeId = detail::CurrentNativeThreadId();
        detail::SetNativeThreadPriority(FNativeId, FPriority.load());
    }
    try {
        Execute();
    } catch (...) {
        // An exception ends the run; there is nobody on this thread to report it to.
    }
    FThreadFinished = true;
    if (FOnFinished) SynchronizeMethod([this] { FOnFinished(this); });

    bool freeSelf = false;
    {
        std::lock_guard<std::recursive_mutex> lock(SynchCS());
        FRunEnded = true;
        if (FFreeOnTerminate && !FFreeing) {
            FFreeing = true;
            freeSelf = true;
        }
    }
    SyncChanged().notify_all();
    if (freeSelf) Destroy();
}

void TRV_Thread::Free() {
    {
        // The run's end and the synchroniser claim objects under the same lock; whoever claims one frees it.
        std::lock_guard<std::recursive_mutex> lock(SynchCS());
        if (FFreeing) return;
        FFreeing = true;
    }
    Destroy();
}

void TRV_Thread::Destroy() {
    bool onOwnThread;
    {
        std::lock_guard<std::mutex> lock(FStateLock);
        onOwnThread = FStarted && FNative.get_id() == std::this_thread::get_id();
    }
    {
        std::lock_guard<std::recursive_mutex> lock(SynchCS());
        FFreeOnTerminate = false;
        if (TRV_Synchronize* s = RV_Synch.load()) EraseFrom(s->SyncEnabledThreads, this);
    }
    FTerminated = true;
    OnSetTerminate();
    {
        std::lock_guard<std::mutex> lock(FSleepLock);
        if (SleepEventHandle) SleepEventHandle->Set();
    }
    {
        std::unique_lock<std::mutex> lock(FStateLock);
        if (FStarted) {
            if (onOwnThread) {
                FNative.detach();
            } else {
                lock.unlock();
                WaitForRunEnd();
                FNative.join();
            }
        }
    }
    ExecuteFinalization();
    {
        std::lock_guard<std::recursive_mutex> lock(SynchCS());
        if (TRV_Synchronize* s = RV_Synch.load()) EraseFrom(s->RegisteredThreads, this);
    }
    SyncChanged().notify_all();
    if (FNativeId) detail::ReleaseNativeThreadId(FNativeId);
    delete this;
}

void TRV_Thread::WaitForRunEnd() {
    std::unique_lock<std::recursive_mutex> lock(SynchCS());
    while (!FRunEnded) {
        TRV_Synchronize* s = RV_Synch.load();
        // The main thread keeps serving main-thread calls, or a thread blocked in one would never end.
        if (s && s->SyncHead && IsMainThread()) {
            lock.unlock();
            s->SyncCallBack();
            lock.lock();
            continue;
        }
        SyncChanged().wait_for(lock, std::chrono::milliseconds(100));
    }
}

void TRV_Thread::Terminate(bool Wait) {
    FTerminated = true;
    Resume();
    OnSetTerminate();
    if (Wait) WaitFor();
}

void TRV_Thread::WaitFor() {
    {
        std::lock_guard<std::mutex> lock(FStateLock);
        if (!FStarted) return;
    }
    WaitForRunEnd();
}

bool TRV_Thread::ThreadSleep(uint32_t Ms) {
    if (FTerminated) return false;
    if (Ms > 0) {
        TRV_Event* ev;
        {
            std::lock_guard<std::mutex> lock(FSleepLock);
            if (!SleepEventHandle)
                SleepEventHandle = std::make_unique<TRV_Event>();
            else
                SleepEventHandle->Reset();
            ev = SleepEventHandle.get();
        }
        // Free sets Terminated before it sets the event: looking again after the reset closes the gap in which
        // its wake-up would be lost.
        if (FTerminated) return false;
        ev->WaitFor(Ms);
    } else {
        std::this_thread::yield();
    }
    return !FTerminated;
}

void TRV_Thread::SynchronizeMethod(std::function<void()> Method) {
    SynchronizeForMethod(nullptr, 0, 0, TSyncMethod(std::move(Method)));
}

void TRV_Thread::SynchronizeForMethod(const void* Data, uint32_t DataSize, uint8_t ParamType, TSyncMethod Method) {
    T_SynchronizeRec rec;
    rec.RegisteredThread = this;
    rec.MorP = std::move(Method);
    rec.MsgSize = DataSize;
    rec.ParamType = ParamType;
    if (DataSize > 0) {
        auto* p = static_cast<const uint8_t*>(Data);
        rec.MsgData.assign(p, p + DataSize);
    }
    TRV_Synchronize* s;
    {
        std::unique_lock<std::recursive_mutex> lock(SynchCS());
        s = RV_Synch.load();
        if (!s || !Contains(s->SyncEnabledThreads, this)) return; // nobody would run it
        if (s->SyncTail)
            s->SyncTail->Next = &rec;
        else
            s->SyncHead = &rec;
        s->SyncTail = &rec;
        s->PostMessage(WM_RV_SYNCHRONIZE, 0, 0);
        SyncChanged().notify_all();
        if (!IsMainThread()) {
            SyncChanged().wait(lock, [&rec] { return rec.Done; });
            return;
        }
    }
    s->SyncCallBack();
}

void TRV_Thread::SetPriority(TThreadPriority Priority) {
    FPriority = Priority;
    std::lock_guard<std::mutex> lock(FStateLock);
    if (FNativeId) detail::SetNativeThreadPriority(FNativeId, Priority);
}

// --- TRV_Synchronize ------------------------------------------------------------------------------------------

TRV_Synchronize::TRV_Synchronize() = default;

void TRV_Synchronize::WndProc(TMessage& Message) {
    if (Message.Msg == WM_RV_SYNCHRONIZE)
        SyncCallBack();
    else
        TRV_WndMsgProcessor::WndProc(Message);
}

void TRV_Synchronize::SyncCallBack() {
    for (;;) {
        T_SynchronizeRec* r;
        bool enabled;
        {
            std::lock_guard<std::recursive_mutex> lock(SynchCS());
            r = SyncHead;
            if (!r) {
                SyncTail = nullptr;
                return;
            }
            SyncHead = r->Next;
            if (!SyncHead) SyncTail = nullptr;
            enabled = Contains(SyncEnabledThreads, r->RegisteredThread);
        }
        // The lock is not held during the call, so the method may free a thread that is itself queueing a call.
        // A thread is disabled before it is freed, and its object lives until its run (blocked here) ends.
        if (enabled) {
            try {
                CallRecord(*r);
            } catch (...) {
                // A main-thread call must not take the message loop down.
            }
        }
        {
            std::lock_guard<std::recursive_mutex> lock(SynchCS());
            r->Done = true;
        }
        SyncChanged().notify_all();
    }
}

TRV_Synchronize::~TRV_Synchronize() {
    {
        std::lock_guard<std::recursive_mutex> lock(SynchCS());
        SyncEnabledThreads.clear();
        DropQueue(*this);
        for (TRV_Thread* t : RegisteredThreads) {
            t->FFreeOnTerminate = false;
            t->FTerminated = true;
            t->Resume();
            t->OnSetTerminate();
        }
    }
    SyncChanged().notify_all();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    for (;;) {
        {
            std::lock_guard<std::recursive_mutex> lock(SynchCS());
            if (RegisteredThreads.empty()) break;
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::vector<TRV_Thread*> remaining;
    {
        std::lock_guard<std::recursive_mutex> lock(SynchCS());
        RV_Synch = nullptr;
        for (TRV_Thread* t : RegisteredThreads) {
            // A thread freeing itself right now has claimed itself; leave it to finish.
            if (t->FFreeing) continue;
            t->FFreeing = true;
            remaining.push_back(t);
        }
        RegisteredThreads.clear();
        DropQueue(*this);
    }
    SyncChanged().notify_all();
    for (TRV_Thread* t : remaining) t->Destroy();
}

} // namespace rv
