// Test helpers whose answers are those of the POSIX platforms.
#include "tests/test_support.h"

namespace testing_support {

std::string ExeName(const std::string& Base) { return Base; }

} // namespace testing_support
