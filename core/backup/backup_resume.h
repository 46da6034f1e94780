#pragma once
// The resume file (backup_engine.h): unfinished uploads, objects to remove once
// a newer manifest no longer names them, and what a run stored in packs.
// Internal to the engine's files.
#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kx {

struct ResumeEntry {
    std::string destination, name, fingerprint, keyId, nonce, uploadId;
    uint64_t partSize = 0;
    std::map<int, std::string> parts;
};

struct CleanupEntry {
    std::string destination, name;
    bool operator==(const CleanupEntry&) const = default;
};

struct ResumeState {
    std::vector<ResumeEntry> uploads;
    std::vector<CleanupEntry> cleanup;
    nlohmann::json packs = nlohmann::json::array(); // as stored (backup_engine.h)
};

// The resume state at path; an empty one when there is none, or it is damaged
// (that only costs a fresh upload).
ResumeState loadResume(const std::optional<std::filesystem::path>& path);
void saveResume(const std::optional<std::filesystem::path>& path, const ResumeState& state);

// Every change of the resume file happens under one lock, re-reading the file
// first, so uploads running side by side keep each other's entries.
void changeResume(std::mutex& m, const std::optional<std::filesystem::path>& path,
                  const std::function<void(ResumeState&)>& fn);

} // namespace kx
