// Application test expectations of the POSIX backends.
#include "tests/app/platform_test.h"

const bool kFileNamesIgnoreCase = false;
