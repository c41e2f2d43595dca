#include "foundation/main_loop.h"
#include "foundation/message_pump.h"
#include "foundation/stop_watch.h"
#include "foundation/thread_contract.h"
#include "tests/test_support.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

// Records every message it receives, and on which thread.
class TRecorder : public rv::TRV_WndMsgProcessor {
public:
    void WndProc(rv::TMessage& m) override {
        // Only the test's own messages; the system's (creation, destruction) go to the base.
        if (!((m.Msg >= 256 && m.Msg <= 1100) || m.Msg >= rv::WM_APP_BASE)) {
            rv::TRV_WndMsgProcessor::WndProc(m);
            return;
        }
        Received.push_back(m);
        OnMainThread = OnMainThread && rv::IsMainThread();
        SawPumpRunning = SawPumpRunning || rv::ProcessingApplicationMessages;
        if (OnMessage) OnMessage(m);
    }
    std::vector<rv::TMessage> Received;
    bool OnMainThread = true;
    bool SawPumpRunning = false;
    std::function<void(rv::TMessage&)> OnMessage;
};

constexpr uint32_t kTestMsg = rv::WM_APP_BASE + 77;

} // namespace

TEST(MainLoop, PostedMessagesArriveInOrderOnTheMainThreadFromAnyThread) {
    TRecorder rec;
    constexpr int kThreads = 4, kPerThread = 200;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([&rec, t] {
            for (int i = 0; i < kPerThread; ++i) ASSERT_TRUE(rec.PostMessage(kTestMsg, t, i));
        });
    for (auto& p : posters) p.join();
    ASSERT_TRUE(testing_support::PumpUntil([&] { return rec.Received.size() == kThreads * kPerThread; }));
    EXPECT_TRUE(rec.OnMainThread);
    std::vector<intptr_t> next(kThreads, 0);
    for (auto& m : rec.Received) {
        ASSERT_EQ(m.LParam, next[m.WParam]) << "out of order from thread " << m.WParam;
        ++next[m.WParam];
    }
}

TEST(MainLoop, MessagesForADestroyedWindowAreDropped) {
    auto gone = std::make_unique<TRecorder>();
    rv::TWindowHandle wnd = gone->WindowHandle();
    ASSERT_TRUE(gone->PostMessage(kTestMsg, 1, 0));
    gone.reset();
    EXPECT_FALSE(rv::PostWindowMessage(wnd, kTestMsg, 2, 0));
    TRecorder alive;
    alive.PostMessage(kTestMsg, 3, 0);
    ASSERT_TRUE(testing_support::PumpUntil([&] { return alive.Received.size() == 1; }));
}

TEST(MainLoop, RunMessageLoopEndsWithTheExitCodeOfApplicationTerminate) {
    TRecorder rec;
    rec.OnMessage = [](rv::TMessage& m) {
        if (m.WParam == 2) rv::ApplicationTerminate(5);
    };
    std::thread poster([&rec] {
        rec.PostMessage(kTestMsg, 1, 0);
        rec.PostMessage(kTestMsg, 2, 0);
    });
    int code = rv::RunMessageLoop();
    poster.join();
    EXPECT_EQ(code, 5);
    EXPECT_EQ(rec.Received.size(), 2u);
    EXPECT_TRUE(rv::ApplicationTerminated());
    EXPECT_FALSE(rv::ProcessApplicationMessages(10, rv::pmoNone));
    rv::ResetApplicationTerminated();
}

TEST(MessagePump, FiltersDiscardKeysAndMouseButLetButtonUpMessagesThrough) {
    // 256 key down, 264 the last key message, 265 just past; 512 mouse move, 513 button down, 514/517/520 button
    // up, 522 wheel, 523 past the mouse range; 1030 an ordinary user message.
    const std::vector<uint32_t> sent = {256, 264, 265, 512, 513, 514, 517, 520, 522, 523, 1030};
    struct Case {
        rv::T_pmoMsgFilter Filter;
        std::vector<uint32_t> Delivered;
    };
    const Case cases[] = {
        {rv::pmoNone, sent},
        {rv::pmoDisableKeys, {265, 512, 513, 514, 517, 520, 522, 523, 1030}},
        {rv::pmoDisableMouse, {256, 264, 265, 514, 517, 520, 523, 1030}},
        {rv::pmoDisableKeysAndMouse, {265, 514, 517, 520, 523, 1030}},
    };
    for (const Case& c : cases) {
        TRecorder rec;
        for (uint32_t m : sent) rec.PostMessage(m, 0, 0);
        rv::ProcessApplicationMessages(1000, c.Filter);
        std::vector<uint32_t> got;
        for (auto& m : rec.Received) got.push_back(m.Msg);
        EXPECT_EQ(got, c.Delivered) << "filter " << int(c.Filter);
    }
}

