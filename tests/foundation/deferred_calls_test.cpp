#include "foundation/deferred_calls.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>
#include <thread>
#include <vector>

TEST(DeferredCalls, HandlesRunOneTwoThreeAndWrapAboveOneHundredMillionSkippingLiveOnes) {
    rv::AsyncNotifyFinish(); // a fresh processor, as at program start
    EXPECT_EQ(rv::AsyncNotify, nullptr);
    EXPECT_EQ(rv::AsyncRegisterCallBackEvent([](int32_t) {}), 1);
    EXPECT_EQ(rv::AsyncRegisterCallBackEvent([](int32_t) {}), 2);
    EXPECT_EQ(rv::AsyncRegisterCallBackEvent([](int32_t) {}), 3);
    ASSERT_NE(rv::AsyncNotify, nullptr);
    rv::AsyncRemoveCallBackEvent(1);

    rv::AsyncNotify->FNextHandle = rv::C_MaxAsyncHandle - 1;
    EXPECT_EQ(rv::AsyncRegisterCallBackEvent([](int32_t) {}), 99999999);
    EXPECT_EQ(rv::AsyncRegisterCallBackEvent([](int32_t) {}), 100000000);
    EXPECT_EQ(rv::AsyncRegisterCallBackEvent([](int32_t) {}), 1); // 1 was removed: free again
    EXPECT_EQ(rv::AsyncRegisterCallBackEvent([](int32_t) {}), 4); // 2 and 3 are still registered
    rv::AsyncNotifyFinish();
}

TEST(DeferredCalls, ANotificationRunsAfterThePostingHandlerHasReturned) {
    std::vector<std::string> log;
    int32_t h = rv::AsyncRegisterCallBackEvent([&log](int32_t p) { log.push_back("call " + std::to_string(p)); });
    // Posted from inside a "handler": the call must not run before the handler ends.
    log.push_back("handler start");
    rv::AsyncPostNotification(h, 42);
    log.push_back("handler end");
    ASSERT_TRUE(testing_support::PumpUntil([&] { return log.size() == 3; }));
    EXPECT_EQ(log, (std::vector<std::string>{"handler start", "handler end", "call 42"}));
    rv::AsyncRemoveCallBackEvent(h);
}

TEST(DeferredCalls, ANotificationForARemovedHandleCallsNothing) {
    int calls = 0, other = 0;
    int32_t h = rv::AsyncRegisterCallBackEvent([&calls](int32_t) { ++calls; });
    int32_t marker = rv::AsyncRegisterCallBackEvent([&other](int32_t) { ++other; });
    rv::AsyncPostNotification(h, 1);
    rv::AsyncRemoveCallBackEvent(h);
    rv::AsyncPostNotification(marker, 0); // delivered after the dropped one
    ASSERT_TRUE(testing_support::PumpUntil([&] { return other == 1; }));
    EXPECT_EQ(calls, 0);
    rv::AsyncRemoveCallBackEvent(h); // removing twice does nothing
    rv::AsyncRemoveCallBackEvent(marker);
}

TEST(DeferredCalls, PostsFromWorkerThreadsAreDeliveredOnTheMainThreadInOrder) {
    std::vector<int32_t> got;
    bool allOnMain = true;
    int32_t h = rv::AsyncRegisterCallBackEvent([&](int32_t p) {
        got.push_back(p);
        allOnMain = allOnMain && rv::IsMainThread();
    });
    std::thread worker([h] {
        for (int32_t i = 0; i < 100; ++i) rv::AsyncPostNotification(h, i);
    });
    worker.join();
    ASSERT_TRUE(testing_support::PumpUntil([&] { return got.size() == 100; }));
    EXPECT_TRUE(allOnMain);
    for (int32_t i = 0; i < 100; ++i) EXPECT_EQ(got[static_cast<size_t>(i)], i);
    rv::AsyncRemoveCallBackEvent(h);
}
