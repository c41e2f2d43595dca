#include "cli/utf8_args.h"

#include <windows.h>
#include <shellapi.h>

namespace cli {

namespace {

std::string ToUtf8(const wchar_t* W) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, W, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, W, -1, out.data(), n, nullptr, nullptr);
    return out;
}

} // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    SetConsoleOutputCP(CP_UTF8);
    int n = 0;
    LPWSTR* wargv = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wargv) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back(ToUtf8(wargv[i]));
    LocalFree(wargv);
    return out;
}

} // namespace cli
