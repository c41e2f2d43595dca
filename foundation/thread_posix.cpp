#include "foundation/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace rv::detail {

uintptr_t CurrentNativeThreadId() { return static_cast<uintptr_t>(syscall(SYS_gettid)); }

void SetNativeThreadPriority(uintptr_t Id, TThreadPriority Priority) {
    // Per-thread nice value. Raising the priority needs privileges; without them the thread stays at normal.
    int nice = Priority == TThreadPriority::Lower ? 1 : Priority == TThreadPriority::Normal ? 0 : -10;
    setpriority(PRIO_PROCESS, static_cast<id_t>(Id), nice);
}

void ReleaseNativeThreadId(uintptr_t) {}

} // namespace rv::detail
