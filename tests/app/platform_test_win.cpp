// Application test expectations of the Windows backends.
#include "tests/app/platform_test.h"

const bool kFileNamesIgnoreCase = true;
