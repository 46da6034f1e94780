#include "core/backup/restore_staging.h"

#include "core/backup/destination.h"
#include "core/platform/fs.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace kx {

namespace stdfs = std::filesystem;

namespace {

constexpr const char* kMarker = ".restoring-";

bool isStagingName(const std::string& name) {
    return name.size() > 1 && name[0] == '.' && name.find(kMarker) != std::string::npos;
}

} // namespace

void requireEmptyRestoreTarget(const stdfs::path& targetFolder) {
    std::error_code ec;
    auto st = stdfs::symlink_status(targetFolder, ec);
    if (ec || !stdfs::exists(st)) return;
    if (!stdfs::is_directory(st))
        throw BackupError(targetFolder.string() + " is not a folder; restore into an empty folder");
    if (!stdfs::is_empty(targetFolder, ec) || ec)
        throw BackupError(targetFolder.string() + " is not empty; restore into an empty folder");
}

size_t sweepStaleRestores(const stdfs::path& folder) noexcept {
    size_t removed = 0;
    std::error_code ec;
    for (auto it = stdfs::directory_iterator(folder, ec); !ec && it != stdfs::directory_iterator(); it.increment(ec)) {
        if (!isStagingName(it->path().filename().string()) || !it->is_directory(ec) || it->is_symlink(ec)) continue;
        int fd = ::open(it->path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) { // no restore is writing it
            std::error_code rm;
            stdfs::remove_all(it->path(), rm);
            removed += rm ? 0 : 1;
        }
        ::close(fd);
    }
    return removed;
}

RestoreStaging::RestoreStaging(const stdfs::path& targetFolder) : target_(targetFolder) {
    stdfs::path parent = targetFolder.parent_path();
    fs::createPrivateDirectories(parent);
    sweepStaleRestores(parent);
    std::string name = (parent / ("." + targetFolder.filename().string() + kMarker + "XXXXXX")).string();
    if (!::mkdtemp(name.data()))
        throw Error("could not make a folder in " + parent.string() + " (" + fs::errnoText(errno) + ")");
    path_ = name;
    lockFd_ = ::open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX) != 0) {
        const int err = errno;
        std::error_code ec;
        stdfs::remove_all(path_, ec);
        if (lockFd_ >= 0) ::close(lockFd_);
        throw Error("could not lock the folder " + path_.string() + " (" + fs::errnoText(err) + ")");
    }
}

RestoreStaging::~RestoreStaging() {
    if (!placed_) {
        std::error_code ec;
        stdfs::remove_all(path_, ec);
    }
    if (lockFd_ >= 0) ::close(lockFd_);
}

void RestoreStaging::putInPlace() {
    requireEmptyRestoreTarget(target_);
    std::error_code ec;
    if (stdfs::exists(target_, ec)) stdfs::remove(target_, ec);
    if (::rename(path_.c_str(), target_.c_str()) != 0)
        throw Error("could not move the restored archive into " + target_.string() + " (" + fs::errnoText(errno) + ")");
    placed_ = true;
}

} // namespace kx
