#pragma once
// Loading and saving the JSON configuration files.
//
// A load tells three cases apart: the file is missing (callers use defaults and
// report nothing), the file was read, or the file exists but is damaged or
// unreadable (callers report the reason and must never write over the file).
#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace kx {

struct JsonLoad {
    enum class State { missing, loaded, damaged };
    State state = State::missing;
    nlohmann::json value; // valid when loaded
    std::string problem;  // a sentence fragment when damaged ("not valid JSON: ...")
};

JsonLoad loadJsonFile(const std::filesystem::path& path);

// Writes the JSON value atomically (pretty-printed, mode 0600), creating the
// folder (0700) when it is missing. Throws kx::Error.
void saveJsonFile(const std::filesystem::path& path, const nlohmann::json& value);

// Thrown by a save that is blocked because the file failed to load earlier.
std::string blockedSaveText(const std::filesystem::path& path, const std::string& problem);

// Configuration files that failed to load in this process, by resolved path, with
// the reason. A value made afresh after a failed load must never be saved over
// the user's file; each kind of file keeps one of these and asks it before saving.
// Safe to use from several threads.
class DamagedFiles {
public:
    void remember(const std::string& path, const std::string& problem);
    // A later load that reads the file (or finds none) lifts the block.
    void forget(const std::string& path);
    std::optional<std::string> problem(const std::string& path) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> problems_;
};

// Parses a configuration file that holds one JSON object whose optional
// "version" is a whole number no greater than newestVersion (a newer Kelvara may
// keep more than this one understands, and writing the file back would lose it).
// Throws kx::Error: "the file is not valid JSON at byte N", notAnObject when the
// text is not an object, "its version is not a number", "it was written by a
// newer version of Kelvara".
nlohmann::json parseVersionedObject(const std::string& bytes, const std::string& notAnObject,
                                    std::int64_t newestVersion = 1);

} // namespace kx
