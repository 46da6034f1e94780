#include "core/platform/posix_file.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace kx {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int UniqueFd::release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0 && fd_ != fd) ::close(fd_);
    fd_ = fd;
}

int UniqueFd::close() noexcept {
    if (fd_ < 0) return 0;
    // The descriptor is released even when close fails (Linux), so never retry it.
    const int result = ::close(release());
    return result == 0 ? 0 : errno;
}

int writeAll(int fd, const void* data, std::size_t size) noexcept {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

int writeAllAt(int fd, const void* data, std::size_t size, off_t offset) noexcept {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, p, size, offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        offset += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

ssize_t readSome(int fd, void* buffer, std::size_t size) noexcept {
    for (;;) {
        const ssize_t n = ::read(fd, buffer, size);
        if (n >= 0 || errno != EINTR) return n;
    }
}

int readAllAt(int fd, void* buffer, std::size_t size, off_t offset, std::size_t& got) noexcept {
    char* p = static_cast<char*>(buffer);
    got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, p + got, size - got, offset + static_cast<off_t>(got));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return 0;
}

int readAll(int fd, std::string& out) noexcept {
    char buf[65536];
    for (;;) {
        const ssize_t n = readSome(fd, buf, sizeof buf);
        if (n < 0) return errno;
        if (n == 0) return 0;
        try {
            out.append(buf, static_cast<std::size_t>(n));
        } catch (...) {
            return ENOMEM;
        }
    }
}

void syncDirectory(const std::string& folder) noexcept {
    UniqueFd fd(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) ::fsync(fd.get());
}

} // namespace kx
