#include "net/multi_timer.h"

#include "foundation/message_box.h"
#include "foundation/thread.h"
#include "foundation/tick_count.h"
#include "tests/net/timer_platform_test.h"
#include "tests/test_support.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using testing_support::PumpUntil;

constexpr rv::T_TimerCallBackOptions kMainThread = rv::T_TimerCallBackOptions::tcbSynchronized;
constexpr rv::T_TimerCallBackOptions kTimerThread = rv::T_TimerCallBackOptions::tcbNotSynchronized;

std::string Name(rv::T_TimerCallBackOptions Tcbs) { return Tcbs == kMainThread ? "main" : "timer"; }

void PumpFor(uint32_t Ms) {
    PumpUntil([] { return false; }, Ms);
}

// Times are taken in the service's own time base, the tick count (on Windows it moves in steps of ~16 ms), so a
// due time is exact: a timer never fires before its tick. Negative when To is before From; a wrap is harmless.
int64_t TicksBetween(uint32_t From, uint32_t To) { return static_cast<int32_t>(To - From); }

// True while a main-thread call waits in the synchroniser's queue.
bool CallQueued() {
    std::lock_guard<std::recursive_mutex> lock(rv::SynchCS());
    return rv::RV_Synch.load() && rv::RV_Synch.load()->SyncHead != nullptr;
}

bool WaitWithoutPumping(const std::function<bool()>& Cond, uint32_t TimeoutMs = 5000) {
    auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Cond()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct TCall {
    std::string Tag;
    uint32_t Tick; // when the call-back started
    bool OnMain;
};

struct TBox {
    std::string Title;
    std::string Text;
    bool OnMain;
};

// Everything a call-back touches lives here, so it outlives the service (freed in TearDown).
class MultiTimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        rv::SetMessageBoxHook([this](const std::string& Title, const std::string& Text, uint32_t) {
            std::lock_guard<std::mutex> lock(FLock);
            FBoxes.push_back({Title, Text, rv::IsMainThread()});
            return rv::idOK;
        });
    }
    void TearDown() override {
        StopService();
        rv::SetMessageBoxHook(nullptr);
        rv::SetTickSourceForTesting(nullptr);
    }

    rv::TRV_MultiTimer& Service() {
        if (!FService) FService = rv::TRV_Thread::Create<rv::TRV_MultiTimer>(0);
        return *FService;
    }
    void StopService() {
        if (FService) FService->Free();
        FService = nullptr;
    }

    // Freezes the tick count at Start; tests move it with FakeTicks. Before Service().
    void UseFakeClock(uint32_t Start) {
        FFakeTicks = Start;
        rv::SetTickSourceForTesting([this] { return FFakeTicks.load(); });
    }

    rv::T_TimerCallBackEvent Recorder(const std::string& Tag) {
        return [this, Tag] { Record(Tag); };
    }
    void Record(const std::string& Tag) {
        std::lock_guard<std::mutex> lock(FLock);
        FCalls.push_back({Tag, rv::TickCount32(), rv::IsMainThread()});
    }
    std::vector<TCall> Calls() {
        std::lock_guard<std::mutex> lock(FLock);
        return FCalls;
    }
    std::vector<TCall> CallsOf(const std::string& Tag) {
        std::vector<TCall> calls;
        for (auto& c : Calls())
            if (c.Tag == Tag) calls.push_back(c);
        return calls;
    }
    size_t CallCount(const std::string& Tag) { return CallsOf(Tag).size(); }
    std::vector<std::string> Tags() {
        std::vector<std::string> tags;
        for (auto& c : Calls()) tags.push_back(c.Tag);
        return tags;
    }
    std::vector<TBox> Boxes() {
        std::lock_guard<std::mutex> lock(FLock);
        return FBoxes;
    }

    std::atomic<uint32_t> FFakeTicks{0};
    std::atomic<rv::T_TimerID> FSelf{rv::C_NullTimerID};

private:
    rv::TRV_MultiTimer* FService = nullptr;
    std::mutex FLock;
    std::vector<TCall> FCalls; // guarded by FLock
    std::vector<TBox> FBoxes;  // guarded by FLock
};

