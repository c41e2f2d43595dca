#include "foundation/deferred_calls.h"

#include <atomic>

namespace rv {

T_AsyncNotifyWndMsgProcessor* AsyncNotify = nullptr;

namespace {
// The processor's window, readable from any thread.
std::atomic<TWindowHandle> GAsyncWindow{0};
} // namespace

int T_AsyncNotifyWndMsgProcessor::IndexOfHandle(int32_t Handle) const {
    for (int i = 0; i < NotifyList.Count(); ++i)
        if (NotifyList[i]->FHandle == Handle) return i;
    return -1;
}

int32_t T_AsyncNotifyWndMsgProcessor::Register(TAsyncNotifyEvent Event) {
    std::lock_guard<std::mutex> lock(ListLock);
    int32_t handle = FNextHandle;
    auto* obj = new T_AsyncNotifyObj;
    obj->FHandle = handle;
    obj->FOnAsyncNotifyEvent = std::move(Event);
    NotifyList.Add(obj);
    // Skip handles still in use, so a long-lived registration keeps its number after a wrap.
    do {
        FNextHandle = FNextHandle >= C_MaxAsyncHandle ? 1 : FNextHandle + 1;
    } while (IndexOfHandle(FNextHandle) >= 0);
    return handle;
}

void T_AsyncNotifyWndMsgProcessor::Remove(int32_t Handle) {
    std::lock_guard<std::mutex> lock(ListLock);
    int i = IndexOfHandle(Handle);
    if (i >= 0) NotifyList.Delete(i);
}

void T_AsyncNotifyWndMsgProcessor::WndProc(TMessage& Message) {
    if (Message.Msg != WM_ASYNC_NOTIFY) {
        TRV_WndMsgProcessor::WndProc(Message);
        return;
    }
    TAsyncNotifyEvent event;
    {
        std::lock_guard<std::mutex> lock(ListLock);
        int i = IndexOfHandle(static_cast<int32_t>(Message.WParam));
        if (i < 0) return; // removed since it was posted
        event = NotifyList[i]->FOnAsyncNotifyEvent;
    }
    if (event) event(static_cast<int32_t>(Message.LParam));
}

int32_t AsyncRegisterCallBackEvent(TAsyncNotifyEvent Event) {
    if (!AsyncNotify) {
        AsyncNotify = new T_AsyncNotifyWndMsgProcessor;
        GAsyncWindow = AsyncNotify->WindowHandle();
    }
    return AsyncNotify->Register(std::move(Event));
}

void AsyncRemoveCallBackEvent(int32_t Handle) {
    if (AsyncNotify) AsyncNotify->Remove(Handle);
}

void AsyncPostNotification(int32_t Handle, int32_t Param) {
    TWindowHandle wnd = GAsyncWindow.load();
    if (wnd)
        PostWindowMessage(wnd, WM_ASYNC_NOTIFY, static_cast<uintptr_t>(static_cast<uint32_t>(Handle)),
                          static_cast<intptr_t>(Param));
}

void AsyncNotifyFinish() {
    GAsyncWindow = 0;
    delete AsyncNotify;
    AsyncNotify = nullptr;
}

} // namespace rv
