#include "core/archive/snapshot.h"

#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/posix_file.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kx {

namespace stdfs = std::filesystem;

namespace {

struct FileState {
    bool exists = false;
    off_t size = 0;
    struct timespec mtime {};
    bool operator==(const FileState& o) const {
        return exists == o.exists && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

FileState stateOf(const stdfs::path& p) {
    FileState s;
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) {
        s.exists = true;
        s.size = st.st_size;
        s.mtime = st.st_mtim;
    }
    return s;
}

// How one file's bytes reach the copy, cheapest first: a copy-on-write clone
// (FICLONE: no data is copied on file systems that share extents, such as
// Btrfs and XFS), then copy_file_range (the kernel copies without a trip
// through this process, and some file systems share extents here too), then
// plain reads and writes. Whichever is used, the copy holds exactly the bytes
// the file had; consistency with the -wal is checked by the caller.

// Copies what is left of `in` from `done` with copy_file_range. Returns true
// when the copy reached the end of the file, false when the kernel cannot do
// it for these files (then nothing more was written and the caller goes on with
// plain reads from `done`). Throws on a real read or write failure.
bool kernelCopy(int in, int out, off_t& done, const stdfs::path& from) {
    for (;;) {
        off_t inOff = done, outOff = done;
        const ssize_t n = ::copy_file_range(in, &inOff, out, &outOff, std::size_t{1} << 30, 0);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n == 0) return true;
        if (errno == EINTR) continue;
        if (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP || errno == EPERM ||
            errno == ETXTBSY)
            return false;
        throw Error("could not make a private copy of " + from.string() + ": " + fs::errnoText(errno));
    }
}

// Copies one file (no locks taken, nothing written beside the source). Throws
// kx::Error. A companion file (-wal, -shm) may vanish between looking and
// copying when the writer closes: then it returns false.
bool copyFile(const stdfs::path& from, const stdfs::path& to, bool mayVanish = false) {
    UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOATIME));
    if (!in && errno == EPERM) // O_NOATIME is refused for files we do not own
        in.reset(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!in) {
        const int err = errno;
        if (err == ENOENT && mayVanish) return false;
        if (err == ELOOP) throw Error(from.string() + " is a symbolic link, which Kelvara does not follow");
        throw Error("could not open " + from.string() + ": " + fs::errnoText(err));
    }
    struct stat st {};
    if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) throw Error(from.string() + " is not a regular file");
    UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!out) throw Error("could not make a private copy of " + from.string() + ": " + fs::errnoText(errno));
    off_t done = 0;
    if (::ioctl(out.get(), FICLONE, in.get()) != 0) {
        if (!kernelCopy(in.get(), out.get(), done, from)) {
            std::vector<char> buf(1 << 20);
            for (;;) {
                std::size_t got = 0;
                if (const int err = readAllAt(in.get(), buf.data(), buf.size(), done, got))
                    throw Error("could not read " + from.string() + ": " + fs::errnoText(err));
                if (got == 0) break;
                if (const int err = writeAllAt(out.get(), buf.data(), got, done))
                    throw Error("could not make a private copy of " + from.string() + ": " + fs::errnoText(err));
                done += static_cast<off_t>(got);
            }
        }
    }
    if (const int err = out.close())
        throw Error("could not make a private copy of " + from.string() + ": " + fs::errnoText(err));
    return true;
}

} // namespace

namespace {

std::string describeState(const struct stat& st) {
    return std::to_string(st.st_ino) + "." + std::to_string(st.st_size) + "." +
           std::to_string(static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec);
}

stdfs::path walOf(const DatabaseSnapshot::Files& files) {
    return files.wal ? *files.wal : stdfs::path(files.main.string() + "-wal");
}

} // namespace

std::string DatabaseSnapshot::fingerprintOf(const Files& files) {
    struct stat st {};
    if (::stat(files.main.c_str(), &st) != 0) return {};
    std::string fp = describeState(st) + "/";
    struct stat w {};
    fp += ::stat(walOf(files).c_str(), &w) == 0 ? describeState(w) : "-";
    return fp;
}

stdfs::path DatabaseSnapshot::temporaryBase() {
    stdfs::path cache;
    if (const char* x = std::getenv("XDG_CACHE_HOME"); x && *x == '/') cache = x;
    else if (const char* h = std::getenv("HOME"); h && *h == '/') cache = stdfs::path(h) / ".cache";
    if (!cache.empty()) {
        const stdfs::path base = cache / "Kelvara" / "snapshots";
        try {
            fs::createPrivateDirectories(base);
            return base;
        } catch (const Error&) {
            // fall through to the temporary folder
        }
    }
    const char* t = std::getenv("TMPDIR");
    if (t && *t) return t;
    return "/tmp";
}

