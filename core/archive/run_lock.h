#pragma once
// The archive's run lock: an flock on the lock file in the archive root
// (ArchiveLayout::runLock), held by whatever writes to the archive (an archive
// run, a backup taking in what only the stored backup holds). The kernel
// releases it when the process ends in any way, so a killed writer never
// leaves a stale lock. The file is opened without following a link.
#include "core/platform/posix_file.h"

#include <string>

namespace kx {

class ArchiveRunLock {
public:
    // Takes the lock without waiting, or throws: Busy when another process
    // holds it, Unusable (with the system's reason) when the file cannot be
    // opened or locked. Each caller words its own sentence.
    explicit ArchiveRunLock(const std::string& root);
    ~ArchiveRunLock();
    ArchiveRunLock(const ArchiveRunLock&) = delete;
    ArchiveRunLock& operator=(const ArchiveRunLock&) = delete;

    struct Busy {};
    struct Unusable {
        bool opening;     // the lock file could not be opened (else it could not be locked)
        std::string path; // the lock file
        std::string reason;
    };

    // Leaves this process's id in the lock file, for a person looking at it.
    void recordHolder();

private:
    UniqueFd fd_;
};

} // namespace kx
