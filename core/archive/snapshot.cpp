#include "core/archive/snapshot.h"

#include "core/archive/wrapping_vfs.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/posix_file.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <map>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kx {

namespace stdfs = std::filesystem;

namespace {

struct FileState {
    bool exists = false;
    ino_t inode = 0;
    off_t size = 0;
    struct timespec mtime {};
    bool operator==(const FileState& o) const {
        return exists == o.exists && inode == o.inode && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

FileState stateOf(const stdfs::path& p) {
    FileState s;
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) {
        s.exists = true;
        s.inode = st.st_ino;
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

// Opens a database file to take its bytes: read only, no locks, the access
// time left alone where the system allows.
UniqueFd openSource(const stdfs::path& from) {
    UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOATIME));
    if (!in && errno == EPERM) // O_NOATIME is refused for files we do not own
        in.reset(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    return in;
}

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
    UniqueFd in = openSource(from);
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

stdfs::path DatabaseSnapshot::makePrivateFolder(const std::string& sharedPrefix) {
    const stdfs::path base = temporaryBase();
    // Only our own snapshots folder is cleaned; in a shared temporary folder the
    // name says whose it is and nothing else is touched.
    const bool own = base.filename() == "snapshots" && base.parent_path().filename() == "Kelvara";
    if (own) removeAbandoned(base);
    std::string name = (base / ((own ? "" : sharedPrefix) + std::to_string(::getpid()) + "-XXXXXX")).string();
    if (::mkdtemp(name.data()) == nullptr) throw Error(fs::errnoText(errno));
    return name;
}

// ---- On-demand snapshots -------------------------------------------------

// The database file of an on-demand snapshot: its size and state when the
// snapshot began, and which parts of it the copy holds. A part comes into the
// copy only when SQLite writes to it (a checkpoint of the copied -wal, an index
// the reader adds); every other read goes to the database itself.
struct DatabaseSnapshot::OnDemand {
    static constexpr off_t kPart = 64 * 1024; // a multiple of every page size, so no page spans two parts
    UniqueFd source;
    stdfs::path path;
    FileState start;
    bool opened = false;              // the copy was opened through the VFS below
    std::vector<unsigned char> taken; // per part: in the copy (or beyond the source's end)
    std::atomic<bool> moved{false};
    // The parts of the database read last: SQLite reads a part's pages one by
    // one, so a part is read whole once and its pages are answered from here.
    struct Recent {
        std::size_t part = SIZE_MAX;
        std::uint64_t used = 0; // when it was last read from: the least recent one makes room
        std::vector<char> bytes;
    };
    std::array<Recent, 8> recent;
    std::uint64_t reads = 0;

    bool holdsStill() const {
        struct stat st {};
        if (::fstat(source.get(), &st) != 0) return false;
        return st.st_size == start.size && st.st_mtim.tv_sec == start.mtime.tv_sec &&
               st.st_mtim.tv_nsec == start.mtime.tv_nsec;
    }

    // The part as the database held it when the snapshot began, or null once
    // the database is seen to have changed (the snapshot then has moved).
    const Recent* read(std::size_t part) {
        ++reads;
        for (auto& r : recent)
            if (r.part == part) {
                r.used = reads;
                return &r;
            }
        if (moved.load()) return nullptr;
        auto& slot = *std::min_element(recent.begin(), recent.end(),
                                       [](const Recent& a, const Recent& b) { return a.used < b.used; });
        slot.part = SIZE_MAX;
        slot.used = reads;
        const off_t at = static_cast<off_t>(part) * kPart;
        const auto want = static_cast<std::size_t>(std::min<off_t>(kPart, start.size - at));
        slot.bytes.resize(want);
        std::size_t got = 0;
        // Checked after reading: bytes read while the file held still are the snapshot's.
        if (readAllAt(source.get(), slot.bytes.data(), want, at, got) != 0 || got != want || !holdsStill()) {
            moved.store(true);
            return nullptr;
        }
        slot.part = part;
        return &slot;
    }
};

namespace {

using OnDemand = DatabaseSnapshot::OnDemand;

// Copies of databases opened by an on-demand snapshot, by their full path.
std::mutex onDemandMutex;
std::map<std::string, OnDemand*> onDemandFiles;

// One open copy: SQLite's own file for it (right behind this struct), and the
// source its parts come from.
struct OnDemandFile {
    sqlite3_file base;
    sqlite3_file* real;
    OnDemand* state;
};

sqlite3_vfs onDemandVfs;

sqlite3_file* realOf(sqlite3_file* f) { return reinterpret_cast<OnDemandFile*>(f)->real; }

// Brings the parts of [offset, offset + amount) that are not in the copy yet
// from the source, each checked to come from the state the snapshot began with.
int takeParts(OnDemandFile* f, sqlite3_int64 offset, sqlite3_int64 amount) {
    OnDemand& d = *f->state;
    if (amount <= 0) return SQLITE_OK;
    const auto first = static_cast<std::size_t>(offset / OnDemand::kPart);
    const auto last = static_cast<std::size_t>((offset + amount - 1) / OnDemand::kPart);
    for (std::size_t part = first; part <= last && part < d.taken.size(); ++part) {
        if (d.taken[part]) continue;
        const OnDemand::Recent* bytes = d.read(part);
        if (!bytes) return SQLITE_IOERR_READ;
        const int rc = f->real->pMethods->xWrite(f->real, bytes->bytes.data(), static_cast<int>(bytes->bytes.size()),
                                                 static_cast<sqlite3_int64>(part) * OnDemand::kPart);
        if (rc != SQLITE_OK) return rc;
        d.taken[part] = 1;
    }
    return SQLITE_OK;
}

int odClose(sqlite3_file* f) {
    sqlite3_file* real = realOf(f);
    const int rc = real->pMethods ? real->pMethods->xClose(real) : SQLITE_OK;
    f->pMethods = nullptr;
    return rc;
}
int odRead(sqlite3_file* f, void* buf, int amount, sqlite3_int64 offset) {
    auto* file = reinterpret_cast<OnDemandFile*>(f);
    OnDemand& d = *file->state;
    if (amount > 0) {
        // A read inside one part the copy does not hold comes from the database.
        const auto part = static_cast<std::size_t>(offset / OnDemand::kPart);
        const auto within = static_cast<std::size_t>(offset - static_cast<sqlite3_int64>(part) * OnDemand::kPart);
        if (part < d.taken.size() && !d.taken[part] && within + static_cast<std::size_t>(amount) <= OnDemand::kPart) {
            const OnDemand::Recent* bytes = d.read(part);
            if (!bytes) return SQLITE_IOERR_READ;
            if (within + static_cast<std::size_t>(amount) <= bytes->bytes.size()) {
                std::memcpy(buf, bytes->bytes.data() + within, static_cast<std::size_t>(amount));
                return SQLITE_OK;
            }
        }
    }
    // Anything else (a read past the end, across parts, of parts written to) from the copy.
    if (const int rc = takeParts(file, offset, amount); rc != SQLITE_OK) return rc;
    return realOf(f)->pMethods->xRead(realOf(f), buf, amount, offset);
}
int odWrite(sqlite3_file* f, const void* buf, int amount, sqlite3_int64 offset) {
    // The rest of a part written in part must hold the source's bytes.
    if (const int rc = takeParts(reinterpret_cast<OnDemandFile*>(f), offset, amount); rc != SQLITE_OK) return rc;
    return realOf(f)->pMethods->xWrite(realOf(f), buf, amount, offset);
}
int odTruncate(sqlite3_file* f, sqlite3_int64 size) {
    // Parts past the new end read as the copy has them (zeros once it grows again).
    auto& d = *reinterpret_cast<OnDemandFile*>(f)->state;
    for (std::size_t part = static_cast<std::size_t>(size / OnDemand::kPart); part < d.taken.size(); ++part) {
        if (static_cast<off_t>(part) * OnDemand::kPart < size) {
            if (const int rc = takeParts(reinterpret_cast<OnDemandFile*>(f), size - 1, 1); rc != SQLITE_OK) return rc;
        } else {
            d.taken[part] = 1;
        }
    }
    return realOf(f)->pMethods->xTruncate(realOf(f), size);
}
int odSync(sqlite3_file* f, int flags) { return realOf(f)->pMethods->xSync(realOf(f), flags); }
int odFileSize(sqlite3_file* f, sqlite3_int64* size) { return realOf(f)->pMethods->xFileSize(realOf(f), size); }
int odLock(sqlite3_file* f, int level) { return realOf(f)->pMethods->xLock(realOf(f), level); }
int odUnlock(sqlite3_file* f, int level) { return realOf(f)->pMethods->xUnlock(realOf(f), level); }
int odCheckReserved(sqlite3_file* f, int* out) { return realOf(f)->pMethods->xCheckReservedLock(realOf(f), out); }
int odFileControl(sqlite3_file* f, int op, void* arg) { return realOf(f)->pMethods->xFileControl(realOf(f), op, arg); }
int odSectorSize(sqlite3_file* f) { return realOf(f)->pMethods->xSectorSize(realOf(f)); }
int odDevice(sqlite3_file* f) { return realOf(f)->pMethods->xDeviceCharacteristics(realOf(f)); }
int odShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
    return realOf(f)->pMethods->xShmMap(realOf(f), region, size, extend, out);
}
int odShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return realOf(f)->pMethods->xShmLock(realOf(f), offset, n, flags);
}
void odShmBarrier(sqlite3_file* f) { realOf(f)->pMethods->xShmBarrier(realOf(f)); }
int odShmUnmap(sqlite3_file* f, int deleteFlag) { return realOf(f)->pMethods->xShmUnmap(realOf(f), deleteFlag); }
// No memory mapping: every page must pass through odRead.
int odFetch(sqlite3_file*, sqlite3_int64, int, void** out) {
    *out = nullptr;
    return SQLITE_OK;
}
int odUnfetch(sqlite3_file*, sqlite3_int64, void*) { return SQLITE_OK; }

const sqlite3_io_methods onDemandMethods{3,          odClose,  odRead,    odWrite,         odTruncate,    odSync,
                                         odFileSize, odLock,   odUnlock,  odCheckReserved, odFileControl, odSectorSize,
                                         odDevice,   odShmMap, odShmLock, odShmBarrier,    odShmUnmap,    odFetch,
                                         odUnfetch};

int odOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    auto* parent = static_cast<sqlite3_vfs*>(vfs->pAppData);
    OnDemand* state = nullptr;
    if (name && (flags & SQLITE_OPEN_MAIN_DB)) {
        std::lock_guard<std::mutex> lock(onDemandMutex);
        if (auto it = onDemandFiles.find(name); it != onDemandFiles.end()) state = it->second;
    }
    if (!state) return parent->xOpen(parent, name, file, flags, outFlags);
    auto* f = reinterpret_cast<OnDemandFile*>(file);
    f->base.pMethods = nullptr;
    f->real = reinterpret_cast<sqlite3_file*>(f + 1);
    f->state = state;
    const int rc = parent->xOpen(parent, name, f->real, flags, outFlags);
    if (rc != SQLITE_OK) return rc;
    f->base.pMethods = &onDemandMethods;
    state->opened = true;
    return SQLITE_OK;
}

// The VFS of on-demand snapshots: the default one, but for the copies named
// in onDemandFiles.
const char* onDemandVfsName() {
    static std::once_flag once;
    std::call_once(once, [] { registerWrappingVfs(onDemandVfs, "kelvara-on-demand", sizeof(OnDemandFile), odOpen); });
    return onDemandVfs.zName;
}

} // namespace