TEST_F(MultiTimerTest, PeriodZeroGivesNoTimerAndTheNullIdNamesNone) {
    auto& t = Service();
    EXPECT_EQ(t.CreateMSTimer(0, Recorder("x")), rv::C_NullTimerID);
    EXPECT_EQ(t.CreateMSTimer(0, kTimerThread, Recorder("x")), rv::C_NullTimerID);
    EXPECT_EQ(t.CreateOneShotTimer(0, Recorder("x")), rv::C_NullTimerID);
    EXPECT_EQ(t.CreateOneShotTimerEx(0, kTimerThread, Recorder("x")), rv::C_NullTimerID);
    rv::T_TimerID none = rv::C_NullTimerID;
    EXPECT_FALSE(t.TimerRunning(none));
    EXPECT_EQ(t.TimerCycles(none, true), 0u);
    t.FreeTimer(none);
    t.ReStartPeriod(none);
    t.ChangeTimerPeriod(none, 10);
    EXPECT_FALSE(t.RunningTimersFound(false));
}

TEST_F(MultiTimerTest, SynchronisedCallBacksRunOnTheMainThreadOthersOnTheTimerThread) {
    auto& t = Service();
    t.CreateOneShotTimer(10, Recorder("main"));
    t.CreateOneShotTimerEx(10, kTimerThread, Recorder("timer"));
    ASSERT_TRUE(PumpUntil([&] { return Calls().size() == 2; }));
    for (auto& c : Calls()) EXPECT_EQ(c.OnMain, c.Tag == "main") << c.Tag;
}

TEST_F(MultiTimerTest, SamePeriodTimersCreatedInTheSameMillisecondFireNewestFirst) {
    auto& t = Service();
    for (rv::T_TimerCallBackOptions tcbs : {kMainThread, kTimerThread}) {
        SCOPED_TRACE(Name(tcbs));
        size_t before = Calls().size();
        rv::T_TimerID older, newer;
        for (int attempt = 0;; ++attempt) {
            ASSERT_LT(attempt, 100) << "never created two timers within one millisecond";
            uint32_t tick = rv::TickCount32();
            older = t.CreateOneShotTimerEx(30, tcbs, Recorder("older"));
            newer = t.CreateOneShotTimerEx(30, tcbs, Recorder("newer"));
            if (rv::TickCount32() == tick) break;
            t.FreeTimer(older);
            t.FreeTimer(newer);
        }
        ASSERT_TRUE(PumpUntil([&] { return Calls().size() == before + 2; }));
        auto tags = Tags();
        EXPECT_EQ(std::vector<std::string>(tags.begin() + before, tags.end()),
                  (std::vector<std::string>{"newer", "older"}));
    }
}

TEST_F(MultiTimerTest, OneShotFiresOnceAndRestartFiresItOnceMoreAFullPeriodLater) {
    auto& t = Service();
    constexpr uint32_t period = 60;
    rv::T_TimerID id = t.CreateOneShotTimer(period, Recorder("shot"));
    EXPECT_TRUE(t.TimerRunning(id));
    ASSERT_TRUE(PumpUntil([&] { return CallCount("shot") == 1; }));
    PumpFor(3 * period);
    EXPECT_EQ(CallCount("shot"), 1u);
    EXPECT_FALSE(t.TimerRunning(id));
    EXPECT_EQ(t.TimerCycles(id, false), 1u);

    uint32_t restarted = rv::TickCount32();
    t.ReStartPeriod(id);
    EXPECT_TRUE(t.TimerRunning(id));
    ASSERT_TRUE(PumpUntil([&] { return CallCount("shot") == 2; }));
    EXPECT_GE(TicksBetween(restarted, Calls().back().Tick), period);
    PumpFor(3 * period);
    EXPECT_EQ(CallCount("shot"), 2u);
    EXPECT_FALSE(t.TimerRunning(id));
    EXPECT_EQ(t.TimerCycles(id, false), 2u);
}

