#include "core/platform/fs.h"

#include "core/platform/error.h"
#include "core/platform/posix_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kx::fs {

std::string errnoText(int err) { return std::strerror(err); }

namespace {

// Writes bytes to a new temporary file beside path (same folder, so a rename or
// link can put it in place) and returns its name. Throws kx::Error and leaves
// nothing behind.
std::string writeTemporary(const stdfs::path& path, std::string_view bytes, unsigned mode, Durability durability) {
    AtomicFileWriter w(path, mode);
    w.write(bytes);
    return w.finishTemporary(durability);
}

constexpr std::size_t kWriteBuffer = 1 << 20;

} // namespace

AtomicFileWriter::AtomicFileWriter(const stdfs::path& path, unsigned mode) : path_(path) {
    const stdfs::path dir = path.parent_path();
    std::string tmpl = (dir / ("." + path.filename().string() + ".tmp-XXXXXX")).string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    UniqueFd fd(::mkstemp(name.data()));
    if (!fd) throw Error("could not create a file in " + dir.string() + ": " + errnoText(errno));
    tmp_ = name.data();
    if (::fchmod(fd.get(), mode) != 0) {
        const int err = errno;
        ::unlink(tmp_.c_str());
        throw Error("could not set permissions on " + path.string() + ": " + errnoText(err));
    }
    fd_ = fd.release();
}

AtomicFileWriter::~AtomicFileWriter() {
    if (fd_ >= 0) ::close(fd_);
    if (!tmp_.empty()) ::unlink(tmp_.c_str());
}

void AtomicFileWriter::drain() {
    if (fd_ < 0) throw Error("could not write " + path_.string() + ": the file is already finished");
    if (const int err = writeAll(fd_, buffer_))
        throw Error("could not write " + path_.string() + ": " + errnoText(err));
    buffer_.clear();
}

void AtomicFileWriter::write(std::string_view bytes) {
    if (buffer_.size() + bytes.size() > kWriteBuffer) {
        drain();
        if (bytes.size() >= kWriteBuffer) {
            if (const int err = writeAll(fd_, bytes))
                throw Error("could not write " + path_.string() + ": " + errnoText(err));
            return;
        }
    }
    buffer_.append(bytes);
}

std::string AtomicFileWriter::finishTemporary(Durability durability) {
    drain();
    std::string().swap(buffer_);
    if (durability == Durability::flushed && ::fsync(fd_) != 0)
        throw Error("could not write " + path_.string() + " to disk: " + errnoText(errno));
    UniqueFd fd(fd_);
    fd_ = -1;
    if (const int err = fd.close()) throw Error("could not write " + path_.string() + ": " + errnoText(err));
    return std::exchange(tmp_, std::string());
}

void AtomicFileWriter::commit(Durability durability) {
    const std::string tmp = finishTemporary(durability);
    if (::rename(tmp.c_str(), path_.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw Error("could not replace " + path_.string() + ": " + errnoText(err));
    }
    if (durability == Durability::flushed) syncDirectory(path_.parent_path().string());
}

void writeFileAtomic(const stdfs::path& path, std::string_view bytes, unsigned mode, Durability durability) {
    AtomicFileWriter w(path, mode);
    w.write(bytes);
    w.commit(durability);
}

bool createFileAtomic(const stdfs::path& path, std::string_view bytes, unsigned mode) {
    const std::string tmp = writeTemporary(path, bytes, mode, Durability::flushed);
    if (::link(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        if (err == EPERM || err == ENOTSUP || err == EOPNOTSUPP || err == EMLINK) {
            // File systems without hard links: fall back to a plain rename
            // after checking once that the name is still free.
            const bool taken = fs::exists(path);
            if (!taken && ::rename(tmp.c_str(), path.c_str()) != 0) {
                const int renameErr = errno;
                ::unlink(tmp.c_str());
                throw Error("could not create " + path.string() + ": " + errnoText(renameErr));
            }
            if (taken) ::unlink(tmp.c_str());
            else syncDirectory(path.parent_path().string());
            return !taken;
        }
        ::unlink(tmp.c_str());
        if (err == EEXIST) return false;
        throw Error("could not create " + path.string() + ": " + errnoText(err));
    }
    ::unlink(tmp.c_str());
    syncDirectory(path.parent_path().string());
    return true;
}

std::optional<std::string> readFileIfExists(const stdfs::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return std::nullopt;
        throw Error("could not open " + path.string() + ": " + errnoText(errno));
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) throw Error(path.string() + " is a folder, not a file");
    std::string out;
    if (const int err = readAll(fd.get(), out)) throw Error("could not read " + path.string() + ": " + errnoText(err));
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
