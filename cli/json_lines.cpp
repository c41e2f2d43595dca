#include "cli/json_lines.h"

#include <string>

namespace cli {

void TJsonLines::Emit(const char* Event, const nlohmann::json& Fields) {
    nlohmann::json j = nlohmann::json::object();
    j["event"] = Event;
    j["t"] = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - FStart).count();
    for (const auto& [k, v] : Fields.items()) j[k] = v;
    const std::string line = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    std::fwrite(line.data(), 1, line.size(), FOut);
    std::fflush(FOut);
}

} // namespace cli
