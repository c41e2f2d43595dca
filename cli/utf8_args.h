#pragma once
// The command line as UTF-8 text. POSIX: the arguments as given (UTF-8 on every current system). Windows: the
// wide command line converted, since the narrow one is in the ANSI code page; the console also shows UTF-8.
// Main thread, once, at start.

#include <string>
#include <vector>

namespace cli {

std::vector<std::string> Utf8Arguments(int argc, char** argv);

} // namespace cli
