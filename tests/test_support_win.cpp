// Test helpers whose answers are those of Windows.
#include "tests/test_support.h"

#include <windows.h>

#include <tlhelp32.h>

namespace testing_support {

std::string ExeName(const std::string& Base) { return Base + ".exe"; }

int ProcessThreadCount() {
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return -1;
    const DWORD self = GetCurrentProcessId();
    int count = 0;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snap, &entry); more; more = Thread32Next(snap, &entry))
        if (entry.th32OwnerProcessID == self) ++count;
    CloseHandle(snap);
    return count;
}

} // namespace testing_support
