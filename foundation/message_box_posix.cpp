#include "foundation/message_box.h"

#include <cstdio>

namespace rv::detail {

int SystemMessageBox(const std::string& Title, const std::string& Text, uint32_t Flags) {
    std::fprintf(stderr, "%s: %s\n", Title.c_str(), Text.c_str());
    std::fflush(stderr);
    return (Flags & 0x0F) == mbYesNo ? idYes : idOK;
}

} // namespace rv::detail
