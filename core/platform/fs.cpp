#include "core/platform/fs.h"

#include "core/platform/error.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kx::fs {

std::string errnoText(int err) { return std::strerror(err); }

namespace {

void writeAllBytes(int fd, std::string_view bytes, const stdfs::path& shown) {
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error("could not write " + shown.string() + ": " + errnoText(errno));
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void syncDirectory(const stdfs::path& dir) {
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

void writeFileAtomic(const stdfs::path& path, std::string_view bytes, unsigned mode) {
    const stdfs::path dir = path.parent_path();
    std::string tmpl = (dir / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) throw Error("could not create a file in " + dir.string() + ": " + errnoText(errno));
    const std::string tmp(name.data());
    try {
        if (::fchmod(fd, mode) != 0) throw Error("could not set permissions on " + path.string() + ": " + errnoText(errno));
        writeAllBytes(fd, bytes, path);
        if (::fsync(fd) != 0) throw Error("could not write " + path.string() + " to disk: " + errnoText(errno));
        if (::close(fd) != 0) {
            const int err = errno;
            ::unlink(tmp.c_str());
            throw Error("could not write " + path.string() + ": " + errnoText(err));
        }
    } catch (...) {
        ::close(fd);
        ::unlink(tmp.c_str());
        throw;
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw Error("could not replace " + path.string() + ": " + errnoText(err));
    }
    syncDirectory(dir);
}

std::optional<std::string> readFileIfExists(const stdfs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        throw Error("could not open " + path.string() + ": " + errnoText(errno));
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw Error(path.string() + " is a folder, not a file");
    }
    std::string out;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            throw Error("could not read " + path.string() + ": " + errnoText(err));
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

std::string readFile(const stdfs::path& path) {
    auto bytes = readFileIfExists(path);
    if (!bytes) throw Error(path.string() + " does not exist");
    return *bytes;
}

void createPrivateDirectories(const stdfs::path& path) {
    if (path.empty()) return;
    std::error_code ec;
    if (stdfs::is_directory(path, ec)) return;
    createPrivateDirectories(path.parent_path() == path ? stdfs::path() : path.parent_path());
    if (::mkdir(path.c_str(), kPrivateDirMode) != 0 && errno != EEXIST)
        throw Error("could not create the folder " + path.string() + ": " + errnoText(errno));
    if (!stdfs::is_directory(path, ec)) throw Error(path.string() + " exists but is not a folder");
}

bool exists(const stdfs::path& path) {
    std::error_code ec;
    return stdfs::exists(stdfs::symlink_status(path, ec));
}

bool isDirectory(const stdfs::path& path) {
    std::error_code ec;
    return stdfs::is_directory(path, ec);
}

bool isRegularFile(const stdfs::path& path) {
    std::error_code ec;
    return stdfs::is_regular_file(path, ec);
}

std::string appendComponent(const std::string& base, const std::string& component) {
    if (base.empty()) return component;
    if (base.back() == '/') return base + component;
    return base + "/" + component;
}

} // namespace kx::fs
