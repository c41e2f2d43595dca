// Record files and the per-user data file.
#include "stream/record_files.h"

#include "foundation/message_box.h"
#include "foundation/streams.h"
#include "stream/app_files.h"

namespace rv {

namespace {

// The name the per-user data file is looked for under; a first save uses detail::SystemDataFileSaveExt().
constexpr const char* kLoadExt = ".dat";

constexpr uint32_t kTaskModal = 0x2000; // MB_TASKMODAL
constexpr uint32_t kTopMost = 0x40000;  // MB_TOPMOST

bool IsDelim(char c) { return c == '/' || c == PathDelim(); }

} // namespace

std::string CreateBackupFileName(const std::string& FileName) {
    size_t dot = std::string::npos;
    for (size_t i = FileName.size(); i > 0; --i) {
        if (IsDelim(FileName[i - 1])) break;
        if (FileName[i - 1] == '.') {
            dot = i - 1;
            break;
        }
    }
    if (dot == std::string::npos) return FileName + ".~Bk";
    std::string ext = FileName.substr(dot + 1);
    if (!ext.empty()) ext.pop_back();
    return FileName.substr(0, dot) + ".~" + ext;
}

bool TRV_SmartStream::SaveToFile(const std::string& FileName, bool WithBackUp) {
    RequireConstructed();
    TMemoryStream data;
    if (!WriteToStream(data)) return false;
    if (WithBackUp) {
        // The backup gets the previous content; the file itself is then replaced in one step, so that it never
        // goes missing or half-written.
        const std::string backup = CreateBackupFileName(FileName);
        DeleteFileNamed(backup);
        if (FileExists(FileName)) CopyFileNamed(FileName, backup);
    }
    ReplaceFileContent(FileName, data.Memory(), static_cast<size_t>(data.Size()));
    return true;
}

bool TRV_SmartStream::LoadFromFile(const std::string& FileName, TExpandFFOptions Options) {
    RequireConstructed();
    bool result = false;
    try {
        TFileStream f(FileName, fmOpenRead);
        result = ReadFromStream(f);
    } catch (const std::exception&) {
        if (Options & effInitialize) Clear();
        result = false;
    }
    if (!result && (Options & effWithBackup))
        return LoadFromFile(CreateBackupFileName(FileName), Options & ~static_cast<unsigned>(effWithBackup));
    return result;
}

bool TRV_SmartStream::LoadApplicationData(bool WithBackUp) {
    RequireConstructed();
    bool programFolder = false;
    AppUserPath = ApplicationDataFileName(&programFolder);
    bool result = LoadFromFile(AppUserPath, effInitialize | (WithBackUp ? effWithBackup : 0u));
    if (result && programFolder && IsNtPlatform() && !HasAdministratorPrivilege())
        AppUserPath = ApplicationUserDataPath() + ExeName() + kLoadExt; // the next save goes to the per-user folder
    if (!result) AppUserPath.clear();
    return result;
}

bool TRV_SmartStream::SaveAsApplicationData(bool WithBackUp) {
    RequireConstructed();
    if (AppUserPath.empty()) {
        // A file of that name in the current directory is used where it is (by its full name, so that a later
        // change of directory does not move it); otherwise the per-user folder.
        const std::string name = ExeName() + detail::SystemDataFileSaveExt();
        AppUserPath = CurrentDirectoryPath() + name;
        if (!FileExists(AppUserPath)) AppUserPath = (IsNtPlatform() ? ApplicationUserDataPath() : ExeFolderPath()) + name;
    }
    bool result = false;
    if (ForceDirectories(ExtractFileDir(AppUserPath))) result = SaveToFile(AppUserPath, WithBackUp);
    if (!result && !HasAdministratorPrivilege()) {
        AppUserPath = ApplicationUserDataPath() + ExeName() + kLoadExt;
        if (ForceDirectories(ExtractFileDir(AppUserPath))) result = SaveToFile(AppUserPath, WithBackUp);
    }
    if (!result)
        ShowMessageBox("Insufficient privilege", "Access denied " + AppUserPath, mbIconWarning | kTaskModal | kTopMost);
    return result;
}

} // namespace rv
