#pragma once
// Runs a call-back so that a fault inside it cannot take the calling thread down.
//
// Windows: an access violation raised inside the call-back (a structured exception) ends the call-back and is
// reported to the caller. The frames between the fault and the guard are abandoned without running their C++
// destructors (they are left as the fault found them), so a call-back that faulted while holding a lock keeps it.
// POSIX: a memory fault stays fatal (a SIGSEGV is not turned into a result).
// Both: an exception escaping the call-back is caught and reported.

#include <functional>

namespace rv {

enum class TGuardedCallResult {
    Returned,        // the call-back returned normally
    AccessViolation, // Windows only: the call-back raised an access violation
    Exception,       // an exception escaped the call-back
};

// Calls Fn on the calling thread (an empty Fn counts as returned). Any thread.
TGuardedCallResult CallGuarded(const std::function<void()>& Fn) noexcept;

namespace detail {
// Backend: calls Fn(Arg); false when an access violation ended it. Fn must not let an exception escape. Any
// thread.
bool CallContainingAccessViolation(void (*Fn)(void*), void* Arg);
} // namespace detail

} // namespace rv
