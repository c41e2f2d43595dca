// Look-ups on Win32: WSAAsyncGetHostByName to the list's window. The platform writes the host entry into the
// request's buffer from its own thread, and Wine's WSACancelAsyncRequest does not stop it. So a cancelled
// request's buffer is parked until its completion message arrives; one whose message never comes (a cancel
// that really worked) stays parked for the rest of the program, which is the price of never freeing memory a
// look-up thread may still write.

#include "net/async_name_lookup.h"

#include "net/async_name_lookup_internal.h"

#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <map>
#include <mutex>

namespace rv {

namespace {

std::mutex GParkLock;
// Never destroyed, for the reason above.
std::map<uintptr_t, std::shared_ptr<char[]>>& Parked() {
    static auto* m = new std::map<uintptr_t, std::shared_ptr<char[]>>;
    return *m;
}

} // namespace

namespace detail {

uintptr_t StartNameLookUp(TWindowHandle Wnd, uint32_t Msg, const std::string& Name,
                          const std::shared_ptr<char[]>& Buffer, uint32_t BufferSize, int32_t& Error) {
    HANDLE h = WSAAsyncGetHostByName(reinterpret_cast<HWND>(Wnd), Msg, Name.c_str(), Buffer.get(),
                                     static_cast<int>(BufferSize));
    if (!h) {
        Error = WSAGetLastError();
        return 0;
    }
    return reinterpret_cast<uintptr_t>(h);
}

void CancelLookUp(uintptr_t Handle, const std::shared_ptr<char[]>& Buffer) {
    WSACancelAsyncRequest(reinterpret_cast<HANDLE>(Handle));
    std::lock_guard<std::mutex> lock(GParkLock);
    Parked()[Handle] = Buffer;
}

void LookUpMessageArrived(uintptr_t Handle) {
    std::lock_guard<std::mutex> lock(GParkLock);
    Parked().erase(Handle);
}

bool LookUpResultAddress(const char* Buffer, uint32_t BufferSize, T_NumericIpAddress& Addr) {
    if (BufferSize < sizeof(hostent)) return false;
    // The platform laid the entry out inside the buffer; its pointers point into it.
    const auto* he = reinterpret_cast<const hostent*>(Buffer);
    if (he->h_addrtype != AF_INET || he->h_length != 4 || !he->h_addr_list || !he->h_addr_list[0]) return false;
    std::memcpy(&Addr, he->h_addr_list[0], 4);
    return true;
}

} // namespace detail

} // namespace rv
