// The sockets library's start and finish (declared in net/socket_primitives.h). They create and free the
// notifier and the look-up list, which sit above the primitives, so they live here at the top of the socket
// layer: the primitives' own sources include nothing above them.

#include "net/socket_primitives.h"

#include "foundation/main_loop.h"
#include "net/async_name_lookup.h"
#include "net/socket_notifier.h"
#include "net/socket_primitives_internal.h"

namespace rv {

bool WS_Started() { return WSFOwner.load() != nullptr; }

bool WS_Start() {
    if (WSFOwner.load()) return true;
    if (!IsMainThread()) {
        detail::SetLastWSError(C_WSANOTINITIALISED);
        return false;
    }
    if (int32_t e = detail::PlatformStartup()) {
        detail::SetLastWSError(e);
        return false;
    }
    WS_AsyncList = new T_WSAsyncObjList;
    // The notifier last: from here on the library counts as started, and the look-ups below may use it.
    WSFOwner = new T_WSAsyncSocketNotifier;
    WS_RefreshLocalAddresses();
    return true;
}

void WS_Finish() {
    T_WSAsyncSocketNotifier* owner = WSFOwner.load();
    if (!owner) return;
    delete owner;
    WSFOwner = nullptr;
    delete WS_AsyncList;
    WS_AsyncList = nullptr;
    LastWSError = detail::PlatformCleanup();
}

} // namespace rv
