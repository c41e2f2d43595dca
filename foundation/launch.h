#pragma once
// Starting another program (the game, an installer, the elevation helper). Main thread.
//
// Win32: CreateProcessA with the command line "<full path in quotes> <Params>", a new console and process
// group, the launcher's environment and folder. POSIX: posix_spawn of the full path with Params split into
// arguments the way the Windows runtime splits a command line, in a new process group.

#include "foundation/main_loop.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rv {

struct TRect {
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
};

class TRV_LaunchExecutable {
public:
    enum : uint32_t { leNone = 0, leFileNotFound = 1, leCreateFailed = 2 };

    // Starts FileName (expanded to a full path). PlacementMode 0 or 2 passes Rect's position, 1 or 2 its size.
    // When MainWindowClass is set, waits for the program to be idle (at most 5000 ms) and finds its new
    // top-level window of that class. With WaitUntilClosed, returns only when the program has ended.
    static std::unique_ptr<TRV_LaunchExecutable> Create(const std::string& FileName,
                                                        const std::string& MainWindowClass, bool WaitUntilClosed,
                                                        bool Hidden, int PlacementMode, const TRect& Rect,
                                                        const std::string& Params);
    TRV_LaunchExecutable() = default;
    TRV_LaunchExecutable(const TRV_LaunchExecutable&) = delete;
    TRV_LaunchExecutable& operator=(const TRV_LaunchExecutable&) = delete;
    // Closes the process handles (the program goes on running).
    virtual ~TRV_LaunchExecutable();

    // Waits without limit for the program to end and reads its exit code (99 when it cannot be read).
    virtual void DoWaitUntilClosed();

    uint32_t WindowFlags = 0;
    std::string FMainWindowClass;
    std::vector<TWindowHandle> WndList;
    uint8_t ActiveState = 0; // 0 none, 2 process handles held
    bool FMaintainZOrder = true;
    TWindowHandle MainWnd = 0;
    uint32_t ExitCode = 0;
    uint32_t LaunchErrorCode = leNone;
    std::string FullFileName;      // the expanded path that was started
    std::string LaunchErrorText;   // the system's text for a creation failure
    uint32_t ProcessId = 0;

protected:
    void Launch(const std::string& FileName, const std::string& MainWindowClass, bool WaitUntilClosed, bool Hidden,
                int PlacementMode, const TRect& Rect, const std::string& Params);
    // Backend: true when the program has ended, waiting at most TimeoutMs (0xFFFFFFFF: no limit); then ExitCode
    // holds its code (99 when it cannot be read).
    bool WaitForExit(uint32_t TimeoutMs);

    uintptr_t FProcessHandle = 0; // Win32 process handle / POSIX pid
    uintptr_t FThreadHandle = 0;  // Win32 thread handle
};

class TRV_LaunchApplication : public TRV_LaunchExecutable {
public:
    // As TRV_LaunchExecutable, shown (never hidden); with ShowErrors a failure is reported in an error box:
    // "Could not find " + the file name, or "Error " + the system's text + "loading " + the file name.
    static std::unique_ptr<TRV_LaunchApplication> Create(const std::string& FileName,
                                                         const std::string& MainWindowClass, bool ShowErrors,
                                                         bool WaitUntilClosed, int PlacementMode, const TRect& Rect,
                                                         const std::string& Params);
    // Keeps the message pump running (keys and mouse discarded) while it waits, so windows stay painted.
    void DoWaitUntilClosed() override;
};

// Splits a command line into arguments by the rules of the Windows C runtime (quotes, backslashes).
std::vector<std::string> SplitCommandLine(const std::string& CommandLine);

} // namespace rv
