#include "foundation/thread_contract.h"

#include <cstdio>
#include <cstdlib>

namespace rv::detail {

void MainThreadContractBroken(const char* Function, const char* File, int Line) {
    std::fprintf(stderr, "%s:%d: %s must be called on the main thread\n", File, Line, Function);
    std::fflush(stderr);
    std::abort();
}

} // namespace rv::detail
