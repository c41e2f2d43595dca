// Test helper: writes its command line and working folder to the file named by its first argument
// (Windows: the raw command line; POSIX: the arguments joined by single spaces), then exits with the
// code given as second argument (default 0). With a third argument it first waits (at most 10 s) until that
// file exists, so a test can keep it running until the launcher has done something.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

int main(int argc, char** argv) {
    if (argc < 2) return 3;
    std::string line;
#ifdef _WIN32
    line = GetCommandLineA();
#else
    for (int i = 0; i < argc; ++i) line += (i ? " " : "") + std::string(argv[i]);
#endif
    if (argc >= 4) {
        for (int i = 0; i < 1000 && !std::filesystem::exists(argv[3]); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::FILE* f = std::fopen(argv[1], "wb");
    if (!f) return 4;
    std::fprintf(f, "%s\n%s\n", line.c_str(), std::filesystem::current_path().string().c_str());
    std::fclose(f);
    return argc >= 3 ? std::atoi(argv[2]) : 0;
}
