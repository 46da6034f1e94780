#include "core/backup/local_destination.h"

#include "core/backup/backup_engine.h"
#include "core/platform/fs.h"
#include "core/platform/posix_file.h"

#include <sodium.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace kx {

namespace stdfs = std::filesystem;

namespace {

// Writes go out in pieces small enough that what was sealed into them is still
// in the processor's cache when it is copied out (several times faster than
// megabytes at a time). Reads hand larger pieces on.
constexpr size_t kWriteBuffer = 128u << 10;
constexpr size_t kReadBuffer = 4u << 20;

std::string randomHex(size_t bytes) {
    std::vector<unsigned char> b(bytes);
    randombytes_buf(b.data(), b.size());
    std::string hex(bytes * 2 + 1, '\0');
    sodium_bin2hex(hex.data(), hex.size(), b.data(), b.size());
    hex.pop_back();
    return hex;
}

// Writes [offset, offset+size) produced by `produce` into fd at fileOffset.
int writeRange(int fd, uint64_t fileOffset, uint64_t offset, uint64_t size, const ByteProducer& produce) {
    const size_t bufSize = static_cast<size_t>(std::min<uint64_t>(kWriteBuffer, std::max<uint64_t>(size, 1)));
    const auto buf = std::make_unique_for_overwrite<unsigned char[]>(bufSize);
    uint64_t done = 0;
    while (done < size) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(bufSize, size - done));
        produce(offset + done, buf.get(), n);
        if (const int err = writeAllAt(fd, buf.get(), n, static_cast<off_t>(fileOffset + done))) return err;
        done += n;
    }
    return 0;
}

} // namespace

LocalDestination::LocalDestination(std::string id, std::string label, std::string caveat, std::string root)
    : id_(std::move(id)), label_(std::move(label)), caveat_(std::move(caveat)), root_(std::move(root)) {}

LocalDestination LocalDestination::volume(const std::string& root, const std::string& label) {
    return LocalDestination("local-volume", label,
                            "A drive kept next to this computer is lost with it in a fire or a theft. Keep one copy "
                            "somewhere else as well.",
                            root);
}

LocalDestination LocalDestination::syncedFolder(const std::string& root, const std::string& service) {
    std::string id;
    for (char c : service)
        id.push_back(c == ' ' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return LocalDestination(id + "-folder", service + " folder",
                            "A folder that " + service +
                                " uploads is only as safe as that account, and the upload happens when the " + service +
                                " app gets to it. Use it alongside an independent destination.",
                            root);
}

std::string LocalDestination::resumeIdentity() const {
    std::error_code ec;
    auto canon = stdfs::weakly_canonical(root_, ec);
    return "folder:" + (ec ? root_ : canon.string());
}

void LocalDestination::checkRoot() const {
    if (root_.empty()) throw BackupError("no folder was chosen for this destination");
    struct stat st {};
    if (::stat(root_.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            throw DestinationUnusable(
                "the folder " + root_ +
                " does not exist. Connect the drive or install and sign in to the sync app, then try "
                "again; Kelvara never creates this folder itself");
        throw BackupError("the folder " + root_ + " cannot be reached (" + fs::errnoText(errno) + ")");
    }
    if (!S_ISDIR(st.st_mode)) throw DestinationUnusable(root_ + " is not a folder");
}

void LocalDestination::ioFailure(const std::string& action, int err) const {
    if (err == ENOSPC || err == EDQUOT)
        throw BackupError("the destination folder " + root_ + " is full, so " + action +
                          " could not be written. Free some space there and back up again");
    if (err == EROFS) throw BackupError("the destination folder " + root_ + " is read-only");
    throw BackupError("could not write " + action + " in " + root_ + " (" + fs::errnoText(err) + ")");
}

stdfs::path LocalDestination::pathFor(const std::string& name, bool createParents) const {
    checkRemoteName(name, "object name");
    checkRoot();
    stdfs::path p = stdfs::path(root_) / name;
    if (createParents) {
        try {
            fs::createPrivateDirectories(p.parent_path());
        } catch (const Error& e) {
            if (!fs::isDirectory(p.parent_path())) {
                std::error_code ec;
                stdfs::create_directories(p.parent_path(), ec);
                if (ec) ioFailure("the folder for " + name, ec.value());
            }
        }
    }
    return p;
}

void LocalDestination::put(const std::string& name, uint64_t size, const ByteProducer& produce, ObjectClass,
                           const std::map<std::string, std::string>&) {
    stdfs::path target = pathFor(name, true);
    stdfs::path tmp = target;
    tmp += ".kxpart-" + randomHex(6);
    UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) ioFailure(name, errno);
    int err = 0;
    try {
        err = writeRange(fd.get(), 0, 0, size, produce);
    } catch (...) {
        fd.reset();
        ::unlink(tmp.c_str());
        throw;
    }
    bool replacing = fs::exists(target);
    if (!err && replacing && ::fdatasync(fd.get()) != 0) err = errno;
    if (!err && !replacing) ::sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE); // start writing it out now
    if (const int closeErr = fd.close(); closeErr && !err) err = closeErr;
    if (!err && ::rename(tmp.c_str(), target.c_str()) != 0) err = errno;
    if (!err) noteFile(target, !replacing);
    if (err) {
        ::unlink(tmp.c_str());
        ioFailure(name, err);
    }
}

