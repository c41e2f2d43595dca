// Test helpers whose answers are those of Windows.
#include "tests/test_support.h"

namespace testing_support {

std::string ExeName(const std::string& Base) { return Base + ".exe"; }

} // namespace testing_support
