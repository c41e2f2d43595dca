#pragma once
// Private to the net library: the backend hooks of the asynchronous name look-up.

#include "foundation/main_loop.h"
#include "net/socket_primitives.h"

#include <cstdint>
#include <memory>
#include <string>

namespace rv::detail {

// Backend: issues the look-up; the completion is posted to Wnd with Msg. Returns the handle, or 0 with Error.
uintptr_t StartNameLookUp(TWindowHandle Wnd, uint32_t Msg, const std::string& Name,
                          const std::shared_ptr<char[]>& Buffer, uint32_t BufferSize, int32_t& Error);
// Backend: a pending request is abandoned; the platform may still finish it, but its result is dropped.
void CancelLookUp(uintptr_t Handle, const std::shared_ptr<char[]>& Buffer);
// Backend: a completion message for Handle arrived (known or not).
void LookUpMessageArrived(uintptr_t Handle);
// Backend: the first address of the result that the platform wrote into the buffer.
bool LookUpResultAddress(const char* Buffer, uint32_t BufferSize, T_NumericIpAddress& Addr);
} // namespace rv::detail
