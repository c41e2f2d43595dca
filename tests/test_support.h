#pragma once
// Helpers shared by the test programs.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace testing_support {

// The folder of the running test program, with a trailing separator.
std::string ExeDir();
// A fresh, empty folder for one test (removed at exit of the program), with a trailing separator.
std::string MakeTempDir();
std::string ReadFile(const std::string& Path);
void WriteFile(const std::string& Path, const std::string& Data);
bool FileExists(const std::string& Path);

// Pumps the main thread's messages until Cond holds or TimeoutMs passes; returns Cond's last value.
bool PumpUntil(const std::function<bool()>& Cond, uint32_t TimeoutMs = 5000);

// The Windows programs have the .exe suffix.
std::string ExeName(const std::string& Base);

// Threads of this process now.
int ProcessThreadCount();

} // namespace testing_support
