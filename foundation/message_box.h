#pragma once
// User-facing message boxes with the program's fixed texts. Main thread.
// The flags and results are the Win32 ones (MB_*, ID*), on every platform.

#include <cstdint>
#include <functional>
#include <string>

namespace rv {

constexpr uint32_t mbOK = 0x00;
constexpr uint32_t mbOKCancel = 0x01;
constexpr uint32_t mbYesNo = 0x04;
constexpr uint32_t mbIconError = 0x10;
constexpr uint32_t mbIconQuestion = 0x20;
constexpr uint32_t mbIconWarning = 0x30;
constexpr uint32_t mbIconInformation = 0x40;
constexpr int idOK = 1;
constexpr int idCancel = 2;
constexpr int idYes = 6;
constexpr int idNo = 7;

// Shows a modal box (Win32: MessageBoxA; POSIX: the text on stderr, answering OK / Yes) and returns the button.
int ShowMessageBox(const std::string& Title, const std::string& Text, uint32_t Flags);
// An error box with an OK button, titled with the program's name.
void ShowErrorMessage(const std::string& Text);

// Replaces every box (tests, headless front ends); an empty hook restores the real box.
using TMessageBoxHook = std::function<int(const std::string& Title, const std::string& Text, uint32_t Flags)>;
void SetMessageBoxHook(TMessageBoxHook Hook);

// The title of error boxes: the program's name.
void SetApplicationTitle(const std::string& Title);
std::string ApplicationTitle();

namespace detail {
int SystemMessageBox(const std::string& Title, const std::string& Text, uint32_t Flags);
}

} // namespace rv
