#pragma once
// What the engine's files share: the backup run (backup_run.cpp), the restore
// (backup_restore.cpp) and the resumable upload (backup_resume.cpp) read and
// open stored objects alike, and find where a manifest entry says its object
// is. backup_objects.cpp also holds the engine's own access to stored objects
// (reading, checking, the manifest in place). Internal to the engine's files.
#include "core/backup/backup_engine.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace kx {

std::optional<StreamNonce> nonceFromHex(const std::string& hex);

// The first `limit` bytes of a stored object (all of it when it is shorter);
// none when there is no such object.
std::optional<std::string> readHead(BackupDestination& dest, const std::string& name, uint64_t limit);

// The hash of what a manifest entry's object holds once opened: its compressed
// bytes when it is stored compressed, else the file's own.
std::string storedContentSha(const nlohmann::json& entry);

// A manifest entry of an object stored inside a pack names the pack and where in it.
inline constexpr const char* kPackField = "pack";
inline constexpr const char* kOffsetField = "offset";

// Opens the sealed object that `bytes` streams under name and size without
// keeping its plaintext: its nonce (hex) when every byte came, it opened and
// (sha not empty) its plaintext hashes to sha; nothing otherwise.
std::optional<std::string> openedNonce(const TreskCrypto& crypto, const std::string& name, uint64_t sealedSize,
                                       const std::string& sha, const std::function<bool(const ByteSink&)>& bytes);

// A stored object the manifest names is not at the destination.
class MissingObject : public BackupError {
public:
    using BackupError::BackupError;
};

// Downloads and opens one object into a file, returning the plaintext hash.
// A compressed object (compression.h) is decompressed on the way; storedSha
// then gets the hash of its compressed bytes. source, when given, streams the
// sealed bytes (false: not there) instead of the object stored under name.
std::string restoreObject(BackupDestination& dest, const TreskCrypto& crypto, const std::string& name,
                          uint64_t sealedSize, const std::filesystem::path& target, StreamNonce* nonceOut,
                          const std::function<void()>& otherCopy, bool askSize, bool compressed = false,
                          std::string* storedSha = nullptr, const std::function<bool(const ByteSink&)>& source = {});

// "generation <n>, made <at>" (without the latter when at is empty).
std::string generationText(uint64_t generation, const std::string& at);

} // namespace kx
