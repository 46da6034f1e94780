#pragma once
// Attachment bytes stored as content-addressed objects.
//
// Layout under an owner's "attachments" folder:
//   <root>/<k0k1>/<k2k3>/<key>      key = lowercase hex SHA-256 of the bytes (64 characters)
//   <root>/.incoming/               temporary files while an object is being written
// An object is written to a temporary file, flushed, and renamed into place, so an
// object file either holds all its bytes or does not exist. Objects are never
// changed or removed once written.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/platform/error.h"

namespace kx {

class AttachmentStore {
public:
    // Thrown when the store itself cannot be written (full disk, permissions);
    // a problem reading the SOURCE file is a plain kx::Error.
    struct WriteError : Error {
        using Error::Error;
    };

    // The folder below the root holding files still being written; never part of
    // the archive (a backup leaves it out).
    static constexpr const char* kIncomingFolder = ".incoming";

    explicit AttachmentStore(std::filesystem::path root);
    const std::filesystem::path& root() const { return root_; }

    // True for exactly 64 lowercase hexadecimal characters.
    static bool isValidKey(const std::string& key);

    // Where the object with this key lies (whether or not it exists). Throws
    // kx::Error for anything that is not a well-formed key.
    std::filesystem::path objectPath(const std::string& key) const;
    bool contains(const std::string& key) const;

    // Copies a file into the store and returns its key. The source is opened
    // without following a symlink and must be a regular file. An object that is
    // already stored is not written again.
    std::string put(const std::filesystem::path& source);
    // Stores bytes held in memory.
    std::string putBytes(const std::string& bytes);

    enum class Check { verified, missing, mismatch };
    // Re-hashes one stored object.
    Check verify(const std::string& key) const;

    // SHA-256 of a file, as a key; throws kx::Error when unreadable.
    static std::string hashFile(const std::filesystem::path& file);

private:
    std::filesystem::path root_;
};

} // namespace kx