// The main thread is kept from serving calls until the timer thread has queued its delivery; only then does
// the test act on the timer. A free or a restart drops that delivery; doing nothing lets it through.
TEST_F(MultiTimerTest, FreeOrRestartWhileASynchronisedDeliveryIsOnItsWayDropsIt) {
    enum class TAction { None, Free, Restart };
    constexpr uint32_t period = 40;
    for (TAction action : {TAction::None, TAction::Free, TAction::Restart}) {
        SCOPED_TRACE(static_cast<int>(action));
        std::string tag = std::to_string(static_cast<int>(action)) + " action";
        auto& t = Service();
        rv::T_TimerID id = t.CreateMSTimer(period, Recorder(tag));
        ASSERT_TRUE(WaitWithoutPumping(CallQueued));
        uint32_t acted = rv::TickCount32();
        if (action == TAction::Free) t.FreeTimer(id);
        if (action == TAction::Restart) t.ReStartPeriod(id);
        switch (action) {
        case TAction::None:
            ASSERT_TRUE(PumpUntil([&] { return CallCount(tag) >= 1; }));
            EXPECT_LT(TicksBetween(acted, CallsOf(tag).front().Tick), period); // the queued delivery itself
            break;
        case TAction::Free:
            EXPECT_EQ(id, rv::C_NullTimerID);
            PumpFor(3 * period);
            EXPECT_EQ(CallCount(tag), 0u);
            break;
        case TAction::Restart:
            ASSERT_TRUE(PumpUntil([&] { return CallCount(tag) >= 1; }));
            EXPECT_GE(TicksBetween(acted, CallsOf(tag).front().Tick), period); // the next expiry, not the dropped one
            break;
        }
        StopService();
    }
}

// The time left grows or shrinks by the change of period: 100 -> 300 ms half-way expires ~250 ms later.
TEST_F(MultiTimerTest, ChangeTimerPeriodMovesTheNextExpiryByTheDifference) {
    struct TCase {
        uint32_t Old, New, At;
    };
    // The expiry tick for a timer created at tick Created and changed at tick Changed; it only grows with either.
    auto expiry = [](const TCase& c, uint32_t Created, uint32_t Changed) {
        int64_t left = std::max<int64_t>(0, c.Old - TicksBetween(Created, Changed)) + c.New - c.Old;
        return Changed + static_cast<uint32_t>(std::max<int64_t>(left, 0));
    };
    for (TCase c : {TCase{100, 300, 50}, TCase{300, 100, 50}, TCase{100, 20, 50}}) {
        SCOPED_TRACE(std::to_string(c.Old) + " -> " + std::to_string(c.New));
        auto& t = Service();
        std::string tag = std::to_string(c.Old) + "-" + std::to_string(c.New);
        // The service reads the tick count inside each call, between these readings.
        uint32_t created0 = rv::TickCount32();
        rv::T_TimerID id = t.CreateMSTimer(c.Old, kTimerThread, Recorder(tag));
        uint32_t created1 = rv::TickCount32();
        std::this_thread::sleep_for(std::chrono::milliseconds(c.At));
        uint32_t changed0 = rv::TickCount32();
        t.ChangeTimerPeriod(id, c.New);
        uint32_t changed1 = rv::TickCount32();
        ASSERT_TRUE(PumpUntil([&] { return CallCount(tag) >= 2; }));
        auto calls = CallsOf(tag);
        uint32_t earliest = expiry(c, created0, changed0);
        uint32_t latest = expiry(c, created1, changed1);
        SCOPED_TRACE("first call " + std::to_string(TicksBetween(changed0, calls[0].Tick)) + " ms after the change");
        EXPECT_GE(TicksBetween(earliest, calls[0].Tick), 0);
        EXPECT_LE(TicksBetween(latest, calls[0].Tick), 40);
        // Then the new period, counted from the expiry that was due (a late first call does not delay it).
        EXPECT_GE(TicksBetween(earliest, calls[1].Tick), c.New);
        StopService();
    }
}

