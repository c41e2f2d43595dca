#include "cli/utf8_args.h"

namespace cli {

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

} // namespace cli
