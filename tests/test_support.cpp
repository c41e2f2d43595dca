#include "tests/test_support.h"

#include "foundation/main_loop.h"
#include "foundation/message_pump.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

std::string GExeDir; // set by main

std::string ExeDir() { return GExeDir; }

namespace {
std::mutex GTempLock;
std::vector<fs::path> GTempDirs;
struct TTempCleaner {
    ~TTempCleaner() {
        std::error_code ec;
        for (auto& d : GTempDirs) fs::remove_all(d, ec);
    }
} GCleaner;
} // namespace

std::string MakeTempDir() {
    static std::atomic<int> counter{0};
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) base = fs::current_path();
    for (;;) {
        fs::path p = base / ("tolvane-test-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
                             "-" + std::to_string(counter++));
        if (fs::create_directory(p, ec)) {
            std::lock_guard<std::mutex> lock(GTempLock);
            GTempDirs.push_back(p);
            std::string s = p.string();
            s += static_cast<char>(fs::path::preferred_separator);
            return s;
        }
    }
}

std::string ReadFile(const std::string& Path) {
    std::ifstream f(Path, std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& Path, const std::string& Data) {
    std::ofstream f(Path, std::ios::binary | std::ios::trunc);
    f << Data;
}

bool FileExists(const std::string& Path) {
    std::error_code ec;
    return fs::exists(Path, ec);
}

bool PumpUntil(const std::function<bool()>& Cond, uint32_t TimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
    while (!Cond()) {
        if (std::chrono::steady_clock::now() >= deadline) return Cond();
        rv::ProcessApplicationMessages(1000, rv::pmoNone);
        rv::WaitForMessages(5);
    }
    return true;
}

} // namespace testing_support