TEST_F(MultiTimerTest, ChangeToPeriodZeroIsRefused) {
    auto& t = Service();
    uint32_t created = rv::TickCount32();
    rv::T_TimerID id = t.CreateMSTimer(20, kTimerThread, Recorder("tick"));
    t.ChangeTimerPeriod(id, 0);
    ASSERT_TRUE(PumpUntil([&] { return CallCount("tick") >= 2; }));
    EXPECT_GE(TicksBetween(created, Calls()[1].Tick), 2 * 20);
}

TEST_F(MultiTimerTest, CallBackThatFreesItsOwnTimerIsNotCalledAgain) {
    constexpr uint32_t period = 30;
    for (rv::T_TimerCallBackOptions tcbs : {kMainThread, kTimerThread}) {
        SCOPED_TRACE(Name(tcbs));
        auto& t = Service();
        std::string tag = Name(tcbs) + " self";
        FSelf = t.CreateMSTimer(period, tcbs, [this, &t, tag] {
            Record(tag);
            rv::T_TimerID self = FSelf.load();
            t.FreeTimer(self);
        });
        rv::T_TimerID kept = FSelf.load();
        ASSERT_TRUE(PumpUntil([&] { return CallCount(tag) == 1; }));
        PumpFor(4 * period);
        EXPECT_EQ(CallCount(tag), 1u);
        EXPECT_FALSE(t.TimerRunning(kept));
        EXPECT_FALSE(t.RunningTimersFound(false));
    }
}

// A handle kept after FreeTimer names nothing, and handles are not reused.
TEST_F(MultiTimerTest, StaleHandleDoesNothing) {
    auto& t = Service();
    rv::T_TimerID id = t.CreateMSTimer(20, kTimerThread, Recorder("freed"));
    rv::T_TimerID copy = id;
    t.FreeTimer(id);
    EXPECT_EQ(id, rv::C_NullTimerID);
    t.ReStartPeriod(copy);
    t.ChangeTimerPeriod(copy, 10);
    EXPECT_FALSE(t.TimerRunning(copy));
    EXPECT_EQ(t.TimerCycles(copy, false), 0u);
    t.FreeTimer(copy);
    rv::T_TimerID next = t.CreateMSTimer(20, kTimerThread, Recorder("next"));
    EXPECT_NE(next, copy);
    ASSERT_TRUE(PumpUntil([&] { return CallCount("next") >= 2; }));
    EXPECT_EQ(CallCount("freed"), 0u);
}

TEST_F(MultiTimerTest, TimerCyclesCountsExpiriesAndResetZeroesThem) {
    auto& t = Service();
    rv::T_TimerID id = t.CreateMSTimer(10, kTimerThread, nullptr); // no call-back: still counted
    ASSERT_TRUE(PumpUntil([&] { return t.TimerCycles(id, false) >= 3; }));
    uint32_t read = t.TimerCycles(id, true);
    EXPECT_GE(read, 3u);
    EXPECT_LT(t.TimerCycles(id, false), read);
    EXPECT_TRUE(t.TimerRunning(id));
}

// With the tick count frozen, only the bookkeeping of the list decides what fires: time that has passed is
// never lost, however many timers expire in one pass, and nothing fires early.
TEST_F(MultiTimerTest, ExpiriesInOnePassAllFireAndKeepTheirTime) {
    UseFakeClock(1000);
    auto& t = Service();
    for (int i = 0; i < 5; ++i) t.CreateOneShotTimerEx(10, kTimerThread, Recorder("same"));
    t.CreateOneShotTimerEx(20, kTimerThread, Recorder("later"));
    t.CreateOneShotTimerEx(40, kTimerThread, Recorder("last"));
    FFakeTicks = 1030;
    ASSERT_TRUE(PumpUntil([&] { return CallCount("same") == 5 && CallCount("later") == 1; }));
    PumpFor(50);
    EXPECT_EQ(CallCount("last"), 0u);
    FFakeTicks = 1040;
    ASSERT_TRUE(PumpUntil([&] { return CallCount("last") == 1; }));
}

