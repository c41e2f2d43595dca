// Linked into the test programs whose code needs the timer service (sessions, discovery, net groups): the service
// runs for the whole program and ends after the tests, before the foundation does.

#include "net/multi_timer.h"

#include <gtest/gtest.h>

namespace {

class TTimerEnvironment : public testing::Environment {
public:
    void SetUp() override { rv::StartMultiTimer(); }
    void TearDown() override { rv::FinishMultiTimer(); }
};

[[maybe_unused]] testing::Environment* const GEnvironment = testing::AddGlobalTestEnvironment(new TTimerEnvironment);

} // namespace
