// tolvane-cli config, end to end: the built program run on files in a temporary folder, checked against files
// written by an independent encoder of the element format (fixed bytes below).
#include "cli/config_json.h"

#include "stream/check_values.h"
#include "stream/little_endian.h"
#include "tests/stream/test_records.h"
#include "tests/test_support.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

using namespace test_records;
using testing_support::FileExists;
using testing_support::MakeTempDir;
using testing_support::ReadFile;
using testing_support::WriteFile;
using Json = nlohmann::json;

namespace {

// Defaults plus: sT.LaunchCount 7, UnitId "Jou\xe9", HostIP 10.0.0.2, TcpIpServices [53797,0],
// MsgTextList ["gg","ready?"], CurrentMapFileName "C:\Maps\Z.MAP".
const Bytes kSetFile = Hex(
    "83 d4 4d d7 02 02 c4 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00 00 00 00 00 00 01 00 01 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00 00 00 00 00 00 07 00 00 00 01 00 00 00 00 05 00 00 00 38 35 30 30 00 01 00 00 00 "
    "00 01 00 00 00 00 0a 00 00 00 4d 70 4c 61 6e 4d 61 70 73 00 0e 00 00 00 43 3a 5c 4d 61 70 73 5c "
    "5a 2e 4d 41 50 00 01 00 00 00 00 45 00 00 00 17 00 00 00 00 00 00 00 0a 00 00 02 23 d2 24 d2 06 "
    "00 25 d2 00 00 00 00 00 00 00 0b 00 00 00 47 61 6d 65 44 75 6b 65 33 64 00 01 00 00 00 00 09 00 "
    "00 00 4c 61 75 6e 63 68 65 72 00 05 00 00 00 4a 6f 75 e9 00 0a 00 00 00 67 67 00 72 65 61 64 79 "
    "3f 00 00 00 00 00 00 00 00 00 01 00 00 00 00 ");
const Bytes kFullFile = Hex(

// Every field away from its default (Hc_Cols holds 0 to 123, which the JSON does not show).
    "7f 6a 39 b2 02 02 c4 00 00 00 fb ff ff ff 0a 00 00 00 20 03 00 00 58 02 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 "
    "12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f 20 21 22 23 24 25 26 27 28 29 2a 2b 2c 2d 2e 2f 30 31 "
    "32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f 40 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50 51 "
    "52 53 54 55 56 57 58 59 5a 5b 5c 5d 5e 5f 60 61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f 70 71 "
    "72 73 74 75 76 77 78 79 7a 7b 0c 00 00 00 0c 00 00 00 31 39 32 2e 31 36 38 2e 31 2e 35 00 05 00 "
    "00 00 38 36 30 30 00 10 00 00 00 43 3a 5c 47 61 6d 65 73 5c 44 75 6b 65 33 64 00 08 00 00 00 43 "
    "3a 5c 4d 61 70 73 00 05 00 00 00 52 65 63 76 00 11 00 00 00 43 3a 5c 4d 61 70 73 5c 63 61 66 e9 "
    "2e 6d 61 70 00 09 00 00 00 43 3a 5c 4d 61 70 73 5c 00 3d 00 00 00 17 00 00 00 07 00 00 00 c0 a8 "
    "01 14 e8 03 e9 03 09 00 25 d2 26 d2 b8 0b 00 00 02 02 00 00 00 47 00 09 00 00 00 68 6f 73 74 2e "
    "6c 61 6e 00 02 00 00 00 43 00 05 00 00 00 ff e9 74 e9 00 0b 00 00 00 67 67 00 00 72 65 61 64 79 "
    "3f 00 0e 00 00 00 43 3a 5c 4d 61 70 73 5c 61 2e 6d 61 70 00 04 00 00 00 78 00 79 00 07 00 00 00 "
    "43 3a 5c 53 70 5c 00 ");

const char* kFullJson = R"({
  "sT": {"Mainltwh": {"Left": -5, "Top": 10, "Width": 800, "Height": 600},
         "RestoreSizePos": false, "MinToSystemTray": true, "FullScreen": false, "ShowFirstTimeHelp": false,
         "LaunchCount": 12},
  "Duke3dInstallFolder": "C:\\Games\\Duke3d", "Duke3dMapFolder": "C:\\Maps", "Duke3dMultiPlayMaps": "Recv",
  "CurrentMapFileName": "C:\\Maps\\café.map", "CurrentMpMapPath": "C:\\Maps\\", "CurrentSpMapPath": "C:\\Sp\\",
  "OurIpStr": "192.168.1.5", "GamePortStr": "8600",
  "NetGroupCfgR": {
    "sT": {"HostIP_MS": 7, "HostIP": "192.168.1.20", "UdpPort": 1000, "InfoReplyPort": 1001, "MsgTimeOut": 9,
           "TcpIpServices": [53797, 53798], "OtherServices": [3000, 0], "NetGroupSearchMethod": 2},
    "GroupId": "G", "HostName": "host.lan", "ClassId": "C", "UnitId": "ÿété"},
  "MsgTextList": ["gg", "", "ready?"], "MpMapReOpenList": ["C:\\Maps\\a.map"], "SpMapReOpenList": ["x", "y"]
})";

