#include "core/platform/bounded_read.h"

#include "core/platform/posix_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kx::fs {

BoundedRead readRegularFileAtMost(const std::string& path, std::size_t maxBytes) {
    BoundedRead r;
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        r.error = errno;
        r.failure = r.error == ELOOP ? BoundedRead::Failure::isLink : BoundedRead::Failure::cannotOpen;
        return r;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        r.failure = BoundedRead::Failure::notRegular;
        return r;
    }
    if (static_cast<std::size_t>(st.st_size) > maxBytes) {
        r.failure = BoundedRead::Failure::tooLarge;
        return r;
    }
    r.bytes.reserve(static_cast<std::size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        const ssize_t n = readSome(fd.get(), buf, sizeof buf);
        if (n < 0) {
            r.error = errno;
            r.failure = BoundedRead::Failure::cannotRead;
            r.bytes.clear();
            return r;
        }
        if (n == 0) break;
        r.bytes.append(buf, static_cast<std::size_t>(n));
        // The file may have grown since it was measured.
        if (r.bytes.size() > maxBytes) {
            r.failure = BoundedRead::Failure::tooLarge;
            r.bytes.clear();
            return r;
        }
    }
    return r;
}

} // namespace kx::fs
