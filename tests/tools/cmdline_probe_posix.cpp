#include "tests/tools/cmdline_probe.h"

std::string ProbeCommandLine(int argc, char** argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) line += (i ? " " : "") + std::string(argv[i]);
    return line;
}