const char* kDefaultJson = R"({
  "sT": {"Mainltwh": {"Left": 0, "Top": 0, "Width": 0, "Height": 0},
         "RestoreSizePos": true, "MinToSystemTray": false, "FullScreen": true, "ShowFirstTimeHelp": true,
         "LaunchCount": 0},
  "Duke3dInstallFolder": "", "Duke3dMapFolder": "", "Duke3dMultiPlayMaps": "MpLanMaps",
  "CurrentMapFileName": "", "CurrentMpMapPath": "", "CurrentSpMapPath": "", "OurIpStr": "", "GamePortStr": "8500",
  "NetGroupCfgR": {
    "sT": {"HostIP_MS": 0, "HostIP": "0.0.0.0", "UdpPort": 53795, "InfoReplyPort": 53796, "MsgTimeOut": 6,
           "TcpIpServices": [53797, 0], "OtherServices": [0, 0], "NetGroupSearchMethod": 0},
    "GroupId": "GameDuke3d", "HostName": "", "ClassId": "Launcher", "UnitId": "New player"},
  "MsgTextList": [], "MpMapReOpenList": [], "SpMapReOpenList": []
})";

std::string AsString(const Bytes& B) { return std::string(B.begin(), B.end()); }

std::string Quote(const std::string& S) {
    std::string q = "'";
    for (char c : S) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct TRun {
    int Status = -1;
    std::string Out, Err;
};

// Runs tolvane-cli with Args in Dir, with the per-user data folder under Dir.
TRun Cli(const std::string& Dir, const std::vector<std::string>& Args) {
    std::string cmd = "cd " + Quote(Dir) + " && XDG_DATA_HOME=" + Quote(Dir + "xdg") + " " + Quote(TOLVANE_CLI_EXE);
    for (const std::string& a : Args) cmd += " " + Quote(a);
    cmd += " >" + Quote(Dir + "out.txt") + " 2>" + Quote(Dir + "err.txt");
    const int rc = std::system(cmd.c_str());
    TRun r;
    r.Status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.Out = ReadFile(Dir + "out.txt");
    r.Err = ReadFile(Dir + "err.txt");
    return r;
}

Json ParseOut(const TRun& R) {
    try {
        return Json::parse(R.Out);
    } catch (const Json::exception& e) {
        ADD_FAILURE() << "not JSON: " << e.what() << "\n" << R.Out;
        return Json();
    }
}

} // namespace

