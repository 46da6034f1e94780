#pragma once
// What this computer remembers of the backups it wrote: for each destination
// and backup, the generation of the last manifest it wrote there and when.
//
// Every backup's manifest carries a generation one higher than the one it
// replaced, sealed with it. A destination that holds an older generation than
// this computer wrote there was rolled back (an older copy put back by a sync
// client, a NAS snapshot or by hand): a backup or restore that finds one says so.
//
// File (JSON, written atomically; holds no secret): {"backups": [{"destination":
// resume identity, "manifest": the manifest's name, "generation", "createdAt"}]}.
// A missing or damaged file remembers nothing.
#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace kx {

struct RememberedGeneration {
    uint64_t generation = 0;
    std::string createdAt; // ISO 8601, as the manifest says
};

// Files of this kind (this one, record_memory.h) hold one entry per backup
// under "backups", each naming its "destination" and "manifest".
namespace backup_entries {
// The entries of the file; none when it is missing or damaged.
nlohmann::json load(const std::filesystem::path& file);
bool isFor(const nlohmann::json& entry, const std::string& destination, const std::string& manifest);
// Changes the entries under a lock beside the file (backups to different
// destinations may finish side by side in separate processes) and writes them
// back atomically. Throws kx::Error.
void change(const std::filesystem::path& file, const std::function<void(nlohmann::json& entries)>& edit);
} // namespace backup_entries

class GenerationMemory {
public:
    // The file's name in the application's settings folder.
    static constexpr const char* kFileName = "backup-generations.json";

    explicit GenerationMemory(std::filesystem::path file) : file_(std::move(file)) {}

    std::optional<RememberedGeneration> lastWritten(const std::string& destination, const std::string& manifest) const;
    // Keeps the higher of what is remembered and `written`. Throws kx::Error.
    void remember(const std::string& destination, const std::string& manifest, const RememberedGeneration& written);

private:
    std::filesystem::path file_;
};

} // namespace kx
