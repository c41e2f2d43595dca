#include "net/callback_guard.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

namespace {

using rv::TGuardedCallResult;

#ifdef _WIN32
void RaiseAccessViolation() {
    volatile uintptr_t address = 16;
    *reinterpret_cast<volatile int*>(address) = 1;
}
#endif

TEST(CallbackGuard, ReportsHowTheCallEnded) {
    int ran = 0;
    EXPECT_EQ(rv::CallGuarded([&] { ++ran; }), TGuardedCallResult::Returned);
    EXPECT_EQ(rv::CallGuarded([&] {
                  ++ran;
                  throw std::runtime_error("x");
              }),
              TGuardedCallResult::Exception);
    EXPECT_EQ(rv::CallGuarded([&] {
                  ++ran;
                  throw 42;
              }),
              TGuardedCallResult::Exception);
    EXPECT_EQ(rv::CallGuarded(nullptr), TGuardedCallResult::Returned);
    EXPECT_EQ(ran, 3);
}

#ifdef _WIN32
// After an access violation the thread is whole: C++ exceptions still unwind through it, guards still nest, and
// further faults are contained, on the main thread and on another.
void FaultAndRecoverRepeatedly() {
    for (int i = 0; i < 3; ++i) {
        bool after = false;
        EXPECT_EQ(rv::CallGuarded([&] {
                      RaiseAccessViolation();
                      after = true;
                  }),
                  TGuardedCallResult::AccessViolation);
        EXPECT_FALSE(after);
        bool caught = false;
        try {
            throw std::runtime_error("after the fault");
        } catch (const std::runtime_error&) {
            caught = true;
        }
        EXPECT_TRUE(caught);
        TGuardedCallResult inner = TGuardedCallResult::Returned;
        EXPECT_EQ(rv::CallGuarded([&] { inner = rv::CallGuarded([] { RaiseAccessViolation(); }); }),
                  TGuardedCallResult::Returned);
        EXPECT_EQ(inner, TGuardedCallResult::AccessViolation);
        EXPECT_EQ(rv::CallGuarded([] {
                      try {
                          throw 1;
                      } catch (int) {
                      }
                      RaiseAccessViolation();
                  }),
                  TGuardedCallResult::AccessViolation);
    }
}

TEST(CallbackGuard, ContainsAccessViolationsAndLeavesTheThreadWhole) {
    FaultAndRecoverRepeatedly();
    std::thread other(FaultAndRecoverRepeatedly);
    other.join();
}
#endif

} // namespace
