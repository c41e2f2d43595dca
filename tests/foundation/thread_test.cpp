#include "foundation/foundation.h"
#include "foundation/stop_watch.h"
#include "foundation/thread.h"
#include "tests/test_support.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// A thread that logs its life: where each step ran and in which order.
class TLoggingThread : public rv::TRV_Thread {
public:
    explicit TLoggingThread(std::function<void(TLoggingThread&)> Body, std::atomic<bool>* Destroyed = nullptr)
        : FBody(std::move(Body)), FDestroyed(Destroyed) {}
    ~TLoggingThread() override {
        if (FDestroyed) *FDestroyed = true;
    }

    void Log(const std::string& s) {
        std::lock_guard<std::mutex> lock(FLog->Lock);
        FLog->Lines.push_back(s);
    }
    std::vector<std::string> LogCopy() {
        std::lock_guard<std::mutex> lock(FLog->Lock);
        return FLog->Lines;
    }
    // Outlives the object, so a test can read what happened during Free.
    struct TLog {
        std::mutex Lock;
        std::vector<std::string> Lines;
    };
    std::shared_ptr<TLog> FLog = std::make_shared<TLog>();

    std::atomic<bool> InitOnMain{false};
    std::atomic<bool> ExecuteOnMain{true};
    std::atomic<bool> Running{false};

protected:
    void ExecuteInitialization() override {
        InitOnMain = rv::IsMainThread();
        Log("init");
    }
    void Execute() override {
        ExecuteOnMain = rv::IsMainThread();
        Running = true;
        Log("execute");
        if (FBody) FBody(*this);
    }
    void OnSetTerminate() override { Log("terminate"); }
    void ExecuteFinalization() override { Log(ThreadFinished() ? "finalize after run" : "finalize"); }

private:
    std::function<void(TLoggingThread&)> FBody;
    std::atomic<bool>* FDestroyed;
};

bool WaitFor(const std::function<bool()>& Cond, uint32_t TimeoutMs = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Cond()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool CallQueued() {
    std::lock_guard<std::recursive_mutex> lock(rv::SynchCS());
    return rv::RV_Synch.load() && rv::RV_Synch.load()->SyncHead != nullptr;
}

} // namespace

TEST(Thread, InitialisationRunsOnTheCreatorAndASuspendedThreadWaitsForResume) {
    auto* t = rv::TRV_Thread::Create<TLoggingThread>(rv::toCreateSuspended, nullptr);
    EXPECT_TRUE(t->InitOnMain);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(t->Running);
    t->Resume();
    ASSERT_TRUE(WaitFor([&] { return t->ThreadFinished(); }));
    EXPECT_FALSE(t->ExecuteOnMain);
    t->Free();
}

