#include "net/async_name_lookup.h"

#include "net/async_name_lookup_internal.h"
#include "net/socket_primitives_internal.h"

#include <algorithm>
#include <cstring>

namespace rv {

T_WSAsyncObjList* WS_AsyncList = nullptr;

T_WSAsyncObj::T_WSAsyncObj(uint32_t BuffSize)
    : FBuffSize(BuffSize), FBuff(BuffSize ? std::make_shared<char[]>(BuffSize) : nullptr) {}

T_WSAsyncObj::~T_WSAsyncObj() { DoCancel(); }

void T_WSAsyncObj::DoCancel() {
    if (AsyncHandle != 0) detail::CancelLookUp(AsyncHandle, FBuff);
    AsyncHandle = 0;
    // The buffer itself goes when the last holder lets go: this object, or a platform request still running.
    FBuff.reset();
}

void T_WSAsyncObj::DoComplete(int32_t ErrorCode) {
    if (!FOnComplete) return;
    const char* b = GetBuffPtr();
    FOnComplete(ErrorCode, b ? std::string(b, strnlen(b, FBuffSize)) : std::string());
}

void T_WSAsyncNameLookUpObj::DoComplete(int32_t ErrorCode) {
    char* b = GetBuffPtr();
    if (b) {
        T_NumericIpAddress addr = 0;
        if (ErrorCode == 0 && !detail::LookUpResultAddress(b, FBuffSize, addr)) ErrorCode = C_WSANO_DATA;
        // The text replaces the host entry in the buffer, cut to the buffer with its terminating zero.
        std::string text = ErrorCode == 0 ? WS_IpToStr(addr) : std::string();
        size_t n = std::min<size_t>(text.size(), FBuffSize - 1);
        std::memcpy(b, text.data(), n);
        b[n] = 0;
    }
    T_WSAsyncObj::DoComplete(ErrorCode);
}

void T_WSAsyncWndMsgProcessor::WndProc(TMessage& Message) {
    if (Message.Msg != C_WM_WSASYNC_LOOKUP) {
        TRV_WndMsgProcessor::WndProc(Message);
        return;
    }
    const auto handle = static_cast<uintptr_t>(Message.WParam);
    const auto error = static_cast<int32_t>((static_cast<uintptr_t>(Message.LParam) >> 16) & 0xffff);
    Message.Result = 0;
    detail::LookUpMessageArrived(handle);
    T_WSAsyncObjList* list = WS_AsyncList;
    if (!list || handle == 0) return;
    int i = list->IndexOfHandle(handle);
    if (i < 0) return;
    T_WSAsyncObj* obj = list->GetItem(i);
    // Completed: nothing is left to cancel when it is freed.
    obj->AsyncHandle = 0;
    try {
        obj->DoComplete(error);
    } catch (...) {
        // A handler's failure ends at this boundary; the request is still freed.
    }
    list->Remove(obj);
}

T_WSAsyncObjList::T_WSAsyncObjList() : WndMsgProcessor(std::make_unique<T_WSAsyncWndMsgProcessor>()) {}

T_WSAsyncObjList::~T_WSAsyncObjList() {
    Clear();
    WndMsgProcessor.reset();
}

int T_WSAsyncObjList::IndexOfHandle(uintptr_t Handle) const {
    for (int i = Count() - 1; i >= 0; --i) {
        T_WSAsyncObj* o = Items(i);
        if (o && o->AsyncHandle == Handle) return i;
    }
    return -1;
}

bool WS_AsyncLookUpName(const std::string& Name, TOnAsyncResult OnNameLookUp) {
    if (!WS_Start() || Name.empty() || !OnNameLookUp || !WS_AsyncList) return false;
    auto obj = std::make_unique<T_WSAsyncNameLookUpObj>();
    obj->FOnComplete = std::move(OnNameLookUp);
    int32_t error = 0;
    uintptr_t handle = detail::StartNameLookUp(WS_AsyncList->WndMsgProcessor->WindowHandle(), C_WM_WSASYNC_LOOKUP,
                                               Name, obj->SharedBuffer(), obj->FBuffSize, error);
    if (handle == 0) {
        // Not issued: no handler will ever run for it, so the caller hears it now.
        detail::SetLastWSError(error);
        return false;
    }
    obj->AsyncHandle = handle;
    WS_AsyncList->Add(obj.release());
    return true;
}

} // namespace rv
