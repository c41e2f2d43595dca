#pragma once
// Where the program's files live: the program's own name and folder, the per-user data folder, and the file
// operations the record files need (existence, folders, copies, atomic replacement).
//
// Folder paths end with the platform's separator (a backslash on Windows, a slash elsewhere). File names are
// byte strings in the system code page. Any thread, except SetAppFilesEnvironment (tests, before use).

#include <cstddef>
#include <string>

namespace rv {

// The maker's sub-folder of the per-user data folder.
inline constexpr const char* ApplicationUserDataSubPath = "Parvex";

// The platform's folder separator (backend).
char PathDelim();
// A non-empty text that does not end in the separator gets one appended; an empty text stays empty.
std::string MakeFilePath(const std::string& Path);
// The folder part of a file name, without the trailing separator ("" when there is none).
std::string ExtractFileDir(const std::string& FileName);

// The program file's name without folder and extension ("Tolvane").
std::string ExeName();
// The program's folder, with a trailing separator.
std::string ExeFolderPath();
// The current directory, with a trailing separator.
std::string CurrentDirectoryPath();
// The per-user data folder with the maker's sub-folder and a trailing separator. Windows: the Shell Folders
// value "Local AppData" (platform version 6 or more, else "AppData") of the current user, else "Personal";
// POSIX: $XDG_DATA_HOME, else ~/.local/share. When none is known: ExeFolderPath, without the sub-folder.
std::string ApplicationUserDataPath();
bool HasAdministratorPrivilege();
// Windows of the NT family (always on POSIX, whose per-user rules are the same).
bool IsNtPlatform();

// The per-user data file that LoadApplicationData reads: "<ExeName>.dat" in the per-user folder if it exists
// there, else in the current directory if it exists there, else in the program folder (then *InProgramFolder is
// set). A caller that finds this file damaged can keep it aside under its own name.
std::string ApplicationDataFileName(bool* InProgramFolder = nullptr);

bool FileExists(const std::string& FileName);
// Creates Dir with all missing parents; true when it exists afterwards (an empty Dir is the current directory).
bool ForceDirectories(const std::string& Dir);
bool DeleteFileNamed(const std::string& FileName);
// Copies From over To; false on any failure.
bool CopyFileNamed(const std::string& From, const std::string& To);
// Writes Data to a new temporary file in FileName's folder, flushes it to disk, then renames it over FileName in
// one step, so that FileName holds either its old or its new content, never a part. Raises EFOpenError
// "Cannot create file \"FileName\"" when the file cannot be created or replaced (nothing is left behind).
void ReplaceFileContent(const std::string& FileName, const void* Data, size_t Size);

// Tests: replaces what the platform says about the program and the user. Null restores the platform.
struct TAppFilesEnvironment {
    std::string ExeName;
    std::string ExeFolderPath;
    std::string CurrentDirectoryPath;
    std::string ApplicationUserDataPath;
    bool Administrator = false;
    bool NtPlatform = true;
};
void SetAppFilesEnvironment(const TAppFilesEnvironment* Env);

namespace detail {
// Backend (app_files_win.cpp / app_files_posix.cpp).
std::string SystemExePath();
std::string SystemCurrentDirectory();
std::string SystemUserDataFolder(); // without the maker's sub-folder; empty when none is known
bool SystemIsAdministrator();
bool SystemIsNtPlatform();
bool SystemFileExists(const std::string& FileName);
bool SystemDeleteFile(const std::string& FileName);
bool SystemReplaceFile(const std::string& FileName, const void* Data, size_t Size);
// True for every character that separates folders in a file name (Windows also accepts the slash).
bool SystemIsPathDelim(char c);
} // namespace detail

} // namespace rv