// A periodic timer served late keeps its schedule: the next expiry counts from the one due, not from when the
// thread got to it. Expiries missed altogether are merged into one call, not delivered in a burst.
TEST_F(MultiTimerTest, PeriodicTimerServedLateKeepsItsSchedule) {
    UseFakeClock(1000);
    auto& t = Service();
    rv::T_TimerID id = t.CreateMSTimer(10, kTimerThread, Recorder("beat"));
    FFakeTicks = 1015; // 5 ms late for 1010
    ASSERT_TRUE(PumpUntil([&] { return CallCount("beat") == 1; }));
    FFakeTicks = 1020;
    ASSERT_TRUE(PumpUntil([&] { return CallCount("beat") == 2; }));
    FFakeTicks = 1029;
    PumpFor(30);
    EXPECT_EQ(CallCount("beat"), 2u);
    FFakeTicks = 1061; // 1030, 1040, 1050 and 1060 are all due
    ASSERT_TRUE(PumpUntil([&] { return CallCount("beat") == 3; }));
    PumpFor(30);
    EXPECT_EQ(CallCount("beat"), 3u);
    FFakeTicks = 1069;
    PumpFor(30);
    EXPECT_EQ(CallCount("beat"), 3u);
    FFakeTicks = 1070;
    ASSERT_TRUE(PumpUntil([&] { return CallCount("beat") == 4; }));
    EXPECT_EQ(t.TimerCycles(id, false), 4u);
}

TEST_F(MultiTimerTest, TickCountWrapIsHarmless) {
    UseFakeClock(0xFFFFFFFFu - 4);
    auto& t = Service();
    rv::T_TimerID id = t.CreateMSTimer(10, kTimerThread, Recorder("wrap"));
    FFakeTicks = 3; // 8 ms later, across the wrap
    PumpFor(30);
    EXPECT_EQ(CallCount("wrap"), 0u);
    FFakeTicks = 5;
    ASSERT_TRUE(PumpUntil([&] { return CallCount("wrap") == 1; }));
    FFakeTicks = 15;
    ASSERT_TRUE(PumpUntil([&] { return CallCount("wrap") == 2; }));
    EXPECT_EQ(t.TimerCycles(id, false), 2u);
}

TEST_F(MultiTimerTest, FaultingCallBackIsDisabledAndReportedOnceOnTheMainThread) {
    struct TCase {
        rv::T_TimerCallBackOptions Tcbs;
        bool AccessViolation;
    };
    std::vector<TCase> cases = {{kMainThread, false}, {kTimerThread, false}};
    if (kRaisesAccessViolations) {
        cases.push_back({kMainThread, true});
        cases.push_back({kTimerThread, true});
    }
    constexpr uint32_t period = 10;
    for (TCase c : cases) {
        SCOPED_TRACE(Name(c.Tcbs) + (c.AccessViolation ? " access violation" : " exception"));
        auto& t = Service();
        size_t boxesBefore = Boxes().size();
        std::string tag = Name(c.Tcbs) + std::to_string(c.AccessViolation) + " fault";
        bool av = c.AccessViolation;
        rv::T_TimerID id = t.CreateMSTimer(period, c.Tcbs, [this, tag, av] {
            Record(tag);
            if (!av) throw std::runtime_error("call-back fault");
            RaiseAccessViolation();
            Record(tag + " went on");
        });
        t.CreateMSTimer(period, c.Tcbs, Recorder("healthy" + tag));
        ASSERT_TRUE(PumpUntil([&] { return Boxes().size() == boxesBefore + 1; }));
        uint32_t cycles = t.TimerCycles(id, false);
        size_t healthy = CallCount("healthy" + tag);
        ASSERT_TRUE(PumpUntil([&] {
            return t.TimerCycles(id, false) >= cycles + 5 && CallCount("healthy" + tag) >= healthy + 5;
        }));
        EXPECT_EQ(CallCount(tag), 1u);
        EXPECT_EQ(CallCount(tag + " went on"), 0u);
        EXPECT_TRUE(t.TimerRunning(id)); // still scheduled, without a call-back
        auto boxes = Boxes();
        ASSERT_EQ(boxes.size(), boxesBefore + 1);
        EXPECT_EQ(boxes.back().Title, "RV_Timer Error");
        EXPECT_EQ(boxes.back().Text, "A timer call back method caused an access violation exception.\r"
                                     "The call back event for this timer has been disabled.");
        EXPECT_TRUE(boxes.back().OnMain);
        StopService();
    }
}