void DatabaseSnapshot::removeAbandoned(const stdfs::path& base) {
    std::error_code ec;
    for (auto it = stdfs::directory_iterator(base, ec); !ec && it != stdfs::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        const std::size_t dash = name.find('-');
        if (dash == std::string::npos || dash == 0) continue;
        char* end = nullptr;
        const long pid = std::strtol(name.c_str(), &end, 10);
        if (end != name.c_str() + dash || pid <= 0) continue;
        if (::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue; // still running (or not ours to judge)
        std::error_code rm;
        stdfs::remove_all(it->path(), rm);
    }
}

DatabaseSnapshot::DatabaseSnapshot(const stdfs::path& main) {
    Files f;
    f.main = main;
    make(f);
}

DatabaseSnapshot::DatabaseSnapshot(const Files& files) { make(files); }

void DatabaseSnapshot::make(const Files& files) {
    struct stat st {};
    if (::stat(files.main.c_str(), &st) != 0) {
        const int err = errno;
        if (err == ENOENT) throw Error("the database " + files.main.string() + " does not exist");
        throw Error("could not read " + files.main.string() + ": " + fs::errnoText(err));
    }
    if (!S_ISREG(st.st_mode)) throw Error(files.main.string() + " is not a database file");

    const stdfs::path base = temporaryBase();
    // Only our own snapshots folder is cleaned; in a shared temporary folder the
    // name says whose it is and nothing else is touched.
    const bool own = base.filename() == "snapshots" && base.parent_path().filename() == "Kelvara";
    if (own) removeAbandoned(base);
    std::string tmpl = (base / ((own ? "" : "kelvara-snapshot-") + std::to_string(::getpid()) + "-XXXXXX")).string();
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) == nullptr)
        throw Error("could not make a private folder for reading " + files.main.string() + ": " + fs::errnoText(errno));
    folder_ = name.data();

    const std::string copyName = files.baseName.empty() ? files.main.filename().string() : files.baseName;
    copy_ = folder_ / copyName;
    const stdfs::path wal = files.wal ? *files.wal : stdfs::path(files.main.string() + "-wal");
    const stdfs::path shm = files.shm ? *files.shm : stdfs::path(files.main.string() + "-shm");
    const stdfs::path copyWal = copy_.string() + "-wal";
    const stdfs::path copyShm = copy_.string() + "-shm";

    try {
        constexpr int kAttempts = 5;
        for (int attempt = 1;; ++attempt) {
            const FileState before[3] = {stateOf(files.main), stateOf(wal), stateOf(shm)};
            const std::string fingerprint = fingerprintOf(files);
            std::error_code ec;
            stdfs::remove(copy_, ec);
            stdfs::remove(copyWal, ec);
            stdfs::remove(copyShm, ec);
            copyFile(files.main, copy_);
            bool walCopied = before[1].exists && copyFile(wal, copyWal, true);
            // The -shm is copied only alongside a -wal; on its own it means nothing.
            if (walCopied && before[2].exists) copyFile(shm, copyShm, true);
            const FileState after[3] = {stateOf(files.main), stateOf(wal), stateOf(shm)};
            // The -shm changes on every read by others; only the database and its
            // -wal have to hold still for the copy to be consistent.
            if ((before[0] == after[0] && before[1] == after[1]) || attempt == kAttempts) {
                // A copy taken while the files kept changing gets no fingerprint,
                // so the next run copies again rather than trusting it.
                fingerprint_ = before[0] == after[0] && before[1] == after[1] ? fingerprint : std::string();
                break;
            }
            ::usleep(static_cast<useconds_t>(50000 * attempt));
        }
    } catch (...) {
        std::error_code ec;
        stdfs::remove_all(folder_, ec);
        throw;
    }

    const int rc = sqlite3_open_v2(copy_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        std::string why = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        std::error_code ec;
        stdfs::remove_all(folder_, ec);
        throw Error("could not open the copy of " + files.main.string() + ": " + why);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, 2000);
    // Touch the schema now so a file that is not a database fails here, with a
    // clear reason, instead of at the first query.
    char* err = nullptr;
    if (sqlite3_exec(db_, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, &err) != SQLITE_OK) {
        std::string why = err ? err : "unknown error";
        sqlite3_free(err);
        sqlite3_close(db_);
        db_ = nullptr;
        std::error_code ec;
        stdfs::remove_all(folder_, ec);
        throw Error(files.main.string() + " is damaged or is not a database (" + why + ")");
    }
}

DatabaseSnapshot::~DatabaseSnapshot() {
    if (db_) sqlite3_close(db_);
    if (!folder_.empty()) {
        std::error_code ec;
        stdfs::remove_all(folder_, ec);
    }
}

} // namespace kx
