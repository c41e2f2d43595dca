#include "net/callback_guard.h"

namespace rv {

namespace {

struct TGuardedCall {
    const std::function<void()>* Fn;
    bool Threw = false;
};

// C++ exceptions stop here, so the backend only ever sees structured exceptions pass through its frame.
void InvokeCatching(void* Arg) {
    auto* call = static_cast<TGuardedCall*>(Arg);
    try {
        (*call->Fn)();
    } catch (...) {
        call->Threw = true;
    }
}

} // namespace

TGuardedCallResult CallGuarded(const std::function<void()>& Fn) noexcept {
    if (!Fn) return TGuardedCallResult::Returned;
    TGuardedCall call{&Fn};
    if (!detail::CallContainingAccessViolation(&InvokeCatching, &call)) return TGuardedCallResult::AccessViolation;
    return call.Threw ? TGuardedCallResult::Exception : TGuardedCallResult::Returned;
}

} // namespace rv
