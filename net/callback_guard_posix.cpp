#include "net/callback_guard.h"

namespace rv::detail {

// A SIGSEGV cannot be resumed from soundly (and the sanitizers own that signal), so it stays fatal here.
bool CallContainingAccessViolation(void (*Fn)(void*), void* Arg) {
    Fn(Arg);
    return true;
}

} // namespace rv::detail
