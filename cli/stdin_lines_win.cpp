#include "cli/stdin_lines.h"

#include <windows.h>

namespace cli::detail {

long ReadStdin(char* Buffer, unsigned long Size) {
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == INVALID_HANDLE_VALUE || in == nullptr) return 0; // no input at all: it has ended
    DWORD got = 0;
    // A pipe whose writer closed reports ERROR_BROKEN_PIPE: the end of the input, like a read of 0 bytes.
    if (!ReadFile(in, Buffer, Size, &got, nullptr)) return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    return static_cast<long>(got);
}

} // namespace cli::detail
