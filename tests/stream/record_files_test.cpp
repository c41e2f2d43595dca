#include "stream/record_files.h"

#include "foundation/message_box.h"
#include "stream/app_files.h"
#include "stream/smart_stream.h"
#include "tests/stream/test_records.h"
#include "tests/test_support.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace test_records;
using rv::TRV_Constructed;
using testing_support::FileExists;
using testing_support::MakeTempDir;
using testing_support::ReadFile;
using testing_support::WriteFile;

namespace {

std::string Delim() { return std::string(1, rv::PathDelim()); }

std::vector<std::string> FilesIn(const std::string& Dir) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(Dir)) out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// Program folder, current directory and per-user folder of a pretend installation, in a fresh temporary folder.
class AppData : public ::testing::Test {
protected:
    void SetUp() override {
        Root = MakeTempDir();
        Env.ExeName = "Tolvane";
        Env.ExeFolderPath = Root + "prog" + Delim();
        Env.CurrentDirectoryPath = Root + "cwd" + Delim();
        Env.ApplicationUserDataPath = Root + "user" + Delim() + "Parvex" + Delim();
        std::filesystem::create_directories(Env.ExeFolderPath);
        std::filesystem::create_directories(Env.CurrentDirectoryPath);
        rv::SetAppFilesEnvironment(&Env);
        rv::SetMessageBoxHook([this](const std::string& Title, const std::string& Text, uint32_t Flags) {
            Boxes.push_back(Title + "|" + Text + "|" + std::to_string(Flags));
            return rv::idOK;
        });
    }
    void TearDown() override {
        rv::SetAppFilesEnvironment(nullptr);
        rv::SetMessageBoxHook({});
    }
    // A saved record with Port = V in File.
    void Store(const std::string& File, int32_t V) {
        TRV_Constructed<TWithDefaults> r;
        r.Port = V;
        std::filesystem::create_directories(rv::ExtractFileDir(File));
        ASSERT_TRUE(r.SaveToFile(File, false));
    }

    std::string Root;
    rv::TAppFilesEnvironment Env;
    std::vector<std::string> Boxes;
};

} // namespace

TEST(RecordFiles, BackupNames) {
    const std::string d = Delim();
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"cfg.dat", "cfg.~da"},
        {"cfg", "cfg.~Bk"},
        {"settings.dat", "settings.~da"},
        {"a.b", "a.~"},
        {"dir.x" + d + "cfg", "dir.x" + d + "cfg.~Bk"},
        {"dir" + d + "Tolvane.Dat", "dir" + d + "Tolvane.~Da"},
    };
    for (const auto& [name, backup] : cases) EXPECT_EQ(rv::CreateBackupFileName(name), backup) << name;
}

TEST(RecordFiles, FileHoldsExactlyTheRecordAndBackupKeepsThePreviousContent) {
    const std::string dir = MakeTempDir();
    const std::string file = dir + "cfg.dat";
    TRV_Constructed<TIntStr> r;
    r.V = 1;
    r.S = "abc";
    ASSERT_TRUE(r.SaveToFile(file, true));
    EXPECT_EQ(ReadFile(file), std::string(kWorkedExample.begin(), kWorkedExample.end()));
    r.V = 2;
    ASSERT_TRUE(r.SaveToFile(file, true));
    r.V = 3;
    ASSERT_TRUE(r.SaveToFile(file, true));

    TRV_Constructed<TIntStr> back;
    EXPECT_TRUE(back.LoadFromFile(file, 0));
    EXPECT_EQ(back.V, 3);
    EXPECT_TRUE(back.LoadFromFile(dir + "cfg.~da", 0));
    EXPECT_EQ(back.V, 2);
    EXPECT_EQ(FilesIn(dir), (std::vector<std::string>{"cfg.dat", "cfg.~da"})); // no temporary file left
}