// Destroying the service destroys the call-backs; a capture whose destructor calls the service finds it
// deactivated, and every operation does nothing.
TEST_F(MultiTimerTest, OperationsDuringShutdownDoNothing) {
    struct TResults {
        rv::T_TimerID Created = 99;
        bool Running = true;
        bool Found = true;
        uint32_t Cycles = 99;
        bool Ran = false;
    };
    auto results = std::make_shared<TResults>();
    struct TProbe {
        rv::TRV_MultiTimer* Service;
        rv::T_TimerID Other;
        std::shared_ptr<TResults> Results;
        ~TProbe() {
            Results->Created = Service->CreateMSTimer(10, [] {});
            Results->Running = Service->TimerRunning(Other);
            Results->Cycles = Service->TimerCycles(Other, false);
            Service->ReStartPeriod(Other);
            Service->ChangeTimerPeriod(Other, 5);
            Results->Found = Service->RunningTimersFound(false);
            Service->FreeTimer(Other);
            Results->Ran = true;
        }
    };
    auto& t = Service();
    rv::T_TimerID other = t.CreateMSTimer(10, kTimerThread, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return t.TimerCycles(other, false) >= 1; }));
    auto probe = std::make_shared<TProbe>(&t, other, results);
    t.CreateMSTimer(100000, [probe] {});
    probe.reset();
    StopService();
    ASSERT_TRUE(results->Ran);
    EXPECT_EQ(results->Created, rv::C_NullTimerID);
    EXPECT_FALSE(results->Running);
    EXPECT_EQ(results->Cycles, 0u);
    EXPECT_FALSE(results->Found);
}

// Several threads create, re-time and free timers while call-backs on both paths create and free timers too.
TEST_F(MultiTimerTest, OperationsFromManyThreadsAndCallBacksAgree) {
    auto& t = Service();
    constexpr int kThreads = 4;
    constexpr int kPerThread = 40;
    struct TShared {
        std::atomic<int> Fired[kThreads][kPerThread] = {};
        std::atomic<int> Chained[kThreads][kPerThread] = {};
        std::atomic<int> FreedFired{0};
        std::atomic<bool> Stop{false};
    };
    auto shared = std::make_shared<TShared>();
    rv::T_TimerID churn[4];
    for (int i = 0; i < 4; ++i) churn[i] = t.CreateMSTimer(5 + i, i % 2 ? kTimerThread : kMainThread, [] {});

    std::vector<std::thread> threads;
    for (int th = 0; th < kThreads; ++th) {
        threads.emplace_back([&t, shared, th, &churn] {
            for (int i = 0; i < kPerThread; ++i) {
                rv::T_TimerCallBackOptions tcbs = (i + th) % 2 ? kTimerThread : kMainThread;
                // Fires once; its call-back starts a follow-up one-shot that frees itself.
                t.CreateOneShotTimerEx(1 + i % 15, tcbs, [&t, shared, th, i, tcbs] {
                    shared->Fired[th][i]++;
                    auto self = std::make_shared<std::atomic<rv::T_TimerID>>(rv::C_NullTimerID);
                    *self = t.CreateOneShotTimerEx(1 + i % 3, tcbs, [&t, shared, th, i, self] {
                        shared->Chained[th][i]++;
                        rv::T_TimerID id = self->load();
                        t.FreeTimer(id);
                    });
                });
                // Freed at once by this thread: must never fire.
                rv::T_TimerID doomed = t.CreateMSTimer(200, tcbs, [shared] { shared->FreedFired++; });
                t.FreeTimer(doomed);
                t.ChangeTimerPeriod(churn[(i + th) % 4], 3 + (i % 7));
                t.ReStartPeriod(churn[(i + th + 1) % 4]);
                (void)t.TimerCycles(churn[i % 4], i % 3 == 0);
                (void)t.TimerRunning(churn[i % 4]);
                std::this_thread::yield();
            }
        });
    }
    bool done = PumpUntil(
        [&] {
            for (int th = 0; th < kThreads; ++th)
                for (int i = 0; i < kPerThread; ++i)
                    if (shared->Chained[th][i] == 0) return false;
            return true;
        },
        20000);
    for (auto& th : threads) th.join();
    ASSERT_TRUE(done);
    PumpFor(50);
    for (int th = 0; th < kThreads; ++th)
        for (int i = 0; i < kPerThread; ++i) {
            EXPECT_EQ(shared->Fired[th][i], 1) << th << "/" << i;
            EXPECT_EQ(shared->Chained[th][i], 1) << th << "/" << i;
        }
    EXPECT_EQ(shared->FreedFired, 0);
    for (auto id : churn) EXPECT_TRUE(t.TimerRunning(id));
}

