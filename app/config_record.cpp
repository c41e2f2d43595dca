#include "app/config_record.h"

#include "stream/app_files.h"
#include "stream/record_files.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <system_error>

namespace rv {

std::unique_ptr<T_ConfigRec> CfgR;
std::string ExternalIp;

void T_ConfigRec::AssignElements() {
    TRV_SmartStream::AssignElements();
    // This order is the order of the bytes in the data file.
    AddRecord(sT);
    AddLongString(OurIpStr);
    AddLongString(GamePortStr);
    AddLongString(Duke3dInstallFolder);
    AddLongString(Duke3dMapFolder);
    AddLongString(Duke3dMultiPlayMaps);
    AddLongString(CurrentMapFileName);
    AddLongString(CurrentMpMapPath);
    AddSmartStream(NetGroupCfgR);
    AddTStrings(MsgTextList);
    AddTStrings(MpMapReOpenList);
    AddTStrings(SpMapReOpenList);
    AddLongString(CurrentSpMapPath); // added after the lists
}

void T_ConfigRec::SetDefaultValues() {
    TRV_SmartStream::SetDefaultValues();
    sT = T_CfgSimpleRec{};
    sT.RestoreSizePos = true;
    sT.ShowFirstTimeHelp = true;
    sT.FullScreen = true;
    Duke3dMultiPlayMaps = "MpLanMaps";
    GamePortStr = "8500";
    // Over the net group's own defaults (MsgTimeOut and the rest stay as they are).
    NetGroupCfgR.sT.UdpPort = C_LauncherUdpPort;
    NetGroupCfgR.sT.InfoReplyPort = C_LauncherInfoReplyPort;
    NetGroupCfgR.sT.TcpIpServices = MakeServices(C_LauncherServicePort, HiWord(NetGroupCfgR.sT.TcpIpServices));
    NetGroupCfgR.GroupId = "GameDuke3d";
    NetGroupCfgR.ClassId = "Launcher";
    NetGroupCfgR.UnitId = "New player";
}

std::string T_ConfigRec::Duke3dExeFileName() const { return MakeFilePath(Duke3dInstallFolder) + C_Duke3dExeName; }

std::string T_ConfigRec::MpSharedMapFolder() const { return MakeFilePath(Duke3dMapFolder) + Duke3dMultiPlayMaps; }

TCfgLoadStatus LoadConfigFile(T_ConfigRec& R, const std::string& FileName, std::string* Reason) {
    std::error_code ec;
    if (!FileExists(FileName)) {
        R.Clear();
        // A folder of that name is there but cannot be read as a file: it must not pass for a missing file.
        if (std::filesystem::is_directory(std::filesystem::path(FileName), ec)) {
            if (Reason) *Reason = "it is a folder";
            return TCfgLoadStatus::Unreadable;
        }
        return TCfgLoadStatus::Missing;
    }
    TMemoryStream data;
    try {
        data.LoadFromFile(FileName);
    } catch (const std::exception& e) {
        R.Clear();
        if (Reason) {
            // The stream's error names the file only; the system says why it could not be opened.
            errno = 0;
            if (std::FILE* f = std::fopen(FileName.c_str(), "rb")) {
                std::fclose(f);
                *Reason = e.what();
            } else {
                *Reason = errno ? std::generic_category().message(errno) : e.what();
            }
        }
        return TCfgLoadStatus::Unreadable;
    }
    // An empty file would read as a record of null values (a valid stream of no data); a saved record is never
    // empty, so such a file is a damaged one.
    if (data.Size() == 0) {
        R.Assign(nullptr);
        return TCfgLoadStatus::Damaged;
    }
    data.SetPosition(0);
    bool ok = false;
    try {
        ok = R.ReadFromStream(data);
    } catch (const std::exception&) {
        ok = false;
    }
    // Whatever failed (the check value or a length running past the data), the record holds the same null values.
    if (!ok) R.Assign(nullptr);
    return ok ? TCfgLoadStatus::Loaded : TCfgLoadStatus::Damaged;
}

std::string KeepDamagedFileAside(const std::string& FileName) {
    for (int i = 0; i < 100; ++i) {
        std::string aside = FileName + ".damaged";
        if (i) {
            aside += '.';
            aside += std::to_string(i);
        }
        // An earlier damaged copy is never replaced: only a free name is used.
        if (FileExists(aside)) continue;
        if (std::rename(FileName.c_str(), aside.c_str()) == 0) return aside;
        // A file that cannot be renamed (held open elsewhere) is at least copied; a name that cannot be used
        // (a folder of that name) gives way to the next one.
        if (CopyFileNamed(FileName, aside)) return aside;
    }
    return {};
}

TCfgLoadResult LoadConfigRecord(T_ConfigRec& R, bool KeepDamagedAside) {
    TCfgLoadResult res;
    bool programFolder = false;
    res.FileName = ApplicationDataFileName(&programFolder);
    res.Status = LoadConfigFile(R, res.FileName);
    R.AppUserPath.clear();
    switch (res.Status) {
    case TCfgLoadStatus::Loaded:
        R.AppUserPath = res.FileName;
        // A non-administrator cannot be expected to write the program folder: the next save goes per user.
        if (programFolder && IsNtPlatform() && !HasAdministratorPrivilege())
            R.AppUserPath = ApplicationUserDataPath() + ExeName() + ".dat";
        break;
    case TCfgLoadStatus::Damaged:
        if (!KeepDamagedAside) break;
        res.KeptAside = KeepDamagedFileAside(res.FileName);
        R.Clear();
        break;
    case TCfgLoadStatus::Missing:
    case TCfgLoadStatus::Unreadable:
        break;
    }
    return res;
}

bool SaveConfigRecord(T_ConfigRec& R, std::string* ErrorText) {
    std::string error;
    try {
        if (R.SaveAsApplicationData(false)) return true;
        error = "Access denied " + R.AppUserPath;
    } catch (const std::exception& e) {
        error = e.what();
    }
    if (ErrorText) *ErrorText = error;
    return false;
}

TCfgLoadResult InitCfgR() {
    CfgR = MakeSmartStream<T_ConfigRec>();
    return LoadConfigRecord(*CfgR);
}

void FreeCfgR() {
    CfgR.reset();
    ExternalIp.clear();
}

bool WriteCfgR(std::string* ErrorText) {
    if (!CfgR) {
        if (ErrorText) *ErrorText = "No configuration record";
        return false;
    }
    return SaveConfigRecord(*CfgR, ErrorText);
}

} // namespace rv