std::optional<ObjectInfo> LocalDestination::head(const std::string& name) {
    stdfs::path p = pathFor(name, false);
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        throw BackupError("could not look at " + p.string() + " (" + fs::errnoText(errno) + ")");
    }
    if (!S_ISREG(st.st_mode)) return std::nullopt;
    ObjectInfo info;
    info.size = static_cast<uint64_t>(st.st_size);
    return info;
}

bool LocalDestination::get(const std::string& name, const ByteSink& sink) {
    stdfs::path p = pathFor(name, false);
    const UniqueFd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT || errno == ENOTDIR) return false;
        throw BackupError("could not read " + p.string() + " (" + fs::errnoText(errno) + ")");
    }
    const auto buf = std::make_unique_for_overwrite<unsigned char[]>(kReadBuffer);
    for (;;) {
        const ssize_t r = readSome(fd.get(), buf.get(), kReadBuffer);
        if (r < 0) throw BackupError("could not read " + p.string() + " (" + fs::errnoText(errno) + ")");
        if (r == 0) break;
        sink(buf.get(), static_cast<size_t>(r));
    }
    return true;
}

void LocalDestination::remove(const std::string& name) {
    stdfs::path p = pathFor(name, false);
    if (::unlink(p.c_str()) != 0 && errno != ENOENT)
        throw BackupError("could not remove " + p.string() + " (" + fs::errnoText(errno) + ")");
}

std::vector<std::pair<std::string, uint64_t>> LocalDestination::list(const std::string& prefix) {
    checkRoot();
    std::vector<std::pair<std::string, uint64_t>> out;
    // The prefix is a folder path ending in "/" or a name prefix within one.
    std::string dirPart = prefix.substr(0, prefix.rfind('/') == std::string::npos ? 0 : prefix.rfind('/'));
    if (!dirPart.empty()) checkRemoteName(dirPart, "prefix");
    stdfs::path dir = stdfs::path(root_) / dirPart;
    std::error_code ec;
    if (!stdfs::is_directory(dir, ec)) return out;
    auto it = stdfs::recursive_directory_iterator(dir, stdfs::directory_options::none, ec);
    if (ec) throw BackupError("could not list " + dir.string() + " (" + ec.message() + ")");
    for (; it != stdfs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) throw BackupError("could not list " + dir.string() + " (" + ec.message() + ")");
        std::string leaf = it->path().filename().string();
        if (!leaf.empty() && leaf[0] == '.') {
            if (it->is_directory()) it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file(ec) || it->is_symlink()) continue;
        if (leaf.find(".kxpart-") != std::string::npos) continue;
        std::string rel = stdfs::relative(it->path(), root_, ec).generic_string();
        if (rel.compare(0, prefix.size(), prefix) != 0) continue;
        out.emplace_back(rel, static_cast<uint64_t>(it->file_size(ec)));
    }
    std::sort(out.begin(), out.end());
    return out;
}

stdfs::path LocalDestination::partialPath(const std::string& name, const std::string& uploadId) const {
    stdfs::path target = pathFor(name, false);
    for (char c : uploadId)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.')
            throw UploadNotFound("the upload id is not valid");
    return target.parent_path() / ("." + target.filename().string() + "." + uploadId + ".partial");
}

std::string LocalDestination::beginUpload(const std::string& name, uint64_t partSize, ObjectClass,
                                          const std::map<std::string, std::string>&) {
    pathFor(name, true);
    std::string uploadId = randomHex(8) + "." + std::to_string(partSize);
    stdfs::path p = partialPath(name, uploadId);
    if (!UniqueFd(::open(p.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600))) ioFailure(name, errno);
    return uploadId;
}