// The program's service: started once, and at exit the live timers are appended to "TimerLog.txt" in the
// current folder.
class MultiTimerServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        FOldDir = std::filesystem::current_path();
        FDir = testing_support::MakeTempDir();
        std::filesystem::current_path(FDir);
    }
    void TearDown() override {
        rv::FinishMultiTimer();
        std::filesystem::current_path(FOldDir);
    }
    std::filesystem::path FOldDir;
    std::string FDir;
};

TEST_F(MultiTimerServiceTest, ExitReportAppendsOneLinePerLiveTimer) {
    const std::string eol = kEndOfLine;
    testing_support::WriteFile(FDir + "TimerLog.txt", "earlier run" + eol);
    rv::StartMultiTimer();
    rv::TRV_MultiTimer* service = rv::MultiTimer.load();
    ASSERT_NE(service, nullptr);
    rv::StartMultiTimer();
    EXPECT_EQ(rv::MultiTimer.load(), service);

    std::atomic<int> shots{0};
    rv::T_TimerID live = service->CreateMSTimer(20, kTimerThread, nullptr);
    service->CreateOneShotTimerEx(5, kTimerThread, [&shots] { shots++; }); // expired: not live
    rv::T_TimerID freed = service->CreateMSTimer(20, kTimerThread, nullptr);
    service->FreeTimer(freed);
    ASSERT_TRUE(PumpUntil([&] { return shots == 1 && service->TimerCycles(live, false) >= 2; }));

    rv::FinishMultiTimer();
    EXPECT_EQ(rv::MultiTimer.load(), nullptr);
    std::string log = testing_support::ReadFile(FDir + "TimerLog.txt");
    const std::string prefix = "earlier run" + eol + "Live timer: Period 20 User Val 0 Cycles ";
    ASSERT_EQ(log.compare(0, prefix.size(), prefix), 0) << log;
    std::string cycles = log.substr(prefix.size());
    ASSERT_GE(cycles.size(), eol.size() + 1) << log;
    ASSERT_EQ(cycles.substr(cycles.size() - eol.size()), eol) << log;
    cycles.resize(cycles.size() - eol.size());
    ASSERT_EQ(cycles.find_first_not_of("0123456789"), std::string::npos) << log;
    EXPECT_GE(std::stoul(cycles), 2u);
}

TEST_F(MultiTimerServiceTest, NoLiveTimerWritesNoReport) {
    rv::StartMultiTimer();
    rv::TRV_MultiTimer* service = rv::MultiTimer.load();
    ASSERT_NE(service, nullptr);
    rv::T_TimerID id = service->CreateMSTimer(20, kTimerThread, nullptr);
    service->FreeTimer(id);
    EXPECT_FALSE(service->RunningTimersFound(false));
    rv::FinishMultiTimer();
    EXPECT_FALSE(testing_support::FileExists(FDir + "TimerLog.txt"));
}

} // namespace
