#pragma once
// The POSIX file toolkit every core area uses: one owner for file descriptors,
// and reads and writes that carry on after an interrupted call (EINTR) and a
// short transfer. Failures come back as the errno value (0 for success), so
// each caller words its own sentence.
#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kx {

// Owns one file descriptor and closes it when it goes. Move-only.
class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() noexcept;
    // Closes the descriptor held (if any) and takes fd.
    void reset(int fd = -1) noexcept;
    // Closes now and says how it went: 0, or the errno of a failed close (which
    // can report a write that never reached the disk). Empty afterwards either way.
    int close() noexcept;

private:
    int fd_ = -1;
};

// Writes every byte. Returns 0 or the errno of the failure.
int writeAll(int fd, const void* data, std::size_t size) noexcept;
inline int writeAll(int fd, std::string_view bytes) noexcept { return writeAll(fd, bytes.data(), bytes.size()); }
// The same at a file offset (pwrite); the file position does not move.
int writeAllAt(int fd, const void* data, std::size_t size, off_t offset) noexcept;

// One read: the bytes read (0 at the end of the file), or -1 with errno set.
// Interrupted calls are retried.
ssize_t readSome(int fd, void* buffer, std::size_t size) noexcept;
// Reads until size bytes or the end of the file, from a file offset (pread).
// Returns 0 or the errno; `got` says how many bytes arrived.
int readAllAt(int fd, void* buffer, std::size_t size, off_t offset, std::size_t& got) noexcept;
// Appends everything up to the end of the file to out. Returns 0 or the errno.
int readAll(int fd, std::string& out) noexcept;

// Flushes a folder's entries to disk (after a rename or link into it); a folder
// that cannot be opened is left alone.
void syncDirectory(const std::string& folder) noexcept;

} // namespace kx
