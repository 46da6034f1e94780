#include "core/backup/generation_memory.h"

#include "core/platform/fs.h"
#include "core/platform/json_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kx {

using nlohmann::json;

namespace backup_entries {

bool isFor(const json& e, const std::string& destination, const std::string& manifest) {
    return e.is_object() && e.value("destination", "") == destination && e.value("manifest", "") == manifest;
}

json load(const std::filesystem::path& file) {
    JsonLoad load = loadJsonFile(file);
    if (load.state != JsonLoad::State::loaded || !load.value.is_object()) return json::array();
    json backups = load.value.value("backups", json::array());
    return backups.is_array() ? backups : json::array();
}

void change(const std::filesystem::path& file, const std::function<void(json& entries)>& edit) {
    if (file.has_parent_path()) fs::createPrivateDirectories(file.parent_path());
    const std::string lockPath = file.string() + ".lock";
    const int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) ::flock(fd, LOCK_EX);
    struct Unlock {
        int fd;
        ~Unlock() {
            if (fd >= 0) ::close(fd);
        }
    } unlock{fd};
    json backups = load(file);
    edit(backups);
    saveJsonFile(file, json{{"backups", backups}});
}

} // namespace backup_entries

std::optional<RememberedGeneration> GenerationMemory::lastWritten(const std::string& destination,
                                                                  const std::string& manifest) const {
    for (const json& e : backup_entries::load(file_)) {
        if (!backup_entries::isFor(e, destination, manifest)) continue;
        const json& g = e.contains("generation") ? e.at("generation") : json();
        if (!g.is_number_unsigned()) return std::nullopt;
        return RememberedGeneration{g.get<uint64_t>(), e.value("createdAt", "")};
    }
    return std::nullopt;
}

void GenerationMemory::remember(const std::string& destination, const std::string& manifest,
                                const RememberedGeneration& written) {
    backup_entries::change(file_, [&](json& backups) {
        bool found = false;
        for (json& e : backups) {
            if (!backup_entries::isFor(e, destination, manifest)) continue;
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
    });
}

} // namespace kx
