#pragma once
// The CLI's event lines: one JSON object per line, with "event" and "t" (milliseconds since the writer was made),
// flushed at once so a reader sees each as it happens.

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace cli {

class TJsonLines {
public:
    explicit TJsonLines(std::FILE* Out) : FOut(Out), FStart(std::chrono::steady_clock::now()) {}
    // Texts are bytes in the system code page: anything that is not UTF-8 is shown replaced, never refused.
    void Emit(const char* Event, const nlohmann::json& Fields = nlohmann::json::object());

private:
    std::FILE* FOut;
    std::chrono::steady_clock::time_point FStart;
};

} // namespace cli