TEST(MessagePump, HandlesAtMostMaxMessagesAndFlagsItselfWhileRunning) {
    TRecorder rec;
    for (int i = 0; i < 5; ++i) rec.PostMessage(kTestMsg, 0, i);
    EXPECT_FALSE(rv::ProcessingApplicationMessages);
    EXPECT_TRUE(rv::ProcessApplicationMessages(2, rv::pmoNone));
    EXPECT_EQ(rec.Received.size(), 2u);
    EXPECT_TRUE(rec.SawPumpRunning);
    EXPECT_FALSE(rv::ProcessingApplicationMessages);
    rv::ProcessApplicationMessages(1000, rv::pmoNone);
    EXPECT_EQ(rec.Received.size(), 5u);
}

TEST(MessagePump, TimedPumpKeepsDeliveringForTheWholePeriod) {
    TRecorder rec;
    std::thread poster([&rec] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        rec.PostMessage(kTestMsg, 0, 1);
    });
    rv::TRV_StopWatch sw(true);
    EXPECT_TRUE(rv::ProcessApplicationMessagesMs(150, rv::pmoNone));
    uint32_t elapsed = sw.ElapsedTimeMS();
    poster.join();
    EXPECT_GE(elapsed, 150u);
    EXPECT_EQ(rec.Received.size(), 1u);
}

TEST(MessagePump, TimedPumpStopsAtOnceWhenTheApplicationTerminates) {
    TRecorder rec;
    rec.OnMessage = [](rv::TMessage&) { rv::ApplicationTerminate(0); };
    rec.PostMessage(kTestMsg, 0, 0);
    rv::TRV_StopWatch sw(true);
    EXPECT_FALSE(rv::ProcessApplicationMessagesMs(5000, rv::pmoNone));
    EXPECT_LT(sw.ElapsedTimeMS(), 2000u);
    rv::ResetApplicationTerminated();
}

// A wake-up must never be lost: workers post in bursts while the main thread goes back to waiting in between.
// A lost one shows as a wait that runs to its time-out while a message is queued.
TEST(MainLoop, AWaitingMainThreadWakesForEveryPostFromAnotherThread) {
    TRecorder rec;
    std::atomic<int> posted{0}, handled{0};
    std::atomic<bool> stop{false};
    rec.OnMessage = [&](rv::TMessage&) { ++handled; };
    std::vector<std::thread> posters;
    for (int t = 0; t < 2; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; !stop; ++i) {
                // At most a thousand waiting, so the queue stays small.
                while (!stop && posted.load() - handled.load() > 1000) std::this_thread::yield();
                rec.PostMessage(kTestMsg, t, i);
                ++posted;
                std::this_thread::yield();
            }
        });
    bool stalled = false;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!stalled && std::chrono::steady_clock::now() < end) {
        rv::ProcessApplicationMessages(1000, rv::pmoNone);
        const int before = handled.load();
        auto t0 = std::chrono::steady_clock::now();
        rv::WaitForMessages(300);
        // Posting never pauses for long, so a wait that lasts while a message is queued lost its wake-up.
        stalled = std::chrono::steady_clock::now() - t0 >= std::chrono::milliseconds(250) && posted.load() > before;
    }
    stop = true;
    for (auto& p : posters) p.join();
    EXPECT_FALSE(stalled);
    EXPECT_GT(handled.load(), 0);
}

#if defined(TOLVANE_THREAD_CHECKS)
TEST(ThreadContract, MainThreadAssertionPassesOnTheMainThreadAndAbortsElsewhere) {
    RV_ASSERT_MAIN_THREAD();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(std::thread([] { RV_ASSERT_MAIN_THREAD(); }).join(), "must be called on the main thread");
}
#endif
