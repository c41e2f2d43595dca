// POSIX backend of the program's files: /proc/self/exe, the XDG data folder, and mkstemp + rename for atomic
// replacement.
#include "stream/app_files.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace rv::detail {

std::string SystemExePath() {
    std::vector<char> buf(PATH_MAX + 1);
    ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size() - 1);
    return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
}

std::string SystemCurrentDirectory() {
    std::vector<char> buf(PATH_MAX + 1);
    return getcwd(buf.data(), buf.size()) ? std::string(buf.data()) : std::string();
}

std::string SystemUserDataFolder() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return xdg; // the XDG rules ignore a relative value
    const char* home = std::getenv("HOME");
    if (home && home[0]) return std::string(home) + "/.local/share";
    return {};
}

bool SystemIsAdministrator() { return geteuid() == 0; }

bool SystemIsNtPlatform() { return true; }

bool SystemFileExists(const std::string& FileName) {
    struct stat st;
    return !FileName.empty() && stat(FileName.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool SystemDeleteFile(const std::string& FileName) { return unlink(FileName.c_str()) == 0; }

bool SystemReplaceFile(const std::string& FileName, const void* Data, size_t Size) {
    if (FileName.empty()) return false;
    std::string tmp = FileName + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0) return false;
    // Keep the mode of the file being replaced; a new file gets the usual 0644.
    struct stat st;
    mode_t mode = stat(FileName.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    bool ok = fchmod(fd, mode) == 0;
    auto* p = static_cast<const char*>(Data);
    size_t left = Size;
    while (ok && left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) ok = false;
        else {
            p += n;
            left -= static_cast<size_t>(n);
        }
    }
    ok = ok && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && std::rename(tmp.c_str(), FileName.c_str()) == 0;
    if (!ok) unlink(tmp.c_str());
    return ok;
}

bool SystemIsPathDelim(char c) { return c == '/'; }

} // namespace rv::detail

namespace rv {

char PathDelim() { return '/'; }

} // namespace rv
