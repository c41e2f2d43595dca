#include "net/callback_guard.h"

#include <gtest/gtest.h>
#include <stdexcept>

namespace {

using rv::TGuardedCallResult;

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

} // namespace
