#include "foundation/thread.h"

#include <windows.h>

namespace rv::detail {

uintptr_t CurrentNativeThreadId() {
    // A real handle (GetCurrentThread is only a pseudo handle), so other threads can set the priority.
    HANDLE h = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &h,
                    THREAD_SET_INFORMATION | THREAD_QUERY_INFORMATION, FALSE, 0);
    return reinterpret_cast<uintptr_t>(h);
}

void SetNativeThreadPriority(uintptr_t Id, TThreadPriority Priority) {
    int p = Priority == TThreadPriority::Lower    ? THREAD_PRIORITY_BELOW_NORMAL
            : Priority == TThreadPriority::Normal ? THREAD_PRIORITY_NORMAL
                                                  : THREAD_PRIORITY_TIME_CRITICAL;
    if (Id) SetThreadPriority(reinterpret_cast<HANDLE>(Id), p);
}

void ReleaseNativeThreadId(uintptr_t Id) {
    if (Id) CloseHandle(reinterpret_cast<HANDLE>(Id));
}

} // namespace rv::detail
