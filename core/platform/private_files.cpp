#include "core/platform/private_files.h"

#include "core/platform/fs.h"
#include "core/platform/posix_file.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace kx::fs {

namespace {

void narrowOpened(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (st.st_mode & 077) == 0) return;
    if (S_ISREG(st.st_mode)) ::fchmod(fd, kPrivateFileMode);
    else if (S_ISDIR(st.st_mode)) ::fchmod(fd, kPrivateDirMode);
}

} // namespace

void preparePrivateDatabase(const std::filesystem::path& path) {
    UniqueFd db(::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, kPrivateFileMode));
    if (!db) return;
    narrowOpened(db.get());
    for (const char* suffix : {"-wal", "-shm"}) narrowToPrivate(path.string() + suffix);
}

void narrowToPrivate(const std::filesystem::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (fd) narrowOpened(fd.get());
}

} // namespace kx::fs
