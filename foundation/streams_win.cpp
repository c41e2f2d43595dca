// Windows backend of the file stream: the CRT's 64-bit seek and tell, and _chsize_s.
#include "foundation/streams.h"

#include <cstdio>
#include <io.h>

namespace rv::detail {

int FileSeek64(std::FILE* File, int64_t Offset, int Whence) { return _fseeki64(File, Offset, Whence); }

int64_t FileTell64(std::FILE* File) { return _ftelli64(File); }

bool FileTruncate(std::FILE* File, int64_t NewSize) { return _chsize_s(_fileno(File), NewSize) == 0; }

} // namespace rv::detail
