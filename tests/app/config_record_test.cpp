#include "app/config_record.h"

#include "foundation/message_box.h"
#include "stream/app_files.h"
#include "stream/check_values.h"
#include "stream/little_endian.h"
#include "stream/record_files.h"
#include "tests/app/platform_test.h"
#include "tests/stream/test_records.h"
#include "tests/test_support.h"

#include <cctype>
#include <filesystem>
#include <gtest/gtest.h>

using namespace test_records;
using rv::T_ConfigRec;
using rv::TCfgLoadStatus;
using rv::TRV_Constructed;
using testing_support::FileExists;
using testing_support::MakeTempDir;
using testing_support::ReadFile;
using testing_support::WriteFile;

namespace {

// The file of a fresh record: CRC-32, 02 02, the 196-byte block (RestoreSizePos, FullScreen and ShowFirstTimeHelp
// set), the strings in declaration order, the nested net group configuration with the launcher's values, three
// empty lists, and the last string.
const Bytes kDefaultFile = Concat({
    Hex("0d a1 b4 38 02 02 c4 00 00 00"),
    Bytes(64, 0),
    Hex("01 00 01 01"),
    Bytes(124 + 4, 0),
    Hex("01 00 00 00 00 05 00 00 00 38 35 30 30 00 01 00 00 00 00 01 00 00 00 00 0a 00 00 00 4d 70 4c 61 6e 4d 61 70 "
        "73 00 01 00 00 00 00 01 00 00 00 00 4b 00 00 00 17 00 00 00 00 00 00 00 00 00 00 00 23 d2 24 d2 06 00 25 d2 "
        "00 00 00 00 00 00 00 0b 00 00 00 47 61 6d 65 44 75 6b 65 33 64 00 01 00 00 00 00 09 00 00 00 4c 61 75 6e 63 "
        "68 65 72 00 0b 00 00 00 4e 65 77 20 70 6c 61 79 65 72 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 00"),
});

std::string D() { return std::string(1, rv::PathDelim()); }

// A file name as the platform compares it.
std::string FileKey(std::string Name) {
    if (kFileNamesIgnoreCase)
        for (char& c : Name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return Name;
}

// Every field away from its default.
void FillAll(T_ConfigRec& R) {
    R.sT.Mainltwh = {-5, 10, 800, 600};
    R.sT.Spare2 = {1, 2, 3, 4};
    R.sT.RestoreSizePos = false;
    R.sT.MinToSystemTray = true;
    R.sT.FullScreen = false;
    R.sT.ShowFirstTimeHelp = false;
    for (size_t i = 0; i < R.sT.Hc_Cols.size(); ++i) R.sT.Hc_Cols[i] = static_cast<uint8_t>(i + 1);
    R.sT.LaunchCount = 12;
    R.Duke3dInstallFolder = "C:\\Games\\Duke3d";
    R.Duke3dMapFolder = "C:\\Maps";
    R.Duke3dMultiPlayMaps = "Recv";
    R.CurrentMapFileName = "C:\\Maps\\caf\xe9.map";
    R.CurrentMpMapPath = "C:\\Maps\\";
    R.CurrentSpMapPath = "C:\\Sp\\";
    R.OurIpStr = "192.168.1.5";
    R.GamePortStr = "8600";
    R.NetGroupCfgR.sT = {7, rv::WS_IpAddress(192, 168, 1, 20), 1000, 1001, 9, rv::MakeServices(53797, 53798),
                         rv::MakeServices(3000, 0), rv::ngsMemberIp};
    R.NetGroupCfgR.GroupId = "G";
    R.NetGroupCfgR.HostName = "host.lan";
    R.NetGroupCfgR.ClassId = "C";
    R.NetGroupCfgR.UnitId = "\xff\xe9t\xe9";
    R.MsgTextList = {"gg", "", "ready?"};
    R.MpMapReOpenList = {"C:\\Maps\\a.map"};
    R.SpMapReOpenList = {"x", "y"};
}

// A pretend installation in a fresh folder: program folder, current directory, per-user folder.
class CfgFiles : public ::testing::Test {
protected:
    void SetUp() override {
        Root = MakeTempDir();
        Env.ExeName = "Tolvane";
        Env.ExeFolderPath = Root + "prog" + D();
        Env.CurrentDirectoryPath = Root + "cwd" + D();
        Env.ApplicationUserDataPath = Root + "user" + D() + "Parvex" + D();
        Env.Administrator = false;
        std::filesystem::create_directories(Env.ExeFolderPath);
        std::filesystem::create_directories(Env.CurrentDirectoryPath);
        std::filesystem::create_directories(Env.ApplicationUserDataPath);
        UserFile = Env.ApplicationUserDataPath + "Tolvane.dat";
        rv::SetAppFilesEnvironment(&Env);
        rv::SetMessageBoxHook([this](const std::string& Title, const std::string& Text, uint32_t) {
            Boxes.push_back(Title + "|" + Text);
            return rv::idOK;
        });
    }
    void TearDown() override {
        rv::FreeCfgR();
        rv::SetAppFilesEnvironment(nullptr);
        rv::SetMessageBoxHook({});
    }
    std::string Root, UserFile;
    rv::TAppFilesEnvironment Env;
    std::vector<std::string> Boxes;
};

} // namespace

TEST(ConfigRecord, FreshRecordWritesTheDefaults) {
    TRV_Constructed<T_ConfigRec> r;
    EXPECT_EQ(Written(r), kDefaultFile);
    EXPECT_TRUE(r.sT.RestoreSizePos);
    EXPECT_TRUE(r.sT.FullScreen);
    EXPECT_TRUE(r.sT.ShowFirstTimeHelp);
    EXPECT_FALSE(r.sT.MinToSystemTray);
    EXPECT_EQ(r.sT.LaunchCount, 0);
    EXPECT_EQ(r.Duke3dMultiPlayMaps, "MpLanMaps");
    EXPECT_EQ(r.GamePortStr, "8500");
    EXPECT_EQ(r.NetGroupCfgR.UnitId, "New player");
    EXPECT_EQ(r.NetGroupCfgR.sT.MsgTimeOut, 6); // the net group's own default stays
}

TEST(ConfigRecord, ClearRestoresTheLauncherDefaults) {
    TRV_Constructed<T_ConfigRec> r;
    FillAll(r);
    r.Clear();
    EXPECT_EQ(Written(r), kDefaultFile);
}

TEST(ConfigRecord, GameAndSharedMapPaths) {
    const std::string d = D();
    TRV_Constructed<T_ConfigRec> r;
    const std::pair<std::string, std::string> exe[] = {
        {"C:" + d + "Duke", "C:" + d + "Duke" + d + "duke3d_w32.exe"},
        {"C:" + d + "Duke" + d, "C:" + d + "Duke" + d + "duke3d_w32.exe"},
        {"", "duke3d_w32.exe"},
    };
    for (const auto& [folder, path] : exe) {
        r.Duke3dInstallFolder = folder;
        EXPECT_EQ(r.Duke3dExeFileName(), path) << folder;
    }
    const std::pair<std::string, std::string> maps[] = {
        {"C:" + d + "Maps", "C:" + d + "Maps" + d + "MpLanMaps"},
        {"C:" + d + "Maps" + d, "C:" + d + "Maps" + d + "MpLanMaps"},
        {"", "MpLanMaps"},
    };
    for (const auto& [folder, path] : maps) {
        r.Duke3dMapFolder = folder;
        EXPECT_EQ(r.MpSharedMapFolder(), path) << folder;
    }
}

TEST(ConfigRecord, SavedAndLoadedKeepsEveryField) {
    const std::string file = MakeTempDir() + "Tolvane.dat";
    TRV_Constructed<T_ConfigRec> r;
    FillAll(r);
    ASSERT_TRUE(r.SaveToFile(file, false));

    TRV_Constructed<T_ConfigRec> back;
    ASSERT_EQ(rv::LoadConfigFile(back, file), TCfgLoadStatus::Loaded);
    EXPECT_TRUE(back.Compare(r));
    EXPECT_EQ(back.sT.Mainltwh.Left, -5);
    EXPECT_EQ(back.sT.Spare2.Height, 4);
    EXPECT_EQ(back.sT.Hc_Cols, r.sT.Hc_Cols);
    EXPECT_EQ(back.sT.LaunchCount, 12);
    EXPECT_TRUE(back.sT.MinToSystemTray);
    EXPECT_FALSE(back.sT.RestoreSizePos);
    EXPECT_EQ(back.CurrentMapFileName, "C:\\Maps\\caf\xe9.map");
    EXPECT_EQ(back.CurrentSpMapPath, "C:\\Sp\\");
    EXPECT_EQ(back.NetGroupCfgR.sT.HostIP, rv::WS_IpAddress(192, 168, 1, 20));
    EXPECT_EQ(back.NetGroupCfgR.sT.OtherServices, 3000u);
    EXPECT_EQ(back.NetGroupCfgR.sT.NetGroupSearchMethod, rv::ngsMemberIp);
    EXPECT_EQ(back.NetGroupCfgR.HostName, "host.lan");
    EXPECT_EQ(back.NetGroupCfgR.UnitId, "\xff\xe9t\xe9");
    EXPECT_EQ(back.MsgTextList, (rv::TStrings{"gg", "", "ready?"}));
    EXPECT_EQ(back.MpMapReOpenList, rv::TStrings{"C:\\Maps\\a.map"});
    EXPECT_EQ(back.SpMapReOpenList, (rv::TStrings{"x", "y"}));
}

TEST_F(CfgFiles, MissingFileGivesTheDefaults) {
    auto res = rv::InitCfgR();
    EXPECT_EQ(res.Status, TCfgLoadStatus::Missing);
    ASSERT_TRUE(rv::CfgR);
    EXPECT_EQ(Written(*rv::CfgR), kDefaultFile);
    EXPECT_EQ(rv::CfgR->AppUserPath, "");

    // The first save creates the per-user file; the next start reads it.
    rv::CfgR->sT.LaunchCount = 3;
    std::string error;
    ASSERT_TRUE(rv::WriteCfgR(&error)) << error;
    EXPECT_EQ(FileKey(rv::CfgR->AppUserPath), FileKey(UserFile));
    rv::FreeCfgR();
    res = rv::InitCfgR();
    EXPECT_EQ(res.Status, TCfgLoadStatus::Loaded);
    EXPECT_EQ(FileKey(res.FileName), FileKey(UserFile));
    EXPECT_EQ(rv::CfgR->sT.LaunchCount, 3);
    EXPECT_EQ(FileKey(rv::CfgR->AppUserPath), FileKey(UserFile));
}

TEST_F(CfgFiles, DamagedFileIsKeptAsideAndTheDefaultsAreUsed) {
    TRV_Constructed<T_ConfigRec> saved;
    FillAll(saved);
    ASSERT_TRUE(saved.SaveToFile(UserFile, false));
    std::string bytes = ReadFile(UserFile);
    bytes[40] ^= 1;
    WriteFile(UserFile, bytes);

    auto res = rv::InitCfgR();
    EXPECT_EQ(res.Status, TCfgLoadStatus::Damaged);
    EXPECT_EQ(res.KeptAside, UserFile + ".damaged");
    EXPECT_EQ(ReadFile(UserFile + ".damaged"), bytes);
    EXPECT_FALSE(FileExists(UserFile));
    EXPECT_EQ(Written(*rv::CfgR), kDefaultFile); // ports and group, not the null values
    EXPECT_EQ(rv::CfgR->AppUserPath, "");
    ASSERT_TRUE(rv::WriteCfgR());
    EXPECT_EQ(FileKey(rv::CfgR->AppUserPath), FileKey(UserFile));
    EXPECT_EQ(ReadFile(UserFile + ".damaged"), bytes);

    // A second damaged file does not replace the first copy; an empty file counts as damaged.
    WriteFile(UserFile, "");
    rv::FreeCfgR();
    res = rv::InitCfgR();
    EXPECT_EQ(res.Status, TCfgLoadStatus::Damaged);
    EXPECT_EQ(res.KeptAside, UserFile + ".damaged.1");
    EXPECT_EQ(ReadFile(UserFile + ".damaged"), bytes);
    EXPECT_EQ(ReadFile(UserFile + ".damaged.1"), "");
    EXPECT_EQ(Written(*rv::CfgR), kDefaultFile);
}

TEST_F(CfgFiles, StringRunningPastTheFileIsKeptAsideLikeAFailedCheck) {
    TRV_Constructed<T_ConfigRec> saved;
    FillAll(saved);
    ASSERT_TRUE(saved.SaveToFile(UserFile, false));
    const std::string good = ReadFile(UserFile);
    // OurIpStr's count (just after the 196-byte block) and the last string's count, each claiming more than the
    // file holds, behind a check value computed again as the writer does.
    const size_t lastCount = good.size() - 4 - (saved.CurrentSpMapPath.size() + 1);
    const struct {
        size_t Offset;
        size_t Was;
        uint32_t Count;
    } cases[] = {{206, saved.OurIpStr.size() + 1, 0xFFFFFFFFu},
                 {lastCount, saved.CurrentSpMapPath.size() + 1, static_cast<uint32_t>(saved.CurrentSpMapPath.size() + 2)}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Offset);
        Bytes bytes(good.begin(), good.end());
        ASSERT_EQ(rv::GetLE<uint32_t>(bytes.data() + c.Offset), c.Was);
        rv::PutLE<uint32_t>(bytes.data() + c.Offset, c.Count);
        rv::PutLE<uint32_t>(bytes.data(), rv::Crc32OfBuffer(bytes.data() + 4, bytes.size() - 4));
        const std::string bad(bytes.begin(), bytes.end());
        WriteFile(UserFile, bad);

        rv::FreeCfgR();
        auto res = rv::InitCfgR();
        EXPECT_EQ(res.Status, TCfgLoadStatus::Damaged);
        const std::string aside = UserFile + ".damaged" + (n ? "." + std::to_string(n) : "");
        EXPECT_EQ(res.KeptAside, aside);
        EXPECT_EQ(ReadFile(aside), bad);
        EXPECT_FALSE(FileExists(UserFile));
        EXPECT_EQ(Written(*rv::CfgR), kDefaultFile);
        ++n;
    }
}