TEST(RecordFiles, DamagedFileFallsBackToTheBackup) {
    const std::string dir = MakeTempDir();
    const std::string file = dir + "cfg.dat";
    TRV_Constructed<TWithDefaults> r;
    r.Port = 1;
    ASSERT_TRUE(r.SaveToFile(file, true));
    r.Port = 2;
    ASSERT_TRUE(r.SaveToFile(file, true));
    std::string data = ReadFile(file);
    data[data.size() - 1] ^= 1;
    WriteFile(file, data);

    TRV_Constructed<TWithDefaults> back;
    EXPECT_TRUE(back.LoadFromFile(file, rv::effWithBackup));
    EXPECT_EQ(back.Port, 1);

    // Without the backup option a damaged file leaves null values, not the defaults.
    EXPECT_FALSE(back.LoadFromFile(file, rv::effInitialize));
    EXPECT_EQ(back.Port, 0);
    EXPECT_EQ(back.Name, "");
}

TEST(RecordFiles, MissingFileClearsOnlyWithInitialize) {
    const std::string missing = MakeTempDir() + "none.dat";
    TRV_Constructed<TWithDefaults> r;
    r.Port = 5;
    EXPECT_FALSE(r.LoadFromFile(missing, 0));
    EXPECT_EQ(r.Port, 5);
    EXPECT_FALSE(r.LoadFromFile(missing, rv::effInitialize | rv::effWithBackup));
    EXPECT_EQ(r.Port, 8500);
}

TEST(RecordFiles, AFailedSaveLeavesTheFileAsItWas) {
    const std::string dir = MakeTempDir();
    const std::string file = dir + "rec.dat";
    TTextSubStream sub;
    TRV_Constructed<TProbe> p([&](TProbe& q) { q.AddPrivateSubStream(sub); });
    sub.Text = "good";
    ASSERT_TRUE(p.SaveToFile(file, false));
    const std::string before = ReadFile(file);
    sub.Text = "bad";
    sub.Fail = true;
    EXPECT_FALSE(p.SaveToFile(file, true));
    EXPECT_EQ(ReadFile(file), before);
    EXPECT_EQ(FilesIn(dir), std::vector<std::string>{"rec.dat"});

    sub.Fail = false;
    EXPECT_THROW(p.SaveToFile(dir + "no" + Delim() + "such" + Delim() + "x.dat", false), rv::EFOpenError);
}

TEST_F(AppData, FirstStartGivesDefaultsAndTheFirstSaveCreatesThePerUserFolder) {
    TRV_Constructed<TWithDefaults> r;
    r.Port = 1;
    EXPECT_FALSE(r.LoadApplicationData(false));
    EXPECT_EQ(r.Port, 8500);
    EXPECT_EQ(r.AppUserPath, "");

    r.Port = 4000;
    EXPECT_TRUE(r.SaveAsApplicationData(false));
    EXPECT_EQ(r.AppUserPath.substr(0, Env.ApplicationUserDataPath.size()), Env.ApplicationUserDataPath);
    EXPECT_TRUE(FileExists(Env.ApplicationUserDataPath + "Tolvane.dat"));

    TRV_Constructed<TWithDefaults> back;
    EXPECT_TRUE(back.LoadApplicationData(false));
    EXPECT_EQ(back.Port, 4000);
    EXPECT_EQ(back.AppUserPath, Env.ApplicationUserDataPath + "Tolvane.dat");
    EXPECT_TRUE(Boxes.empty());
}

TEST_F(AppData, CandidatesInOrderPerUserThenCurrentDirectoryThenProgramFolder) {
    Store(Env.ExeFolderPath + "Tolvane.dat", 3);
    TRV_Constructed<TWithDefaults> r;
    EXPECT_TRUE(r.LoadApplicationData(false));
    EXPECT_EQ(r.Port, 3);

    Store(Env.CurrentDirectoryPath + "Tolvane.dat", 2);
    EXPECT_TRUE(r.LoadApplicationData(false));
    EXPECT_EQ(r.Port, 2);
    EXPECT_EQ(r.AppUserPath, Env.CurrentDirectoryPath + "Tolvane.dat");

    Store(Env.ApplicationUserDataPath + "Tolvane.dat", 1);
    EXPECT_TRUE(r.LoadApplicationData(false));
    EXPECT_EQ(r.Port, 1);
    bool programFolder = true;
    EXPECT_EQ(rv::ApplicationDataFileName(&programFolder), Env.ApplicationUserDataPath + "Tolvane.dat");
    EXPECT_FALSE(programFolder);
}