DatabaseSnapshot::DatabaseSnapshot(const stdfs::path& main) {
    Files f;
    f.main = main;
    make(f, Copy::whole);
}

DatabaseSnapshot::DatabaseSnapshot(const Files& files, Copy copy) { make(files, copy); }

bool DatabaseSnapshot::unchanged() const {
    if (!onDemand_) return true;
    return stateOf(onDemand_->path) == onDemand_->start && onDemand_->holdsStill();
}

bool DatabaseSnapshot::moved() const { return onDemand_ && onDemand_->moved.load(); }

void DatabaseSnapshot::make(const Files& files, Copy copy) {
    struct stat st {};
    if (::stat(files.main.c_str(), &st) != 0) {
        const int err = errno;
        if (err == ENOENT) throw Error("the database " + files.main.string() + " does not exist");
        throw Error("could not read " + files.main.string() + ": " + fs::errnoText(err));
    }
    if (!S_ISREG(st.st_mode)) throw Error(files.main.string() + " is not a database file");

    try {
        folder_ = makePrivateFolder("kelvara-snapshot-");
    } catch (const Error& e) {
        throw Error("could not make a private folder for reading " + files.main.string() + ": " + e.what());
    }

    const std::string copyName = files.baseName.empty() ? files.main.filename().string() : files.baseName;
    copy_ = folder_ / copyName;
    const stdfs::path wal = files.wal ? *files.wal : stdfs::path(files.main.string() + "-wal");
    const stdfs::path shm = files.shm ? *files.shm : stdfs::path(files.main.string() + "-shm");
    const stdfs::path copyWal = copy_.string() + "-wal";
    const stdfs::path copyShm = copy_.string() + "-shm";
    pages_ = copy_;
    if (copy == Copy::onDemand) {
        onDemand_ = std::make_unique<OnDemand>();
        onDemand_->path = files.main;
        pages_ = files.main;
    }
    // An on-demand copy starts empty, as large as the database, with the
    // database opened to take its parts from; false when the file at the path
    // is no longer the one looked at.
    auto startOnDemand = [&](const FileState& state) {
        OnDemand& d = *onDemand_;
        d.source = openSource(files.main);
        struct stat opened {};
        if (!d.source) throw Error("could not open " + files.main.string() + ": " + fs::errnoText(errno));
        if (::fstat(d.source.get(), &opened) != 0 || opened.st_ino != state.inode) return false;
        d.start = state;
        d.taken.assign(static_cast<std::size_t>((state.size + OnDemand::kPart - 1) / OnDemand::kPart), 0);
        UniqueFd out(::open(copy_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!out || ::ftruncate(out.get(), state.size) != 0 || out.close() != 0)
            throw Error("could not make a private copy of " + files.main.string() + ": " + fs::errnoText(errno));
        return true;
    };

    try {
        constexpr int kAttempts = 5;
        for (int attempt = 1;; ++attempt) {
            const FileState before[3] = {stateOf(files.main), stateOf(wal), stateOf(shm)};
            const std::string fingerprint = fingerprintOf(files);
            std::error_code ec;
            stdfs::remove(copy_, ec);
            stdfs::remove(copyWal, ec);
            stdfs::remove(copyShm, ec);
            bool same = true;
            if (onDemand_) same = startOnDemand(before[0]);
            else copyFile(files.main, copy_);
            bool walCopied = before[1].exists && copyFile(wal, copyWal, true);
            // The -shm is copied only alongside a -wal; on its own it means nothing.
            if (walCopied && before[2].exists) copyFile(shm, copyShm, true);
            const FileState after[3] = {stateOf(files.main), stateOf(wal), stateOf(shm)};
            // The -shm changes on every read by others; only the database and its
            // -wal have to hold still for the copy to be consistent.
            same = same && before[0] == after[0] && before[1] == after[1];
            // An on-demand copy must begin on files that held still: it is made
            // again, or made whole after the last attempt.
            if (onDemand_ && !same && attempt == kAttempts) {
                onDemand_.reset();
                pages_ = copy_;
                attempt = 0;
                continue;
            }
            if (same || attempt == kAttempts) {
                // A copy taken while the files kept changing gets no fingerprint,
                // so the next run copies again rather than trusting it.
                fingerprint_ = same ? fingerprint : std::string();
                break;
            }
            ::usleep(static_cast<useconds_t>(50000 * attempt));
        }
    } catch (...) {
        std::error_code ec;
        stdfs::remove_all(folder_, ec);
        throw;
    }

    const char* vfs = nullptr;
    if (onDemand_) {
        char* real = ::realpath(copy_.c_str(), nullptr);
        if (real) {
            registered_ = real;
            std::free(real);
            std::lock_guard<std::mutex> lock(onDemandMutex);
            onDemandFiles[registered_] = onDemand_.get();
        }
        vfs = onDemandVfsName();
    }
    const int rc = sqlite3_open_v2(copy_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, vfs);
    if (rc != SQLITE_OK || (onDemand_ && !onDemand_->opened)) {
        std::string why = rc != SQLITE_OK ? (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc))
                                          : std::string("its private copy could not be set up");
        close();
        throw Error("could not open the copy of " + files.main.string() + ": " + why);
    }
    // The copy's -wal stays as it is when the copy is closed: moving its pages
    // into the copy would only take parts of the database nobody reads.
    if (onDemand_) sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, 2000);
    // Touch the schema now so a file that is not a database fails here, with a
    // clear reason, instead of at the first query.
    char* err = nullptr;
    if (sqlite3_exec(db_, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, &err) != SQLITE_OK) {
        std::string why = err ? err : "unknown error";
        sqlite3_free(err);
        close();
        throw Error(files.main.string() + " is damaged or is not a database (" + why + ")");
    }
}

void DatabaseSnapshot::close() noexcept {
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
    if (!registered_.empty()) {
        std::lock_guard<std::mutex> lock(onDemandMutex);
        onDemandFiles.erase(registered_);
        registered_.clear();
    }
    if (!folder_.empty()) {
        std::error_code ec;
        stdfs::remove_all(folder_, ec);
        folder_.clear();
    }
}

DatabaseSnapshot::~DatabaseSnapshot() { close(); }

} // namespace kx