TEST_F(CfgFiles, AFolderInPlaceOfTheFileCannotBeRead) {
    const std::string folder = Root + "cfg.dat";
    std::filesystem::create_directory(folder);
    TRV_Constructed<T_ConfigRec> r;
    r.OurIpStr = "x";
    std::string reason;
    EXPECT_EQ(rv::LoadConfigFile(r, folder, &reason), TCfgLoadStatus::Unreadable);
    EXPECT_EQ(reason, "it is a folder");
    EXPECT_EQ(Written(r), kDefaultFile);
    EXPECT_EQ(rv::LoadConfigFile(r, Root + "none.dat", &reason), TCfgLoadStatus::Missing);
}

TEST_F(CfgFiles, LookingLeavesADamagedFileWhereItIs) {
    WriteFile(UserFile, std::string(reinterpret_cast<const char*>(kDefaultFile.data()), kDefaultFile.size() - 1));
    TRV_Constructed<T_ConfigRec> r;
    auto res = rv::LoadConfigRecord(r, false);
    EXPECT_EQ(res.Status, TCfgLoadStatus::Damaged);
    EXPECT_EQ(res.KeptAside, "");
    EXPECT_TRUE(FileExists(UserFile));
    // The null values of a failed read: zeros and empty texts; the nested record has its own defaults.
    EXPECT_FALSE(r.sT.RestoreSizePos);
    EXPECT_EQ(r.GamePortStr, "");
    EXPECT_EQ(r.NetGroupCfgR.sT.UdpPort, 53783);
    EXPECT_EQ(r.NetGroupCfgR.UnitId, "");
}

