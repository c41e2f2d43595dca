// POSIX backend of the file stream: fseeko / ftello (64-bit off_t) and ftruncate.
#include "foundation/streams.h"

#include <cstdio>
#include <unistd.h>

namespace rv::detail {

int FileSeek64(std::FILE* File, int64_t Offset, int Whence) { return fseeko(File, static_cast<off_t>(Offset), Whence); }

int64_t FileTell64(std::FILE* File) { return static_cast<int64_t>(ftello(File)); }

bool FileTruncate(std::FILE* File, int64_t NewSize) { return ftruncate(fileno(File), static_cast<off_t>(NewSize)) == 0; }

} // namespace rv::detail
