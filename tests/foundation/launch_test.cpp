#include "foundation/launch.h"
#include "foundation/message_box.h"
#include "tests/foundation/platform_test.h"
#include "tests/test_support.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

struct TBoxCapture {
    TBoxCapture() {
        rv::SetMessageBoxHook([this](const std::string& Title, const std::string& Text, uint32_t Flags) {
            Boxes.push_back({Title, Text, Flags});
            return rv::idOK;
        });
    }
    ~TBoxCapture() { rv::SetMessageBoxHook(nullptr); }
    struct TBox {
        std::string Title, Text;
        uint32_t Flags;
    };
    std::vector<TBox> Boxes;
};

std::string ProbePath() { return testing_support::ExeDir() + testing_support::ExeName("cmdline_probe"); }

// The probe's record: its command line, then its working folder.
std::pair<std::string, std::string> ReadRecord(const std::string& Path) {
    std::string s = testing_support::ReadFile(Path);
    auto nl = s.find('\n');
    auto nl2 = s.find('\n', nl + 1);
    return {s.substr(0, nl), s.substr(nl + 1, nl2 - nl - 1)};
}

} // namespace

TEST(Launch, AMissingFileShowsCouldNotFindAndStartsNothing) {
    TBoxCapture boxes;
    std::string missing = testing_support::MakeTempDir() + testing_support::ExeName("no_such_game");
    auto l = rv::TRV_LaunchApplication::Create(missing, "", true, true, 0, rv::TRect{}, "-x");
    EXPECT_EQ(l->LaunchErrorCode, rv::TRV_LaunchExecutable::leFileNotFound);
    EXPECT_EQ(l->ActiveState, 0);
    EXPECT_EQ(l->ProcessId, 0u);
    ASSERT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_EQ(boxes.Boxes[0].Text, "Could not find " + missing);
    EXPECT_EQ(boxes.Boxes[0].Flags & rv::mbIconError, rv::mbIconError);

    auto quiet = rv::TRV_LaunchApplication::Create(missing, "", false, true, 0, rv::TRect{}, "");
    EXPECT_EQ(quiet->LaunchErrorCode, rv::TRV_LaunchExecutable::leFileNotFound);
    EXPECT_EQ(boxes.Boxes.size(), 1u);
}

TEST(Launch, TheProgramGetsTheQuotedFullPathASpaceAndTheParameters) {
    std::string dir = testing_support::MakeTempDir();
    std::string record = dir + "record.txt";
    std::string params = record + " 7 -map \"E1L1.MAP\"";
    auto l = rv::TRV_LaunchExecutable::Create(ProbePath(), "", true, true, 2, rv::TRect{10, 20, 300, 200}, params);
    ASSERT_EQ(l->LaunchErrorCode, rv::TRV_LaunchExecutable::leNone) << l->LaunchErrorText;
    EXPECT_EQ(l->ActiveState, 2);
    EXPECT_EQ(l->ExitCode, 7u);
    auto [cmdline, folder] = ReadRecord(record);
    // The arguments as the Windows runtime would split the same command line.
    const std::string split = record + " 7 -map E1L1.MAP";
    EXPECT_EQ(cmdline, ExpectedProbeCommandLine(l->FullFileName, params, split));
    EXPECT_EQ(std::filesystem::path(folder), std::filesystem::current_path());
}

TEST(Launch, TheApplicationFormKeepsTheMessagesFlowingWhileItWaits) {
    std::string dir = testing_support::MakeTempDir();
    std::string record = dir + "record.txt";
    std::string go = dir + "go";
    // The program waits for the "go" file, which only a message handled during the wait creates.
    struct TPing : rv::TRV_WndMsgProcessor {
        void WndProc(rv::TMessage& m) override {
            if (m.Msg == rv::WM_APP_BASE + 9) {
                ++Count;
                testing_support::WriteFile(GoFile, "go");
            } else {
                rv::TRV_WndMsgProcessor::WndProc(m);
            }
        }
        int Count = 0;
        std::string GoFile;
    } ping;
    ping.GoFile = go;
    ping.PostMessage(rv::WM_APP_BASE + 9, 0, 0);
    auto l = rv::TRV_LaunchApplication::Create(ProbePath(), "", true, true, 0, rv::TRect{}, record + " 3 " + go);
    ASSERT_EQ(l->LaunchErrorCode, rv::TRV_LaunchExecutable::leNone);
    EXPECT_EQ(l->ExitCode, 3u);
    EXPECT_EQ(ping.Count, 1);
    EXPECT_TRUE(testing_support::FileExists(record));
}

TEST(Launch, CommandLinesSplitLikeTheWindowsRuntime) {
    struct Case {
        const char* Line;
        std::vector<std::string> Args;
    };
    const Case cases[] = {
        {"", {}},
        {"  a  b\tc ", {"a", "b", "c"}},
        {"\"two words\" x", {"two words", "x"}},
        {"a\"b c\"d", {"ab cd"}},
        {"\\\\\"x\"", {"\\x"}},       // \\" : one backslash, then a quoted x
        {"\\\"x", {"\"x"}},           // \" : a literal quote
        {"a\\\\b", {"a\\\\b"}},       // backslashes not before a quote stay as they are
        {"\"\"", {""}},               // an empty quoted argument
        {"\"a\"\"b\"", {"a\"b"}},     // "" inside quotes is a quote
    };
    for (const Case& c : cases) EXPECT_EQ(rv::SplitCommandLine(c.Line), c.Args) << c.Line;
}
