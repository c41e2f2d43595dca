#pragma once
// The probe's view of its own command line, one backend per platform.

#include <string>

// Windows: the raw command line; POSIX: the arguments (argv[0] included) joined by single spaces.
std::string ProbeCommandLine(int argc, char** argv);
