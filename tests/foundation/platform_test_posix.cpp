// Foundation test expectations of the POSIX backends.
#include "tests/foundation/platform_test.h"

std::string ExpectedProbeCommandLine(const std::string& Program, const std::string&, const std::string& SplitParams) {
    return Program + " " + SplitParams;
}
