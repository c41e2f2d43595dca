#pragma once
// Expectations of the foundation tests that differ between the platform backends.

#include <string>

// What the command-line probe records when started as Program with Params: on Windows the raw command line
// ("\"Program\" Params"); on POSIX Program and SplitParams (Params as the Windows runtime splits them), joined
// by single spaces.
std::string ExpectedProbeCommandLine(const std::string& Program, const std::string& Params,
                                     const std::string& SplitParams);
