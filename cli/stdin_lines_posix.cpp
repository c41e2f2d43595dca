#include "cli/stdin_lines.h"

#include <cerrno>
#include <unistd.h>

namespace cli::detail {

long ReadStdin(char* Buffer, unsigned long Size) {
    for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, Buffer, Size);
        if (n >= 0) return static_cast<long>(n);
        if (errno != EINTR) return -1;
    }
}

} // namespace cli::detail
