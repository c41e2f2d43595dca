#include "foundation/foundation.h"

#include "foundation/deferred_calls.h"
#include "foundation/main_loop.h"
#include "foundation/main_loop_internal.h"
#include "foundation/thread.h"

namespace rv {

void StartFoundation() {
    detail::InitMainLoopBackend();
    if (!RV_Synch.load()) RV_Synch = new TRV_Synchronize;
}

void FinishFoundation() {
    AsyncNotifyFinish();
    // The destructor clears RV_Synch itself once the threads are gone.
    delete RV_Synch.load();
    detail::FinishMainLoopBackend();
}

} // namespace rv
