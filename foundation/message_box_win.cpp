#include "foundation/message_box.h"

#include <windows.h>

namespace rv::detail {

int SystemMessageBox(const std::string& Title, const std::string& Text, uint32_t Flags) {
    return MessageBoxA(nullptr, Text.c_str(), Title.c_str(), Flags | MB_TASKMODAL);
}

} // namespace rv::detail
