// Stream tests whose expectations are those of the POSIX backends.
#include "stream/app_files.h"

#include "tests/test_support.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

TEST(AppFiles, ThePerUserDataFolder) {
    const std::string dir = testing_support::MakeTempDir();
    setenv("XDG_DATA_HOME", dir.c_str(), 1);
    EXPECT_EQ(rv::ApplicationUserDataPath(), dir + "Parvex/");
    unsetenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    if (home) {
        EXPECT_EQ(rv::ApplicationUserDataPath(), std::string(home) + "/.local/share/Parvex/");
    }
}
