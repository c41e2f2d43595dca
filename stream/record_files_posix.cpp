#include "stream/record_files.h"

namespace rv::detail {

const char* SystemDataFileSaveExt() { return ".dat"; }

} // namespace rv::detail