TEST_F(AppData, ProgramFolderDataOfANonAdministratorIsSavedToThePerUserFolder) {
    Store(Env.ExeFolderPath + "Tolvane.dat", 3);
    TRV_Constructed<TWithDefaults> r;
    EXPECT_TRUE(r.LoadApplicationData(false));
    EXPECT_EQ(r.AppUserPath, Env.ApplicationUserDataPath + "Tolvane.dat");
    r.Port = 9;
    EXPECT_TRUE(r.SaveAsApplicationData(false));
    TRV_Constructed<TWithDefaults> check;
    EXPECT_TRUE(check.LoadFromFile(Env.ApplicationUserDataPath + "Tolvane.dat", 0));
    EXPECT_EQ(check.Port, 9);

    // An administrator keeps the program folder.
    std::filesystem::remove(Env.ApplicationUserDataPath + "Tolvane.dat");
    Env.Administrator = true;
    EXPECT_TRUE(r.LoadApplicationData(false));
    EXPECT_EQ(r.AppUserPath, Env.ExeFolderPath + "Tolvane.dat");
}

TEST_F(AppData, DamagedDataFileGivesNullValuesAndNoPath) {
    Store(Env.ApplicationUserDataPath + "Tolvane.dat", 3);
    std::string data = ReadFile(Env.ApplicationUserDataPath + "Tolvane.dat");
    data[7] ^= 0x10;
    WriteFile(Env.ApplicationUserDataPath + "Tolvane.dat", data);
    TRV_Constructed<TWithDefaults> r;
    EXPECT_FALSE(r.LoadApplicationData(false));
    EXPECT_EQ(r.Port, 0);
    EXPECT_EQ(r.AppUserPath, "");
}

TEST_F(AppData, SaveFallsBackToThePerUserFolderThenShowsTheBox) {
    // A folder that cannot be created: its parent is a file.
    WriteFile(Root + "blocker", "x");
    const std::string blocked = Root + "blocker" + Delim() + "sub" + Delim() + "Tolvane.dat";
    TRV_Constructed<TWithDefaults> r;
    r.AppUserPath = blocked;
    EXPECT_TRUE(r.SaveAsApplicationData(false));
    EXPECT_EQ(r.AppUserPath, Env.ApplicationUserDataPath + "Tolvane.dat");
    EXPECT_TRUE(Boxes.empty());

    Env.Administrator = true; // no second candidate for an administrator
    r.AppUserPath = blocked;
    EXPECT_FALSE(r.SaveAsApplicationData(false));
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0], "Insufficient privilege|Access denied " + blocked + "|" +
                            std::to_string(rv::mbIconWarning | 0x2000 | 0x40000));

    Env.Administrator = false;
    Env.ApplicationUserDataPath = Root + "blocker" + Delim() + "Parvex" + Delim();
    r.AppUserPath = blocked;
    EXPECT_FALSE(r.SaveAsApplicationData(false));
    ASSERT_EQ(Boxes.size(), 2u);
    EXPECT_EQ(Boxes[1], "Insufficient privilege|Access denied " + Env.ApplicationUserDataPath + "Tolvane.dat|" +
                            std::to_string(rv::mbIconWarning | 0x2000 | 0x40000));
}

TEST(AppFiles, FolderPaths) {
    const std::string d = Delim();
    EXPECT_EQ(rv::MakeFilePath(""), "");
    EXPECT_EQ(rv::MakeFilePath("C:" + d + "Maps"), "C:" + d + "Maps" + d);
    EXPECT_EQ(rv::MakeFilePath("C:" + d + "Maps" + d), "C:" + d + "Maps" + d);
    EXPECT_EQ(rv::ExtractFileDir("a" + d + "b" + d + "c.dat"), "a" + d + "b");
    EXPECT_EQ(rv::ExtractFileDir("c.dat"), "");
}

// The per-user data folder of each platform: platform_test_win.cpp / platform_test_posix.cpp.
TEST(AppFiles, ThePlatformsFolders) {
    EXPECT_EQ(rv::ExeName(), "stream_tests");
    EXPECT_EQ(std::filesystem::path(rv::ExeFolderPath()).lexically_normal(),
              std::filesystem::path(testing_support::ExeDir()).lexically_normal());
    EXPECT_EQ(rv::ExeFolderPath().back(), rv::PathDelim());
    EXPECT_EQ(rv::CurrentDirectoryPath().back(), rv::PathDelim());
}
