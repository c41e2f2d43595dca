// Timer test expectations of the POSIX backends.
#include "tests/net/timer_platform_test.h"

#include <gtest/gtest.h>

const std::string kEndOfLine = "\n";

// A fault in a call-back stays fatal here (a SIGSEGV cannot be resumed from soundly), so no test raises one.
const bool kRaisesAccessViolations = false;

void RaiseAccessViolation() { ADD_FAILURE() << "no access violation is raised on POSIX"; }
