#include "foundation/launch.h"

#include <windows.h>

namespace rv {

namespace {

struct TEnumState {
    const std::string* Class;
    std::vector<TWindowHandle>* Found;
};

BOOL CALLBACK CollectWindowsOfClass(HWND Wnd, LPARAM Param) {
    auto* st = reinterpret_cast<TEnumState*>(Param);
    char name[256];
    if (GetClassNameA(Wnd, name, sizeof name) > 0 && *st->Class == name)
        st->Found->push_back(reinterpret_cast<TWindowHandle>(Wnd));
    return TRUE;
}

std::vector<TWindowHandle> TopLevelWindowsOfClass(const std::string& Class) {
    std::vector<TWindowHandle> found;
    TEnumState st{&Class, &found};
    EnumWindows(CollectWindowsOfClass, reinterpret_cast<LPARAM>(&st));
    return found;
}

std::string SystemErrorText(DWORD Code) {
    char* buf = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, Code, 0, reinterpret_cast<LPSTR>(&buf), 0, nullptr);
    std::string text = n ? std::string(buf, n) : "error " + std::to_string(Code);
    if (buf) LocalFree(buf);
    while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.')) text.pop_back();
    return text;
}

} // namespace

void TRV_LaunchExecutable::Launch(const std::string& FileName, const std::string& MainWindowClass,
                                  bool WaitUntilClosed, bool Hidden, int PlacementMode, const TRect& Rect,
                                  const std::string& Params) {
    FMainWindowClass = MainWindowClass;
    char full[MAX_PATH * 4];
    DWORD n = FileName.empty() ? 0 : GetFullPathNameA(FileName.c_str(), sizeof full, full, nullptr);
    FullFileName = (n > 0 && n < sizeof full) ? std::string(full, n) : FileName;
    DWORD attrs = FullFileName.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(FullFileName.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES || (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        LaunchErrorCode = leFileNotFound;
        return;
    }
    if (!MainWindowClass.empty()) WndList = TopLevelWindowsOfClass(MainWindowClass);

    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    if (PlacementMode == 0 || PlacementMode == 2) {
        si.dwFlags |= STARTF_USEPOSITION;
        si.dwX = static_cast<DWORD>(Rect.Left);
        si.dwY = static_cast<DWORD>(Rect.Top);
    }
    if (PlacementMode == 1 || PlacementMode == 2) {
        si.dwFlags |= STARTF_USESIZE;
        si.dwXSize = static_cast<DWORD>(Rect.Width);
        si.dwYSize = static_cast<DWORD>(Rect.Height);
    }
    si.wShowWindow = Hidden ? SW_HIDE : SW_SHOWDEFAULT;
    WindowFlags = si.dwFlags;

    std::string cmd = "\"" + FullFileName + "\" " + Params;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE,
                        CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS | CREATE_NEW_PROCESS_GROUP | CREATE_DEFAULT_ERROR_MODE,
                        nullptr, nullptr, &si, &pi)) {
        LaunchErrorCode = leCreateFailed;
        LaunchErrorText = SystemErrorText(GetLastError());
        return;
    }
    FProcessHandle = reinterpret_cast<uintptr_t>(pi.hProcess);
    FThreadHandle = reinterpret_cast<uintptr_t>(pi.hThread);
    ProcessId = pi.dwProcessId;
    ActiveState = 2;
    if (!MainWindowClass.empty()) {
        WaitForInputIdle(pi.hProcess, 5000);
        Sleep(80);
        for (TWindowHandle w : TopLevelWindowsOfClass(MainWindowClass)) {
            bool known = false;
            for (TWindowHandle old : WndList) known = known || old == w;
            if (!known) {
                MainWnd = w;
                break;
            }
        }
    }
    if (WaitUntilClosed) DoWaitUntilClosed();
}

bool TRV_LaunchExecutable::WaitForExit(uint32_t TimeoutMs) {
    if (ActiveState != 2) return true;
    HANDLE h = reinterpret_cast<HANDLE>(FProcessHandle);
    if (WaitForSingleObject(h, TimeoutMs == 0xFFFFFFFFu ? INFINITE : TimeoutMs) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    ExitCode = GetExitCodeProcess(h, &code) ? code : 99;
    return true;
}

TRV_LaunchExecutable::~TRV_LaunchExecutable() {
    if (ActiveState == 2) {
        CloseHandle(reinterpret_cast<HANDLE>(FProcessHandle));
        CloseHandle(reinterpret_cast<HANDLE>(FThreadHandle));
    }
}

} // namespace rv
