// Look-ups on POSIX: one detached thread per request runs getaddrinfo. Its result reaches the main thread as
// the message WSAAsyncGetHostByName would post: the handle in WParam, the error in the high word of LParam,
// the address in the request's buffer (its first 4 bytes, network order).

#include "net/async_name_lookup.h"

#include "net/async_name_lookup_internal.h"
#include "net/socket_primitives_internal.h"

#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace rv {

namespace {

struct TRequest {
    TWindowHandle Wnd = 0;
    uint32_t Msg = 0;
    std::shared_ptr<char[]> Buffer; // shared with the request object; outlives it when it is cancelled
    uint32_t BufferSize = 0;
    bool Cancelled = false; // guarded by the registry's lock
};

// The running requests by handle. Never destroyed: a thread may end while the program ends.
struct TRegistry {
    std::mutex Lock;
    std::unordered_map<uintptr_t, std::shared_ptr<TRequest>> Running; // guarded by Lock
    uintptr_t NextHandle = 1;                                        // guarded by Lock; never reused
};

TRegistry& Registry() {
    static auto* r = new TRegistry;
    return *r;
}

void RunLookUp(uintptr_t Handle, std::shared_ptr<TRequest> Req, std::string Name) {
    int32_t error = 0;
    T_NumericIpAddress addr = detail::ResolveIPv4(Name, error);
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.Lock);
    r.Running.erase(Handle);
    // A cancelled request's result is dropped here; once cancelled, nothing is written or posted.
    if (Req->Cancelled) return;
    if (error == 0 && Req->BufferSize >= 4) std::memcpy(Req->Buffer.get(), &addr, 4);
    PostWindowMessage(Req->Wnd, Req->Msg, Handle,
                      static_cast<intptr_t>((static_cast<uint32_t>(error) & 0xffff) << 16 | (error ? 0 : 4)));
}

} // namespace

namespace detail {

uintptr_t StartNameLookUp(TWindowHandle Wnd, uint32_t Msg, const std::string& Name,
                          const std::shared_ptr<char[]>& Buffer, uint32_t BufferSize, int32_t& Error) {
    auto req = std::make_shared<TRequest>();
    req->Wnd = Wnd;
    req->Msg = Msg;
    req->Buffer = Buffer;
    req->BufferSize = BufferSize;
    TRegistry& r = Registry();
    uintptr_t handle;
    {
        std::lock_guard<std::mutex> lock(r.Lock);
        handle = r.NextHandle++;
        r.Running[handle] = req;
    }
    try {
        std::thread(RunLookUp, handle, req, Name).detach();
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(r.Lock);
        r.Running.erase(handle);
        Error = C_WSAENOBUFS; // no thread: out of resources
        return 0;
    }
    return handle;
}

void CancelLookUp(uintptr_t Handle, const std::shared_ptr<char[]>& /*Buffer*/) {
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> lock(r.Lock);
    auto it = r.Running.find(Handle);
    if (it != r.Running.end()) it->second->Cancelled = true;
}

void LookUpMessageArrived(uintptr_t /*Handle*/) {}

bool LookUpResultAddress(const char* Buffer, uint32_t BufferSize, T_NumericIpAddress& Addr) {
    if (BufferSize < 4) return false;
    std::memcpy(&Addr, Buffer, 4);
    return true;
}

} // namespace detail

} // namespace rv
