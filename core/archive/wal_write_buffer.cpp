#include "core/archive/wal_write_buffer.h"

#include "core/archive/wrapping_vfs.h"

#include <sqlite3.h>

#include <cstring>
#include <mutex>
#include <new>
#include <vector>

namespace kx {

namespace {

// SQLite's own file layer writes at most 128 KiB - 1 bytes in one call (and
// reports a longer write as a full disk), so a gathered write stays below that.
constexpr std::size_t kBufferBytes = 120 * 1024;
constexpr int kFrameHeaderBytes = 24;

// One open -wal: SQLite's own file for it (right behind this struct) and the
// writes not passed on yet, [start, start + pending.size()).
struct WalFile {
    sqlite3_file base;
    sqlite3_file* real;
    sqlite3_int64 start;
    std::vector<char> pending;
    bool commitFrame; // the last write was the header of a commit frame: its page ends the commit
};

sqlite3_vfs bufferVfs;

WalFile* walOf(sqlite3_file* f) { return reinterpret_cast<WalFile*>(f); }
sqlite3_file* realOf(sqlite3_file* f) { return walOf(f)->real; }

// Writes what is gathered. Whatever the outcome it is not kept: a failed write
// fails SQLite's transaction, which never relies on those frames again.
int flush(WalFile* w) {
    if (w->pending.empty()) return SQLITE_OK;
    const int rc = w->real->pMethods->xWrite(w->real, w->pending.data(), static_cast<int>(w->pending.size()), w->start);
    w->pending.clear();
    return rc;
}

int walClose(sqlite3_file* f) {
    WalFile* w = walOf(f);
    const int flushed = flush(w);
    const int rc = w->real->pMethods ? w->real->pMethods->xClose(w->real) : SQLITE_OK;
    w->pending.~vector();
    f->pMethods = nullptr;
    return flushed != SQLITE_OK ? flushed : rc;
}

int walWrite(sqlite3_file* f, const void* buf, int amount, sqlite3_int64 offset) {
    WalFile* w = walOf(f);
    const bool header = amount == kFrameHeaderBytes;
    if (!w->pending.empty() && (offset != w->start + static_cast<sqlite3_int64>(w->pending.size()) ||
                                w->pending.size() + static_cast<std::size_t>(amount) > kBufferBytes)) {
        if (const int rc = flush(w); rc != SQLITE_OK) return rc;
    }
    if (static_cast<std::size_t>(amount) >= kBufferBytes)
        return w->real->pMethods->xWrite(w->real, buf, amount, offset);
    if (w->pending.empty()) w->start = offset;
    const auto* bytes = static_cast<const char*>(buf);
    w->pending.insert(w->pending.end(), bytes, bytes + amount);
    // A frame header holds, from its fifth byte, the database's size in pages
    // after a commit (zero for any other frame).
    const bool endsCommit = w->commitFrame && !header;
    w->commitFrame = header && (bytes[4] | bytes[5] | bytes[6] | bytes[7]) != 0;
    return endsCommit ? flush(w) : SQLITE_OK;
}

// Everything else sees the file as SQLite wrote it: what is gathered goes first.
int walRead(sqlite3_file* f, void* buf, int amount, sqlite3_int64 offset) {
    if (const int rc = flush(walOf(f)); rc != SQLITE_OK) return rc;
    return realOf(f)->pMethods->xRead(realOf(f), buf, amount, offset);
}
int walTruncate(sqlite3_file* f, sqlite3_int64 size) {
    if (const int rc = flush(walOf(f)); rc != SQLITE_OK) return rc;
    return realOf(f)->pMethods->xTruncate(realOf(f), size);
}
int walSync(sqlite3_file* f, int flags) {
    if (const int rc = flush(walOf(f)); rc != SQLITE_OK) return rc;
    return realOf(f)->pMethods->xSync(realOf(f), flags);
}
int walFileSize(sqlite3_file* f, sqlite3_int64* size) {
    if (const int rc = flush(walOf(f)); rc != SQLITE_OK) return rc;
    return realOf(f)->pMethods->xFileSize(realOf(f), size);
}
int walLock(sqlite3_file* f, int level) { return realOf(f)->pMethods->xLock(realOf(f), level); }
int walUnlock(sqlite3_file* f, int level) { return realOf(f)->pMethods->xUnlock(realOf(f), level); }
int walCheckReserved(sqlite3_file* f, int* out) { return realOf(f)->pMethods->xCheckReservedLock(realOf(f), out); }
int walFileControl(sqlite3_file* f, int op, void* arg) {
    if (const int rc = flush(walOf(f)); rc != SQLITE_OK) return rc;
    return realOf(f)->pMethods->xFileControl(realOf(f), op, arg);
}
int walSectorSize(sqlite3_file* f) { return realOf(f)->pMethods->xSectorSize(realOf(f)); }
int walDevice(sqlite3_file* f) { return realOf(f)->pMethods->xDeviceCharacteristics(realOf(f)); }

// A -wal is never memory-mapped or given shared memory: version 1 methods.
const sqlite3_io_methods walMethods{1,           walClose, walRead,   walWrite,         walTruncate,    walSync,
                                    walFileSize, walLock,  walUnlock, walCheckReserved, walFileControl, walSectorSize,
                                    walDevice,   nullptr,  nullptr,   nullptr,          nullptr,        nullptr,
                                    nullptr};

int bufferOpen(sqlite3_vfs* vfs, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    auto* parent = static_cast<sqlite3_vfs*>(vfs->pAppData);
    if (!(flags & SQLITE_OPEN_WAL)) return parent->xOpen(parent, name, file, flags, outFlags);
    auto* w = reinterpret_cast<WalFile*>(file);
    w->base.pMethods = nullptr;
    w->real = reinterpret_cast<sqlite3_file*>(w + 1);
    const int rc = parent->xOpen(parent, name, w->real, flags, outFlags);
    if (rc != SQLITE_OK) return rc;
    w->start = 0;
    new (&w->pending) std::vector<char>();
    w->pending.reserve(kBufferBytes);
    w->commitFrame = false;
    w->base.pMethods = &walMethods;
    return SQLITE_OK;
}

} // namespace

const char* walWriteBufferVfsName() {
    static std::once_flag once;
    std::call_once(once, [] { registerWrappingVfs(bufferVfs, "kelvara-wal-buffer", sizeof(WalFile), bufferOpen); });
    return bufferVfs.zName;
}

} // namespace kx
