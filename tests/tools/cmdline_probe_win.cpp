#include "tests/tools/cmdline_probe.h"

#include <windows.h>

std::string ProbeCommandLine(int, char**) { return GetCommandLineA(); }
