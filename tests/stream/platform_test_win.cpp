// Stream tests whose expectations are those of the Windows backends.
#include "stream/app_files.h"
#include "stream/zlib_framing.h"

#include <gtest/gtest.h>
#include <string>

TEST(AppFiles, ThePerUserDataFolder) {
    // From the Shell Folders values of the current user.
    const std::string tail = "\\Parvex\\";
    const std::string path = rv::ApplicationUserDataPath();
    ASSERT_GT(path.size(), tail.size() + 3);
    EXPECT_EQ(path.substr(path.size() - tail.size()), tail);
    EXPECT_EQ(path[1], ':');
}

TEST(ZlibFraming, AgreementResourceCarriedByTheProgram) {
    // tests/stream/test_resources.rc carries a compressed text as "LICENSEAGREEMENT" of type "RT_CUSTOM".
    rv::TStrings lines;
    EXPECT_TRUE(rv::AssignCompressedTStringsResource("LICENSEAGREEMENT", lines));
    EXPECT_EQ(lines, (rv::TStrings{"Tolvane test agreement", "", "Line three"}));
}