TEST(Thread, FreeTerminatesWaitsForTheRunThenFinalises) {
    auto* t = rv::TRV_Thread::Create<TLoggingThread>(0, [](TLoggingThread& self) {
        while (!self.Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // still running when Free starts waiting
        self.Log("run end");
    });
    ASSERT_TRUE(WaitFor([&] { return t->Running.load(); }));
    auto log = t->FLog;
    t->Free();
    EXPECT_EQ(log->Lines, (std::vector<std::string>{"init", "execute", "terminate", "run end", "finalize after run"}));
}

TEST(Thread, ThreadSleepOnAThreadBeingFreedReturnsFalseAtOnce) {
    std::atomic<int> sleepResult{-1};
    std::atomic<uint32_t> sleptMs{0};
    auto* t = rv::TRV_Thread::Create<TLoggingThread>(0, [&](TLoggingThread& self) {
        rv::TRV_StopWatch sw(true);
        self.Running = true;
        sleepResult = self.ThreadSleep(5000) ? 1 : 0;
        sleptMs = sw.ElapsedTimeMS();
    });
    ASSERT_TRUE(WaitFor([&] { return t->Running.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let it enter the sleep
    rv::TRV_StopWatch sw(true);
    t->Free();
    EXPECT_LT(sw.ElapsedTimeMS(), 500u);
    EXPECT_EQ(sleepResult, 0);
    EXPECT_LT(sleptMs.load(), 1000u);
}

TEST(Thread, ThreadSleepReturnsFalseAtOnceWhenTerminatedAndTrueAfterAFullSleep) {
    std::atomic<int> first{-1}, second{-1};
    auto* t = rv::TRV_Thread::Create<TLoggingThread>(0, [&](TLoggingThread& self) {
        first = self.ThreadSleep(10) ? 1 : 0;
        while (!self.Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        rv::TRV_StopWatch sw(true);
        second = self.ThreadSleep(5000) ? 1 : 0;
        self.Log("second sleep " + std::to_string(sw.ElapsedTimeMS() < 1000));
    });
    ASSERT_TRUE(WaitFor([&] { return first.load() != -1; }));
    EXPECT_EQ(first, 1);
    t->Terminate(true);
    EXPECT_EQ(second, 0);
    EXPECT_EQ(t->LogCopy().back(), "second sleep 1");
    t->Free();
}

TEST(Thread, MainThreadCallsRunOnTheMainThreadWithEveryParamType) {
    struct Seen {
        std::vector<std::string> Calls;
        bool AllOnMain = true;
    } seen;
    auto note = [&seen](const std::string& s) {
        seen.Calls.push_back(s);
        seen.AllOnMain = seen.AllOnMain && rv::IsMainThread();
    };
    auto* t = rv::TRV_Thread::Create<TLoggingThread>(0, [&](TLoggingThread& self) {
        int32_t v = 0x01020304;
        const char text[] = {'a', 'b', 'c'};
        self.SynchronizeMethod([&] { note("plain"); });
        self.SynchronizeForMethod(&v, 4, 1, std::function<void(int32_t)>([&](int32_t x) { note("int " + std::to_string(x)); }));
        self.SynchronizeForMethod(text, 3, 2, std::function<void(const void*, uint32_t)>([&](const void* p, uint32_t n) {
                                      note("data " + std::string(static_cast<const char*>(p), n));
                                  }));
        self.SynchronizeForMethod(text, 3, 3, std::function<void(const std::string&)>([&](const std::string& s) { note("string " + s); }));
        self.SynchronizeForMethod(&v, 4, 4, std::function<void(int32_t)>([&](int32_t x) { note("int4 " + std::to_string(x)); }));
        self.SynchronizeForMethod(&v, 4, 5, std::function<void(int32_t)>([&](int32_t) { note("never"); }));
        // A form that does not match the type calls nothing either.
        self.SynchronizeForMethod(&v, 4, 2, std::function<void(int32_t)>([&](int32_t) { note("mismatch"); }));
        self.Log("calls done");
    });
    ASSERT_TRUE(testing_support::PumpUntil([&] { return t->ThreadFinished(); }));
    EXPECT_TRUE(seen.AllOnMain);
    EXPECT_EQ(seen.Calls, (std::vector<std::string>{"plain", "int 16909060", "data abc", "string abc", "int4 16909060"}));
    t->Free();
}

TEST(Thread, ACallQueuedJustBeforeTheThreadIsDisabledIsDropped) {
    std::atomic<bool> called{false};
    std::atomic<bool> returned{false};
    auto* t = rv::TRV_Thread::Create<TLoggingThread>(0, [&](TLoggingThread& self) {
        self.SynchronizeMethod([&] { called = true; });
        returned = true;
    });
    // The worker is now blocked in its main-thread call; no message is handled before Free disables it.
    ASSERT_TRUE(WaitFor(CallQueued));
    t->Free();
    EXPECT_TRUE(returned);
    EXPECT_FALSE(called);
    testing_support::PumpUntil([] { return false; }, 50); // nothing left to run later either
    EXPECT_FALSE(called);
}

TEST(Thread, FreeOnTerminateFreesItselfAndRaisesFinishedOnTheMainThread) {
    std::atomic<bool> destroyed{false};
    bool finishedOnMain = false;
    auto* t = rv::TRV_Thread::Create<TLoggingThread>(rv::toCreateSuspended | rv::toFreeWhenTerminated, nullptr,
                                                     &destroyed);
    t->FOnFinished = [&](rv::TRV_Thread*) { finishedOnMain = rv::IsMainThread(); };
    t->Resume();
    ASSERT_TRUE(testing_support::PumpUntil([&] { return destroyed.load(); }));
    EXPECT_TRUE(finishedOnMain);
}

TEST(Thread, SynchroniserDestructionFreesThreadsLeftRunningAndDropsTheirCalls) {
    std::atomic<bool> destroyed{false}, called{false};
    // Owned by nobody: the synchroniser must end and free it.
    rv::TRV_Thread::Create<TLoggingThread>(0, [&](TLoggingThread& self) {
        while (!self.Terminated()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        self.SynchronizeMethod([&] { called = true; });
    }, &destroyed);
    rv::TRV_StopWatch sw(true);
    rv::FinishFoundation();
    uint32_t ms = sw.ElapsedTimeMS();
    rv::StartFoundation();
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(called);
    // It waits at most about 1000 ms for the threads to leave before freeing them itself.
    EXPECT_GE(ms, 900u);
    EXPECT_LT(ms, 3000u);
}

TEST(Thread, ACallMadeWithoutASynchroniserIsNotRun) {
    rv::FinishFoundation();
    std::atomic<bool> called{false};
    auto* t = rv::TRV_Thread::Create<TLoggingThread>(0, [&](TLoggingThread& self) {
        self.SynchronizeMethod([&] { called = true; });
    });
    ASSERT_TRUE(WaitFor([&] { return t->ThreadFinished(); }));
    t->Free();
    rv::StartFoundation();
    EXPECT_FALSE(called);
}
