// Test helper: writes its command line and working folder to the file named by its first argument
// (Windows: the raw command line; POSIX: the arguments joined by single spaces), then exits with the
// code given as second argument (default 0). With a third argument it first waits (at most 10 s) until that
// file exists, so a test can keep it running until the launcher has done something.
#include "tests/tools/cmdline_probe.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc < 2) return 3;
    const std::string line = ProbeCommandLine(argc, argv);
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
