#pragma once
// Loading and saving the JSON configuration files.
//
// A load tells three cases apart: the file is missing (callers use defaults and
// report nothing), the file was read, or the file exists but is damaged or
// unreadable (callers report the reason and must never write over the file).
#include <nlohmann/json.hpp>

#include <filesystem>
#include <optional>
#include <string>

namespace kx {

struct JsonLoad {
    enum class State { missing, loaded, damaged };
    State state = State::missing;
    nlohmann::json value;   // valid when loaded
    std::string problem;    // a sentence fragment when damaged ("not valid JSON: ...")
};

JsonLoad loadJsonFile(const std::filesystem::path& path);

// Writes the JSON value atomically (pretty-printed, mode 0600), creating the
// folder (0700) when it is missing. Throws kx::Error.
void saveJsonFile(const std::filesystem::path& path, const nlohmann::json& value);

// Thrown by a save that is blocked because the file failed to load earlier.
std::string blockedSaveText(const std::filesystem::path& path, const std::string& problem);

} // namespace kx
