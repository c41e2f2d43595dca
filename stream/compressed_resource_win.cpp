// Resources of the running program (FindResourceA on the executable's module).
#include "stream/zlib_framing.h"

#include <windows.h>

namespace rv::detail {

bool FindProgramResource(const std::string& Name, const std::string& Type, const void*& Data, size_t& Size) {
    HMODULE module = GetModuleHandleA(nullptr);
    HRSRC res = FindResourceA(module, Name.c_str(), Type.c_str());
    if (!res) return false;
    HGLOBAL handle = LoadResource(module, res);
    if (!handle) return false;
    Data = LockResource(handle);
    Size = SizeofResource(module, res);
    return Data != nullptr;
}

} // namespace rv::detail
