// Test helpers whose answers are those of the POSIX platforms.
#include "tests/test_support.h"

#include <fstream>
#include <string>

namespace testing_support {

std::string ExeName(const std::string& Base) { return Base; }

int ProcessThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

} // namespace testing_support