std::string LocalDestination::uploadPart(const std::string& name, const std::string& uploadId, int partNumber,
                                         uint64_t offset, uint64_t size, const ByteProducer& produce) {
    stdfs::path p = partialPath(name, uploadId);
    UniqueFd fd(::open(p.c_str(), O_WRONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) throw UploadNotFound("the unfinished upload of " + name + " is no longer there");
        ioFailure(name, errno);
    }
    int err = writeRange(fd.get(), offset, offset, size, produce);
    if (!err) ::sync_file_range(fd.get(), static_cast<off_t>(offset), static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
    if (const int closeErr = fd.close(); closeErr && !err) err = closeErr;
    if (err) ioFailure(name, err);
    return "part-" + std::to_string(partNumber);
}

void LocalDestination::completeUpload(const std::string& name, const std::string& uploadId,
                                      const std::vector<std::pair<int, std::string>>&) {
    stdfs::path p = partialPath(name, uploadId);
    stdfs::path target = pathFor(name, true);
    UniqueFd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) throw UploadNotFound("the unfinished upload of " + name + " is no longer there");
        ioFailure(name, errno);
    }
    bool replacing = fs::exists(target);
    int err = replacing && ::fdatasync(fd.get()) != 0 ? errno : 0;
    if (!err && !replacing) ::sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    fd.reset();
    if (!err && ::rename(p.c_str(), target.c_str()) != 0) err = errno;
    if (!err) noteFile(target, !replacing);
    if (err) ioFailure(name, err);
}

void LocalDestination::noteFile(const stdfs::path& file, bool needsFlush) {
    std::lock_guard<std::mutex> lock(dirty_->mutex);
    dirty_->dirs.insert(file.parent_path().string());
    if (needsFlush) dirty_->files.insert(file.string());
}

void LocalDestination::flush() {
    checkRoot();
    std::set<std::string> dirs, files;
    {
        std::lock_guard<std::mutex> lock(dirty_->mutex);
        dirs.swap(dirty_->dirs);
        files.swap(dirty_->files);
    }
    // New files first (their writing started when each was stored), then the
    // folders that name them; several at a time so the disk sees one batch.
    auto syncAll = [&](const std::set<std::string>& paths, bool folders) {
        std::vector<std::string> list(paths.begin(), paths.end());
        parallelFor(list.size(), 8, [&](size_t i) {
            const UniqueFd fd(::open(list[i].c_str(), (folders ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC));
            if (!fd && errno == ENOENT && !folders) return; // removed since (a lease given back)
            if (!fd) ioFailure(list[i], errno);
            if ((folders ? ::fsync(fd.get()) : ::fdatasync(fd.get())) != 0) ioFailure(list[i], errno);
        });
    };
    syncAll(files, false);
    syncAll(dirs, true);
}

bool LocalDestination::updateControl(const std::string& name, const ControlChange& change) {
    stdfs::path target = pathFor(name, true);
    stdfs::path guard = target.parent_path() / ("." + target.filename().string() + ".guard");
    UniqueFd g(::open(guard.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!g) ioFailure(name, errno);
    while (::flock(g.get(), LOCK_EX) != 0)
        if (errno != EINTR) ioFailure(name, errno);
    // Held until g closes.
    return BackupDestination::updateControl(name, change);
}

size_t LocalDestination::sweepTemporaries(const std::string& folder, bool recursive,
                                          const std::set<std::string>& keepUploads) noexcept {
    size_t removed = 0;
    try {
        checkRemoteName(folder, "folder");
        const stdfs::path dir = stdfs::path(root_) / folder;
        auto sweep = [&](const stdfs::directory_entry& e) {
            std::error_code ec;
            if (!e.is_regular_file(ec) || e.is_symlink(ec)) return;
            const std::string leaf = e.path().filename().string();
            bool stale = leaf.find(".kxpart-") != std::string::npos;
            // ".<name>.<16 hex digits>.<part size>.partial"
            const std::string suffix = ".partial";
            if (!stale && leaf.size() > suffix.size() + 1 && leaf[0] == '.' &&
                leaf.compare(leaf.size() - suffix.size(), suffix.size(), suffix) == 0) {
                std::string rest = leaf.substr(0, leaf.size() - suffix.size());
                size_t sizeDot = rest.rfind('.');
                size_t idDot = sizeDot == std::string::npos || sizeDot == 0 ? std::string::npos
                                                                            : rest.rfind('.', sizeDot - 1);
                if (idDot != std::string::npos && idDot > 0) stale = keepUploads.count(rest.substr(idDot + 1)) == 0;
            }
            if (stale && ::unlink(e.path().c_str()) == 0) ++removed;
        };
        std::error_code ec;
        if (recursive) {
            for (auto it = stdfs::recursive_directory_iterator(dir, ec);
                 !ec && it != stdfs::recursive_directory_iterator(); it.increment(ec))
                sweep(*it);
        } else {
            for (auto it = stdfs::directory_iterator(dir, ec); !ec && it != stdfs::directory_iterator();
                 it.increment(ec))
                sweep(*it);
        }
    } catch (...) {
    }
    return removed;
}

void LocalDestination::abortUpload(const std::string& name, const std::string& uploadId) noexcept {
    try {
        ::unlink(partialPath(name, uploadId).c_str());
    } catch (...) {
    }
}

} // namespace kx
