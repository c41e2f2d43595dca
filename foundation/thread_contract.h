#pragma once
// Run-time checks of the thread contracts stated on the declarations.
//
// RV_ASSERT_MAIN_THREAD() at the entry of an operation that touches main-thread state: a call from another thread
// prints where it happened and aborts, because carrying on would corrupt that state silently. Active where
// TOLVANE_THREAD_CHECKS is defined (debug, sanitizer and test builds); compiles to nothing otherwise.

#include "foundation/main_loop.h"

namespace rv::detail {
// Prints the function, file and line of the wrong call to stderr and aborts.
[[noreturn]] void MainThreadContractBroken(const char* Function, const char* File, int Line);
} // namespace rv::detail

#if defined(TOLVANE_THREAD_CHECKS)
#define RV_ASSERT_MAIN_THREAD()                                                                                       \
    do {                                                                                                             \
        if (!::rv::IsMainThread()) ::rv::detail::MainThreadContractBroken(__func__, __FILE__, __LINE__);           \
    } while (false)
#else
#define RV_ASSERT_MAIN_THREAD()                                                                                       \
    do {                                                                                                             \
    } while (false)
#endif
