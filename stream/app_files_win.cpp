// Windows backend of the program's files: the module file name, the Shell Folders registry values of the
// current user, the Administrators group, and MoveFileExA for atomic replacement.
#include "stream/app_files.h"

#include <windows.h>
#include <versionhelpers.h>

#include <string>
#include <vector>

namespace rv::detail {

namespace {

std::string ReadShellFolder(HKEY Key, const char* Name) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(Key, Name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return {};
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || size == 0) return {};
    std::vector<char> buf(size + 1, 0);
    if (RegQueryValueExA(Key, Name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &size) != ERROR_SUCCESS)
        return {};
    std::string value(buf.data());
    if (type == REG_EXPAND_SZ && !value.empty()) {
        DWORD n = ExpandEnvironmentStringsA(value.c_str(), nullptr, 0);
        std::vector<char> exp(n + 1, 0);
        if (n > 0 && ExpandEnvironmentStringsA(value.c_str(), exp.data(), n) > 0) value = exp.data();
    }
    return value;
}

} // namespace

std::string SystemExePath() {
    std::vector<char> buf(MAX_PATH);
    for (;;) {
        DWORD n = GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return std::string(buf.data(), n);
        buf.resize(buf.size() * 2);
    }
}

std::string SystemCurrentDirectory() {
    DWORD n = GetCurrentDirectoryA(0, nullptr);
    std::vector<char> buf(n + 1, 0);
    if (n == 0 || GetCurrentDirectoryA(n, buf.data()) == 0) return {};
    return buf.data();
}

std::string SystemUserDataFolder() {
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", 0,
                      KEY_READ, &key) != ERROR_SUCCESS)
        return {};
    std::string folder = ReadShellFolder(key, IsWindowsVistaOrGreater() ? "Local AppData" : "AppData");
    if (folder.empty()) folder = ReadShellFolder(key, "Personal");
    RegCloseKey(key);
    return folder;
}

bool SystemIsAdministrator() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &admins))
        return false;
    BOOL member = FALSE;
    if (!CheckTokenMembership(nullptr, admins, &member)) member = FALSE;
    FreeSid(admins);
    return member != FALSE;
}

bool SystemIsNtPlatform() { return (GetVersion() & 0x80000000u) == 0; }

bool SystemFileExists(const std::string& FileName) {
    DWORD a = GetFileAttributesA(FileName.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool SystemDeleteFile(const std::string& FileName) { return DeleteFileA(FileName.c_str()) != 0; }

bool SystemReplaceFile(const std::string& FileName, const void* Data, size_t Size) {
    if (FileName.empty()) return false;
    const size_t cut = FileName.find_last_of("\\/");
    const std::string dir = cut == std::string::npos ? std::string(".") : FileName.substr(0, cut + 1);
    char tmp[MAX_PATH + 1] = {};
    if (GetTempFileNameA(dir.c_str(), "tlv", 0, tmp) == 0) return false;

    bool ok = false;
    HANDLE h = CreateFileA(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        ok = true;
        auto* p = static_cast<const char*>(Data);
        size_t left = Size;
        while (ok && left > 0) {
            DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left), written = 0;
            ok = WriteFile(h, p, chunk, &written, nullptr) && written == chunk;
            p += written;
            left -= written;
        }
        ok = ok && FlushFileBuffers(h);
        ok = CloseHandle(h) && ok;
    }
    ok = ok && MoveFileExA(tmp, FileName.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok) DeleteFileA(tmp);
    return ok;
}

bool SystemIsPathDelim(char c) { return c == '\\' || c == '/'; }

} // namespace rv::detail

namespace rv {

char PathDelim() { return '\\'; }

} // namespace rv
