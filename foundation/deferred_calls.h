#pragma once
// Deferred calls: run a method later on the main thread, after the current handler has returned. This is how an
// object avoids being freed inside its own event.
//
// Register and remove on the main thread; post from any thread. Delivery is message 1525 (WM_USER + 501) to one
// hidden window, in FIFO order with the window's other messages.

#include "foundation/main_loop.h"
#include "foundation/object_list.h"

#include <cstdint>
#include <functional>
#include <mutex>

namespace rv {

using TAsyncNotifyEvent = std::function<void(int32_t Param)>;

constexpr uint32_t WM_ASYNC_NOTIFY = WM_USER_BASE + 501; // 1525
constexpr int32_t C_MaxAsyncHandle = 100000000;

class T_AsyncNotifyObj {
public:
    int32_t FHandle = 0;
    TAsyncNotifyEvent FOnAsyncNotifyEvent;
};

class T_AsyncNotifyWndMsgProcessor : public TRV_WndMsgProcessor {
public:
    void WndProc(TMessage& Message) override;

    int32_t Register(TAsyncNotifyEvent Event);
    void Remove(int32_t Handle);

    std::mutex ListLock;                         // guards FNextHandle and NotifyList
    int32_t FNextHandle = 1;                     // next handle to give out; 1..C_MaxAsyncHandle
    TRV_ObjectList<T_AsyncNotifyObj> NotifyList; // registered call-backs

private:
    int IndexOfHandle(int32_t Handle) const;
};

// The one processor, created by the first registration (on the main thread). nullptr before.
extern T_AsyncNotifyWndMsgProcessor* AsyncNotify;

// Main thread. Returns the handle that later notifications name: 1, 2, 3 and so on.
int32_t AsyncRegisterCallBackEvent(TAsyncNotifyEvent Event);
// Main thread. A notification still queued for the handle is dropped at delivery.
void AsyncRemoveCallBackEvent(int32_t Handle);
// Any thread. Returns at once; the event runs on the main thread with Param. Nothing happens before the first
// registration.
void AsyncPostNotification(int32_t Handle, int32_t Param);

// Frees the processor (program end, main thread).
void AsyncNotifyFinish();

} // namespace rv
