#include "core/archive/tresk_stats.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace kx {

namespace {

std::string grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<size_t>(i), ",");
    return digits;
}

struct Walk {
    std::uint64_t bytes = 0;
    std::set<std::pair<dev_t, ino_t>> linked; // files with several names, counted once
    bool failed = false;

    // `dirFd` is an open folder; closes it.
    void folder(int dirFd) {
        DIR* dir = ::fdopendir(dirFd);
        if (!dir) {
            ::close(dirFd);
            failed = true;
            return;
        }
        errno = 0;
        while (dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            struct stat st {};
            if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT) continue; // removed while we walked
                failed = true;
                break;
            }
            if (S_ISDIR(st.st_mode)) {
                bytes += static_cast<std::uint64_t>(st.st_blocks) * 512;
                const int child = ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
                if (child < 0) {
                    if (errno == ENOENT) continue;
                    failed = true;
                    break;
                }
                folder(child);
                if (failed) break;
            } else {
                if (st.st_nlink > 1 && !linked.emplace(st.st_dev, st.st_ino).second) continue;
                bytes += static_cast<std::uint64_t>(st.st_blocks) * 512;
            }
            errno = 0;
        }
        if (errno != 0 && !failed) failed = true; // readdir itself failed
        ::closedir(dir);
    }
};

} // namespace

std::string byteCountText(std::uint64_t bytes) {
    if (bytes == 1) return "1 byte";
    if (bytes < 1000) return std::to_string(bytes) + " bytes";
    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes) / 1000.0;
    size_t unit = 0;
    while (value >= 999.995 && unit + 1 < std::size(units)) {
        value /= 1000.0;
        ++unit;
    }
    char buf[32];
    // Three significant figures at most: 1.41 GB, 14.1 GB, 141 GB.
    const int decimals = value < 10 ? 2 : value < 100 ? 1 : 0;
    std::snprintf(buf, sizeof buf, "%.*f %s", decimals, value, units[unit]);
    return buf;
}

std::string TreskStats::sizeDescription() const {
    if (!bytes) return "Could not be measured (the folder is missing or cannot be read)";
    std::string text = byteCountText(*bytes);
    if (messageCount && *messageCount > 0)
        text += ", about " + grouped(*bytes / static_cast<std::uint64_t>(*messageCount)) + " bytes a message";
    return text;
}

std::optional<std::uint64_t> TreskStatsReader::directoryBytes(const std::string& path) {
    if (path.empty()) return std::nullopt;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    Walk walk;
    walk.folder(fd);
    if (walk.failed) return std::nullopt;
    return walk.bytes;
}

} // namespace kx
