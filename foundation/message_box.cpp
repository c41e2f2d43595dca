#include "foundation/message_box.h"

#include <mutex>

namespace rv {

namespace {
std::mutex GLock;
TMessageBoxHook GHook;            // guarded by GLock
std::string GTitle = "Tolvane";   // guarded by GLock
} // namespace

int ShowMessageBox(const std::string& Title, const std::string& Text, uint32_t Flags) {
    TMessageBoxHook hook;
    {
        std::lock_guard<std::mutex> lock(GLock);
        hook = GHook;
    }
    return hook ? hook(Title, Text, Flags) : detail::SystemMessageBox(Title, Text, Flags);
}

void ShowErrorMessage(const std::string& Text) { ShowMessageBox(ApplicationTitle(), Text, mbOK | mbIconError); }

void SetMessageBoxHook(TMessageBoxHook Hook) {
    std::lock_guard<std::mutex> lock(GLock);
    GHook = std::move(Hook);
}

void SetApplicationTitle(const std::string& Title) {
    std::lock_guard<std::mutex> lock(GLock);
    GTitle = Title;
}

std::string ApplicationTitle() {
    std::lock_guard<std::mutex> lock(GLock);
    return GTitle;
}

} // namespace rv
