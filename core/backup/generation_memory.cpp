#include "core/backup/generation_memory.h"

#include "core/platform/fs.h"
#include "core/platform/json_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kx {

using nlohmann::json;

namespace {

bool sameBackup(const json& e, const std::string& destination, const std::string& manifest) {
    return e.is_object() && e.value("destination", "") == destination && e.value("manifest", "") == manifest;
}

json loadBackups(const std::filesystem::path& file) {
    JsonLoad load = loadJsonFile(file);
    if (load.state != JsonLoad::State::loaded || !load.value.is_object()) return json::array();
    json backups = load.value.value("backups", json::array());
    return backups.is_array() ? backups : json::array();
}

} // namespace

std::optional<RememberedGeneration> GenerationMemory::lastWritten(const std::string& destination,
                                                                  const std::string& manifest) const {
    for (const json& e : loadBackups(file_)) {
        if (!sameBackup(e, destination, manifest)) continue;
        const json& g = e.contains("generation") ? e.at("generation") : json();
        if (!g.is_number_unsigned()) return std::nullopt;
        return RememberedGeneration{g.get<uint64_t>(), e.value("createdAt", "")};
    }
    return std::nullopt;
}

void GenerationMemory::remember(const std::string& destination, const std::string& manifest,
                                const RememberedGeneration& written) {
    // Backups to different destinations may finish side by side in separate
    // processes: each change of the file is made under a lock beside it.
    if (file_.has_parent_path()) fs::createPrivateDirectories(file_.parent_path());
    const std::string lockPath = file_.string() + ".lock";
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) ::flock(fd, LOCK_EX);
    struct Unlock {
        int fd;
        ~Unlock() {
            if (fd >= 0) ::close(fd);
        }
    } unlock{fd};
    json backups = loadBackups(file_);
    bool found = false;
    for (json& e : backups) {
        if (!sameBackup(e, destination, manifest)) continue;
        found = true;
        if (e.value("generation", uint64_t(0)) < written.generation) {
            e["generation"] = written.generation;
            e["createdAt"] = written.createdAt;
        }
    }
    if (!found)
        backups.push_back({{"destination", destination},
                           {"manifest", manifest},
                           {"generation", written.generation},
                           {"createdAt", written.createdAt}});
    saveJsonFile(file_, json{{"backups", backups}});
}

} // namespace kx
