// Timer and guarded-call tests whose expectations are those of the Windows backends.
#include "tests/net/timer_platform_test.h"

#include "net/callback_guard.h"

#include <cstdint>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

using rv::TGuardedCallResult;

const std::string kEndOfLine = "\r\n";

const bool kRaisesAccessViolations = true;

// A real access violation: the address comes from a volatile, so the compiler cannot see the null write.
void RaiseAccessViolation() {
    volatile uintptr_t address = 16;
    *reinterpret_cast<volatile int*>(address) = 1;
}

namespace {

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

} // namespace

TEST(CallbackGuard, ContainsAccessViolationsAndLeavesTheThreadWhole) {
    FaultAndRecoverRepeatedly();
    std::thread other(FaultAndRecoverRepeatedly);
    other.join();
}