TEST_F(CfgFiles, ProgramFolderFileIsReadAndTheNextSaveGoesPerUser) {
    const std::string progFile = Env.ExeFolderPath + "Tolvane.dat";
    TRV_Constructed<T_ConfigRec> saved;
    saved.OurIpStr = "10.1.1.1";
    ASSERT_TRUE(saved.SaveToFile(progFile, false));
    TRV_Constructed<T_ConfigRec> r;
    auto res = rv::LoadConfigRecord(r);
    EXPECT_EQ(res.Status, TCfgLoadStatus::Loaded);
    EXPECT_EQ(res.FileName, progFile);
    EXPECT_EQ(r.OurIpStr, "10.1.1.1");
    EXPECT_EQ(r.AppUserPath, UserFile);
}

TEST_F(CfgFiles, FailedSaveIsReportedToTheCaller) {
    // The data file's folder cannot exist: a plain file holds its name.
    const std::string blocker = Root + "blocker";
    WriteFile(blocker, "x");
    Env.Administrator = true; // no per-user retry
    TRV_Constructed<T_ConfigRec> r;
    r.AppUserPath = blocker + D() + "Tolvane.dat";
    std::string error;
    EXPECT_FALSE(rv::SaveConfigRecord(r, &error));
    EXPECT_NE(error.find("Access denied"), std::string::npos) << error;
    EXPECT_EQ(Boxes.size(), 1u);

    // A file that cannot be replaced: the error text comes back, no exception escapes.
    const std::string folderAsFile = Root + "taken";
    std::filesystem::create_directories(folderAsFile + D() + "inner");
    r.AppUserPath = folderAsFile;
    error.clear();
    EXPECT_FALSE(rv::SaveConfigRecord(r, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_TRUE(std::filesystem::is_directory(folderAsFile + D() + "inner"));
}
