// POSIX programs carry no resources: every resource is missing.
#include "stream/zlib_framing.h"

namespace rv::detail {

bool FindProgramResource(const std::string&, const std::string&, const void*&, size_t&) { return false; }

} // namespace rv::detail
