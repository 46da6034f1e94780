#pragma once
// Where a restore writes before its archive is put in place, and what a killed
// restore leaves behind.
//
// A restore of <parent>/<name> writes into ".<name>.restoring-XXXXXX" in the same
// parent (so it can be renamed into place): a private folder (0700, files 0600)
// held with an advisory lock while the restore runs. A restore that is killed
// leaves decrypted data there; sweepStaleRestores removes every such folder
// whose lock nobody holds, and runs at the start of every restore and of every
// engine run on the archive root.
#include <cstddef>
#include <filesystem>

namespace kx {

// The refusal of a target that is not empty (or not a folder), before anything
// is read from a destination. Throws BackupError.
void requireEmptyRestoreTarget(const std::filesystem::path& targetFolder);

class RestoreStaging {
public:
    // Sweeps stale staging folders beside target, then makes and locks a new one.
    // Throws kx::Error.
    explicit RestoreStaging(const std::filesystem::path& targetFolder);
    // Removes the folder with everything in it unless it was put in place.
    ~RestoreStaging();
    RestoreStaging(const RestoreStaging&) = delete;
    RestoreStaging& operator=(const RestoreStaging&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Renames the finished folder to the target (which must be absent or an
    // empty folder). Throws kx::Error.
    void putInPlace();

private:
    std::filesystem::path target_, path_;
    int lockFd_ = -1;
    bool placed_ = false;
};

// Removes the staging folders of killed restores directly inside folder; returns
// how many. Never throws.
size_t sweepStaleRestores(const std::filesystem::path& folder) noexcept;

} // namespace kx
