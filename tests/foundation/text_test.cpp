#include "foundation/text.h"

#include <gtest/gtest.h>
#include <string>

TEST(Text, SameTextAsciiFoldsOnlyAsciiLetters) {
    struct Case {
        std::string A, B;
        bool Same;
    };
    const Case cases[] = {
        {"Launcher", "LAUNCHER", true},
        {"GameDuke3d", "gameduke3D", true},
        {"", "", true},
        {"abc", "abcd", false},
        {"abc", "abd", false},
        {"a-z", "A-Z", true},
        // '@' and '`' sit next to the letters: they are not letters of either case.
        {"@", "`", false},
        {"[", "{", false},
        // Code page letters are compared as bytes: 0xE9 and 0xC9 are not folded.
        {"Jou\xe9", "JOU\xe9", true},
        {"Jou\xe9", "JOU\xc9", false},
        {std::string("a\0b", 3), std::string("A\0B", 3), true},
        {std::string("a\0b", 3), std::string("A\0C", 3), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.A + " / " + c.B);
        EXPECT_EQ(rv::SameTextAscii(c.A, c.B), c.Same);
        EXPECT_EQ(rv::SameTextAscii(c.B, c.A), c.Same);
    }
}
