#include "net/socket_notifier.h"

#include <winsock2.h>
#include <windows.h>

namespace rv {

bool WS_AsyncSelect(TSocket S, TWindowHandle Wnd, uint32_t Msg, uint32_t Events) {
    if (WSAAsyncSelect(S, reinterpret_cast<HWND>(Wnd), Msg, static_cast<long>(Events)) != 0) {
        detail::SetLastWSError(WSAGetLastError());
        return false;
    }
    return true;
}

} // namespace rv