TEST(CliConfig, SetOnAMissingFileWritesTheDefaultsPlusTheValues) {
    const std::string dir = MakeTempDir(), file = dir + "cfg.dat";
    TRun r = Cli(dir, {"config", "set", "--file", file, "sT.LaunchCount=7", "NetGroupCfgR.UnitId=Jou\xc3\xa9",
                       "NetGroupCfgR.sT.HostIP=10.0.0.2", "NetGroupCfgR.sT.TcpIpServices=[53797,0]",
                       "MsgTextList=[\"gg\",\"ready?\"]", "CurrentMapFileName=C:\\Maps\\Z.MAP"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(ReadFile(file), AsString(kSetFile));
}

TEST(CliConfig, ShowPrintsEveryFieldOfAForeignFile) {
    const std::string dir = MakeTempDir(), file = dir + "cfg.dat";
    WriteFile(file, AsString(kFullFile));
    TRun r = Cli(dir, {"config", "show", "--file", file});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(ParseOut(r), Json::parse(kFullJson));
    EXPECT_EQ(ReadFile(file), AsString(kFullFile));
}

TEST(CliConfig, ShowOfAMissingFileGivesTheDefaults) {
    const std::string dir = MakeTempDir();
    TRun r = Cli(dir, {"config", "show", "--file", dir + "none.dat"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(ParseOut(r), Json::parse(kDefaultJson));
    EXPECT_FALSE(FileExists(dir + "none.dat"));
}

TEST(CliConfig, DamagedFileIsReportedAndLeftAlone) {
    const std::string dir = MakeTempDir(), file = dir + "cfg.dat";
    std::string bad = AsString(kFullFile);
    bad[100] ^= 0x40;
    WriteFile(file, bad);

    TRun r = Cli(dir, {"config", "show", "--file", file});
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("damaged"), std::string::npos) << r.Err;
    // The null values: zeros, false, empty texts and lists; the nested record takes its own defaults.
    Json nulls = Json::parse(kDefaultJson);
    nulls["sT"]["RestoreSizePos"] = nulls["sT"]["FullScreen"] = nulls["sT"]["ShowFirstTimeHelp"] = false;
    nulls["Duke3dMultiPlayMaps"] = nulls["GamePortStr"] = "";
    nulls["NetGroupCfgR"]["sT"]["UdpPort"] = 53783;
    nulls["NetGroupCfgR"]["sT"]["InfoReplyPort"] = 53784;
    nulls["NetGroupCfgR"]["sT"]["TcpIpServices"] = Json::array({0, 0});
    nulls["NetGroupCfgR"]["GroupId"] = nulls["NetGroupCfgR"]["ClassId"] = nulls["NetGroupCfgR"]["UnitId"] = "";
    EXPECT_EQ(ParseOut(r), nulls);

    r = Cli(dir, {"config", "set", "--file", file, "sT.LaunchCount=1"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(ReadFile(file), bad);
}

TEST(CliConfig, AWrongKeyOrValueChangesNothing) {
    const std::pair<std::string, std::string> cases[] = {
        {"sT.Nothing=1", "sT.Nothing"},
        {"sT=1", "sT"},
        {"sT.FullScreen=yes", "sT.FullScreen"},
        {"sT.LaunchCount=2147483648", "sT.LaunchCount"},
        {"sT.LaunchCount=7.5", "sT.LaunchCount"},
        {"sT.Mainltwh.Left=", "sT.Mainltwh.Left"},
        {"NetGroupCfgR.sT.UdpPort=65536", "NetGroupCfgR.sT.UdpPort"},
        {"NetGroupCfgR.sT.UdpPort=-1", "NetGroupCfgR.sT.UdpPort"},
        {"NetGroupCfgR.sT.NetGroupSearchMethod=256", "NetGroupCfgR.sT.NetGroupSearchMethod"},
        {"NetGroupCfgR.sT.HostIP=10.0.0", "NetGroupCfgR.sT.HostIP"},
        {"NetGroupCfgR.sT.HostIP=10.0.0.256", "NetGroupCfgR.sT.HostIP"},
        {"NetGroupCfgR.sT.TcpIpServices=[1,2,3]", "NetGroupCfgR.sT.TcpIpServices"},
        {"NetGroupCfgR.sT.TcpIpServices=[70000,0]", "NetGroupCfgR.sT.TcpIpServices"},
        {"NetGroupCfgR.UnitId=\xe5\x90\x8d", "NetGroupCfgR.UnitId"}, // U+540D has no single byte
        {"MsgTextList=gg", "MsgTextList"},
        {"MsgTextList=[\"a\",1]", "MsgTextList"},
        {"MsgTextList=[\"a\\u0000b\"]", "MsgTextList"}, // a 0 byte would end the string early
        {"NoEquals", "NoEquals"},
    };
    const std::string dir = MakeTempDir(), file = dir + "cfg.dat";
    WriteFile(file, AsString(kFullFile));
    for (const auto& [assignment, key] : cases) {
        // A valid assignment first: it must not be saved either.
        TRun r = Cli(dir, {"config", "set", "--file", file, "sT.LaunchCount=99", assignment});
        EXPECT_EQ(r.Status, 2) << assignment;
        EXPECT_NE(r.Err.find(key), std::string::npos) << assignment << ": " << r.Err;
        EXPECT_EQ(ReadFile(file), AsString(kFullFile)) << assignment;
    }
    TRun r = Cli(dir, {"config", "set", "--file", dir + "new.dat", "sT.Bad=1"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_FALSE(FileExists(dir + "new.dat"));
}

TEST(CliConfig, SetChangesOnlyTheNamedFields) {
    const std::string dir = MakeTempDir(), file = dir + "cfg.dat";
    WriteFile(file, AsString(kFullFile));
    TRun r = Cli(dir, {"config", "set", "--file", file, "sT.Mainltwh.Left=-2147483648", "sT.FullScreen=true",
                       "NetGroupCfgR.sT.HostIP_MS=4294967295", "NetGroupCfgR.sT.OtherServices=[0,65535]",
                       "SpMapReOpenList=[]", "NetGroupCfgR.HostName=\xc3\xbf", "OurIpStr="});
    ASSERT_EQ(r.Status, 0) << r.Err;
    Json want = Json::parse(kFullJson);
    want["sT"]["Mainltwh"]["Left"] = -2147483648LL;
    want["sT"]["FullScreen"] = true;
    want["NetGroupCfgR"]["sT"]["HostIP_MS"] = 4294967295LL;
    want["NetGroupCfgR"]["sT"]["OtherServices"] = Json::array({0, 65535});
    want["SpMapReOpenList"] = Json::array();
    want["NetGroupCfgR"]["HostName"] = "\xc3\xbf";
    want["OurIpStr"] = "";
    r = Cli(dir, {"config", "show", "--file", file});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(ParseOut(r), want);
    // The reserved bytes that the JSON does not show are kept.
    const std::string bytes = ReadFile(file);
    EXPECT_EQ(bytes.substr(10 + 68, 124), AsString(kFullFile).substr(10 + 68, 124));
}

TEST(CliConfig, WithoutFileUsesTheLaunchersPerUserDataFile) {
    const std::string dir = MakeTempDir();
    TRun r = Cli(dir, {"config", "set", "NetGroupCfgR.UnitId=Alice"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    const std::string file = dir + "xdg/Parvex/Tolvane.dat";
    ASSERT_TRUE(FileExists(file));
    r = Cli(dir, {"config", "show"});
    ASSERT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(ParseOut(r)["NetGroupCfgR"]["UnitId"], "Alice");

    // Looking at a damaged data file never moves it.
    std::string bad = ReadFile(file);
    bad[20] ^= 1;
    WriteFile(file, bad);
    r = Cli(dir, {"config", "show"});
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(ReadFile(file), bad);
}

TEST(CliConfig, StringLengthRunningPastTheFileIsADamagedFileDespiteItsCheckValue) {
    const std::string dir = MakeTempDir(), file = dir + "cfg.dat";
    // OurIpStr's count (at 206) claims 4 GiB; the check value is computed again as the writer does.
    Bytes bad = kFullFile;
    for (int i = 0; i < 4; ++i) bad[206 + i] = 0xff;
    rv::PutLE<uint32_t>(bad.data(), rv::Crc32OfBuffer(bad.data() + 4, bad.size() - 4));
    WriteFile(file, AsString(bad));

    TRun r = Cli(dir, {"config", "show", "--file", file});
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("damaged"), std::string::npos) << r.Err;
    // The same values as a failed check value leaves: none of the file's own.
    EXPECT_EQ(ParseOut(r)["sT"]["LaunchCount"], 0);
    EXPECT_EQ(ParseOut(r)["NetGroupCfgR"]["UnitId"], "");

    r = Cli(dir, {"config", "set", "--file", file, "sT.LaunchCount=1"});
    EXPECT_EQ(r.Status, 2);
    r = Cli(dir, {"peer", "--config", file});
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("damaged"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Out.find("started"), std::string::npos) << r.Out;
    EXPECT_EQ(ReadFile(file), AsString(bad));
}

TEST(CliConfig, AFolderGivenAsTheFileIsAnError) {
    const std::string dir = MakeTempDir(), folder = dir + "cfg.dat";
    std::filesystem::create_directory(folder);

    TRun r = Cli(dir, {"config", "show", "--file", folder});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "");
    EXPECT_NE(r.Err.find("cannot read " + folder + ": it is a folder"), std::string::npos) << r.Err;

    r = Cli(dir, {"config", "set", "--file", folder, "sT.LaunchCount=1"});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("it is a folder"), std::string::npos) << r.Err;
    EXPECT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_TRUE(std::filesystem::is_empty(folder));

    r = Cli(dir, {"peer", "--config", folder});
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("it is a folder"), std::string::npos) << r.Err;
    EXPECT_EQ(r.Out.find("started"), std::string::npos) << r.Out;
}

TEST(CliConfig, AFileThatCannotBeOpenedIsAnErrorWithTheSystemsReason) {
    // A socket exists as a file but opening it fails, also for root (for whom file modes do not count).
    const std::string dir = MakeTempDir(), file = dir + "s.dat";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (file.size() >= sizeof addr.sun_path) GTEST_SKIP() << "temporary folder name too long for a socket";
    std::memcpy(addr.sun_path, file.c_str(), file.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
    close(fd);

    TRun r = Cli(dir, {"config", "show", "--file", file});
    EXPECT_EQ(r.Status, 1);
    EXPECT_EQ(r.Out, "");
    // The system's text for the failed open follows the file name.
    EXPECT_NE(r.Err.find("cannot read " + file + ": " + std::generic_category().message(ENXIO)), std::string::npos)
        << r.Err;
    r = Cli(dir, {"config", "set", "--file", file, "sT.LaunchCount=1"});
    EXPECT_EQ(r.Status, 1);
    r = Cli(dir, {"peer", "--config", file});
    EXPECT_EQ(r.Status, 2);
    EXPECT_NE(r.Err.find("cannot be read"), std::string::npos) << r.Err;
}

TEST(ConfigJson, Latin1AndUtf8) {
    std::string all;
    for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
    const std::string utf8 = cli::Latin1ToUtf8(all);
    EXPECT_EQ(utf8.size(), 127u + 2 * 128u);
    std::string back;
    ASSERT_TRUE(cli::Utf8ToLatin1(utf8, back));
    EXPECT_EQ(back, all);
    EXPECT_EQ(cli::Latin1ToUtf8("caf\xe9"), "caf\xc3\xa9");

    const std::string bad[] = {
        std::string("a\0b", 3), "\xc4\x80" /* U+0100 */, "\x80", "\xc3", "\xc3\x41", "\xc0\x80" /* overlong 0 */,
        "\xe2\x82\xac" /* euro sign */,
    };
    for (const std::string& b : bad) {
        std::string out = "unchanged";
        EXPECT_FALSE(cli::Utf8ToLatin1(b, out)) << b;
        EXPECT_EQ(out, "unchanged");
    }
}
