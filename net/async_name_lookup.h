#pragma once
// Asynchronous host name look-ups, completed on the main thread through a hidden window.
//
// Win32: WSAAsyncGetHostByName posts C_WM_WSASYNC_LOOKUP to the window; the platform writes the host entry into
// the request's buffer. POSIX: a short-lived thread runs getaddrinfo (IPv4), writes the address into the
// buffer and posts the same message with the handle and the error in the same parameters. Either way the
// buffer is shared with the platform's request, so freeing a pending request never leaves the platform
// writing into freed memory: a cancelled request's late result is dropped.

#include "foundation/main_loop.h"
#include "foundation/object_list.h"
#include "net/socket_primitives.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace rv {

constexpr uint32_t C_WM_WSASYNC_LOOKUP = WM_APP_BASE + 1; // 32769
// The size of a look-up's result buffer (Winsock's MAXGETHOSTSTRUCT).
constexpr uint32_t C_LookUpBufferSize = 1024;

// Error code and result text of an asynchronous request.
using TOnAsyncResult = std::function<void(int32_t ErrorCode, const std::string& Result)>;

// One pending asynchronous request. Main thread.
class T_WSAsyncObj {
public:
    explicit T_WSAsyncObj(uint32_t BuffSize);
    T_WSAsyncObj(const T_WSAsyncObj&) = delete;
    T_WSAsyncObj& operator=(const T_WSAsyncObj&) = delete;
    // Cancels the request when it is still pending (DoCancel).
    virtual ~T_WSAsyncObj();

    // Calls FOnComplete, when assigned, with the error and the buffer read as a zero-terminated string.
    virtual void DoComplete(int32_t ErrorCode);
    // The buffer, or nullptr when FBuffSize is 0.
    char* GetBuffPtr() const { return FBuffSize ? FBuff.get() : nullptr; }
    std::shared_ptr<char[]> SharedBuffer() const { return FBuff; }

    TOnAsyncResult FOnComplete;
    const uint32_t FBuffSize;
    // The platform's request handle; 0 when none is pending.
    uintptr_t AsyncHandle = 0;

protected:
    void DoCancel();

private:
    std::shared_ptr<char[]> FBuff;
};

// A host name look-up: the handler gets error 0 and the dotted address, or the error and an empty text.
class T_WSAsyncNameLookUpObj : public T_WSAsyncObj {
public:
    T_WSAsyncNameLookUpObj() : T_WSAsyncObj(C_LookUpBufferSize) {}
    void DoComplete(int32_t ErrorCode) override;
};

// The window that receives the completions of WS_AsyncList's requests. Main thread.
class T_WSAsyncWndMsgProcessor : public TRV_WndMsgProcessor {
public:
    // C_WM_WSASYNC_LOOKUP: the request named by WParam (searched from the last to the first) completes with the
    // error in the high word of LParam, once, and is freed; an unknown handle is ignored. A handler's exception
    // ends here. The handler must not call WS_Finish.
    void WndProc(TMessage& Message) override;
};

// The pending requests (owned) and the window their completions reach. Main thread.
class T_WSAsyncObjList : public TRV_ObjectList<T_WSAsyncObj> {
public:
    T_WSAsyncObjList();
    // Cancels and frees every pending request, then the window.
    ~T_WSAsyncObjList() override;
    T_WSAsyncObj* GetItem(int Index) const { return Items(Index); }
    int IndexOfHandle(uintptr_t Handle) const;

    std::unique_ptr<T_WSAsyncWndMsgProcessor> WndMsgProcessor;
};

// Created by WS_Start, freed by WS_Finish. Main thread.
extern T_WSAsyncObjList* WS_AsyncList;

// Main thread. Starts a look-up of Name; OnNameLookUp runs later, once, on the main thread. False at once (and
// nothing is issued) when the library can't start, Name is empty, OnNameLookUp is not assigned, or the platform
// refuses the request (error in LastWSError).
bool WS_AsyncLookUpName(const std::string& Name, TOnAsyncResult OnNameLookUp);

} // namespace rv
