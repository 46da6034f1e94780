#include "core/archive/run_lock.h"

#include "core/archive/archive_layout.h"
#include "core/platform/fs.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kx {

ArchiveRunLock::ArchiveRunLock(const std::string& root) {
    const std::string path = ArchiveLayout(root).runLock();
    fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd_) throw Unusable{true, path, fs::errnoText(errno)};
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        fd_.reset();
        if (err == EWOULDBLOCK) throw Busy{};
        throw Unusable{false, path, fs::errnoText(err)};
    }
}

ArchiveRunLock::~ArchiveRunLock() {
    if (fd_) ::flock(fd_.get(), LOCK_UN);
}

void ArchiveRunLock::recordHolder() {
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd_.get(), 0) == 0) {
        [[maybe_unused]] auto n = ::pwrite(fd_.get(), pid.data(), pid.size(), 0);
    }
}

} // namespace kx
