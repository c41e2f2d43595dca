#include "stream/app_files.h"

#include "foundation/streams.h"

#include <filesystem>
#include <system_error>
#include <vector>

namespace rv {

namespace {
const TAppFilesEnvironment* GEnv = nullptr;

bool IsDelim(char c) { return detail::SystemIsPathDelim(c); }
} // namespace

void SetAppFilesEnvironment(const TAppFilesEnvironment* Env) { GEnv = Env; }

std::string MakeFilePath(const std::string& Path) {
    if (Path.empty() || Path.back() == PathDelim()) return Path;
    return Path + PathDelim();
}

std::string ExtractFileDir(const std::string& FileName) {
    for (size_t i = FileName.size(); i > 0; --i)
        if (IsDelim(FileName[i - 1])) return FileName.substr(0, i - 1 == 0 ? 1 : i - 1);
    return {};
}

std::string ExeName() {
    if (GEnv) return GEnv->ExeName;
    std::string path = detail::SystemExePath();
    size_t start = 0;
    for (size_t i = 0; i < path.size(); ++i)
        if (IsDelim(path[i])) start = i + 1;
    std::string name = path.substr(start);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

std::string ExeFolderPath() {
    if (GEnv) return GEnv->ExeFolderPath;
    return MakeFilePath(ExtractFileDir(detail::SystemExePath()));
}

std::string CurrentDirectoryPath() {
    if (GEnv && !GEnv->CurrentDirectoryPath.empty()) return GEnv->CurrentDirectoryPath;
    return MakeFilePath(detail::SystemCurrentDirectory());
}

std::string ApplicationUserDataPath() {
    if (GEnv) return GEnv->ApplicationUserDataPath;
    std::string base = detail::SystemUserDataFolder();
    if (base.empty()) return ExeFolderPath();
    return MakeFilePath(base) + ApplicationUserDataSubPath + PathDelim();
}

bool HasAdministratorPrivilege() { return GEnv ? GEnv->Administrator : detail::SystemIsAdministrator(); }

bool IsNtPlatform() { return GEnv ? GEnv->NtPlatform : detail::SystemIsNtPlatform(); }

std::string ApplicationDataFileName(bool* InProgramFolder) {
    const std::string name = ExeName() + ".dat";
    if (InProgramFolder) *InProgramFolder = false;
    std::string path = ApplicationUserDataPath() + name;
    if (FileExists(path)) return path;
    path = CurrentDirectoryPath() + name;
    if (FileExists(path)) return path;
    if (InProgramFolder) *InProgramFolder = true;
    return ExeFolderPath() + name;
}

bool FileExists(const std::string& FileName) { return detail::SystemFileExists(FileName); }

bool ForceDirectories(const std::string& Dir) {
    if (Dir.empty()) return true;
    std::error_code ec;
    std::filesystem::path p(Dir);
    if (std::filesystem::is_directory(p, ec)) return true;
    std::filesystem::create_directories(p, ec);
    return std::filesystem::is_directory(p, ec);
}

bool DeleteFileNamed(const std::string& FileName) { return detail::SystemDeleteFile(FileName); }

bool CopyFileNamed(const std::string& From, const std::string& To) {
    try {
        TMemoryStream data;
        data.LoadFromFile(From);
        data.SaveToFile(To);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void ReplaceFileContent(const std::string& FileName, const void* Data, size_t Size) {
    if (!detail::SystemReplaceFile(FileName, Data, Size)) throw EFOpenError("Cannot create file \"" + FileName + "\"");
}

} // namespace rv
