#include "net/socket_notifier.h"

#include <winsock2.h>
#include <windows.h>

namespace rv {

bool WS_AsyncSelect(TSocket S, TWindowHandle Wnd, uint32_t Msg, uint32_t Events) {
    // Nothing asked of no window: a socket whose notifier is gone has no request left that could post.
    if (Wnd == 0 && Events == 0) return true;
    if (WSAAsyncSelect(S, reinterpret_cast<HWND>(Wnd), Msg, static_cast<long>(Events)) != 0) {
        detail::SetLastWSError(WSAGetLastError());
        return false;
    }
    return true;
}

} // namespace rv
