#pragma once
// Record files: one TRV_SmartStream record per file, written by WriteToStream from offset 0 with the record's own
// options (no file magic, no extra framing), and the per-user data file of the program. The operations are
// members of TRV_SmartStream (SaveToFile, LoadFromFile, SaveAsApplicationData, LoadApplicationData, declared in
// stream/smart_stream.h and defined in record_files.cpp); their options and the backup file name are here.
//
// Threads: as for the record itself; the file operations use the folders of stream/app_files.h.

#include "stream/smart_stream.h"

#include <string>

namespace rv {

// Options of LoadFromFile (TExpandFFOptions).
enum TExpandFFOption : unsigned {
    effWithBackup = 1, // try the backup file when the file cannot be read
    effInitialize = 2, // Clear the record when the file cannot be opened
};

// Backup file name: "name.ext" gives "name.~ex" (a tilde and the extension without its last character);
// a name without an extension gets ".~Bk".
std::string CreateBackupFileName(const std::string& FileName);

namespace detail {
// Backend (record_files_win.cpp / record_files_posix.cpp): the extension a first save gives the per-user data
// file. File names compare without regard to case on Windows, so it names the same file as ".dat" there.
const char* SystemDataFileSaveExt();
} // namespace detail

} // namespace rv
