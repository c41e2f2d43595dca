// Foundation test expectations of the Windows backends.
#include "tests/foundation/platform_test.h"

std::string ExpectedProbeCommandLine(const std::string& Program, const std::string& Params, const std::string&) {
    return "\"" + Program + "\" " + Params;
}
