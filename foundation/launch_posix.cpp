#include "foundation/launch.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace rv {

void TRV_LaunchExecutable::Launch(const std::string& FileName, const std::string& MainWindowClass,
                                  bool WaitUntilClosed, bool Hidden, int PlacementMode, const TRect& Rect,
                                  const std::string& Params) {
    // Windows and their placement have no meaning here; the program is started the same way otherwise.
    (void)Hidden;
    (void)PlacementMode;
    (void)Rect;
    FMainWindowClass = MainWindowClass;
    std::error_code ec;
    FullFileName = FileName.empty() ? std::string() : std::filesystem::absolute(FileName, ec).lexically_normal().string();
    struct stat st {};
    if (FullFileName.empty() || stat(FullFileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        LaunchErrorCode = leFileNotFound;
        return;
    }
    std::vector<std::string> args = SplitCommandLine(Params);
    args.insert(args.begin(), FullFileName);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = 0;
    int rc = posix_spawn(&pid, FullFileName.c_str(), nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        LaunchErrorCode = leCreateFailed;
        LaunchErrorText = std::strerror(rc);
        return;
    }
    FProcessHandle = static_cast<uintptr_t>(pid);
    ProcessId = static_cast<uint32_t>(pid);
    ActiveState = 2;
    if (WaitUntilClosed) DoWaitUntilClosed();
}

bool TRV_LaunchExecutable::WaitForExit(uint32_t TimeoutMs) {
    if (ActiveState != 2 || FProcessHandle == 0) return true;
    pid_t pid = static_cast<pid_t>(FProcessHandle);
    int status = 0;
    pid_t r;
    if (TimeoutMs == 0xFFFFFFFFu) {
        do r = waitpid(pid, &status, 0);
        while (r < 0 && errno == EINTR);
    } else {
        // Polls in short steps; waitpid has no time-out of its own.
        uint32_t waited = 0;
        for (;;) {
            r = waitpid(pid, &status, WNOHANG);
            if (r != 0 || waited >= TimeoutMs) break;
            usleep(2000);
            waited += 2;
        }
        if (r == 0) return false;
    }
    ExitCode = (r == pid && WIFEXITED(status)) ? static_cast<uint32_t>(WEXITSTATUS(status)) : 99;
    FProcessHandle = 0; // reaped: the pid is no longer ours
    return true;
}

TRV_LaunchExecutable::~TRV_LaunchExecutable() {
    // The program goes on; a pid that was never waited for is reaped by init when this process ends.
    ActiveState = 0;
}

} // namespace rv
