// main of every test program: the foundation is started once, as the real programs do.
#include "foundation/foundation.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace testing_support {
extern std::string GExeDir;
}

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    std::filesystem::path exe = std::filesystem::absolute(argv[0]);
    testing_support::GExeDir = exe.parent_path().string() + static_cast<char>(std::filesystem::path::preferred_separator);
    rv::StartFoundation();
    int rc = RUN_ALL_TESTS();
    rv::FinishFoundation();
    return rc;
}
