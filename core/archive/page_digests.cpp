#include "core/archive/page_digests.h"

#include "core/archive/snapshot.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/posix_file.h"
#include "core/platform/sha256.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>
#if defined(__x86_64__)
#define XXH_DISPATCH_DISABLE_REPLACE
#include <xxh_x86dispatch.h>
#endif

namespace kx {

namespace stdfs = std::filesystem;

namespace {

// "KXPAGES1" files hold digests of another hash: not loaded, so the read that
// finds one looks at every earlier row and keeps digests of this kind instead.
// "KXPAGES2" files digest every page whole. They are read as they are: a page
// this kind digests by its kind alone then differs from them and is read again
// as changed, which costs that once and never hides a change.
constexpr char kMagic[] = "KXPAGES3";
constexpr char kMagicWhole[] = "KXPAGES2";
constexpr std::uint32_t kWalMagicA = 0x377f0682, kWalMagicB = 0x377f0683;
constexpr std::size_t kWalHeader = 32, kFrameHeader = 24;

std::uint32_t be16(const unsigned char* p) { return (std::uint32_t(p[0]) << 8) | p[1]; }
std::uint32_t be32(const unsigned char* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

// XXH3: the digests only tell whether a page changed (nobody forges them), so
// a fast 64-bit hash made for that is enough. On x86-64 the library picks the
// widest vector unit the processor has; the digest is the same either way.
std::uint64_t hashPage(const unsigned char* p, std::size_t size) {
#if defined(__x86_64__)
    return XXH3_64bits_dispatch(p, size);
#else
    return XXH3_64bits(p, size);
#endif
}

// Pages that hold no rows with row ids (the b-tree pages of indexes, which is
// also where tables without row ids keep theirs, and the interior pages of
// tables) are digested by their kind alone, so their contents need not be
// read: no such row's change shows on them, and a page that starts or stops
// holding such rows changes its kind. The kind is the page's first byte (after the file
// header on page 1). On an overflow or free-list trunk page that byte is the
// top byte of a page number, which is 0 or 1 in a file of fewer than 2^25
// pages: there, no such page is taken for one of these (`byKind`); a larger
// file has every page digested whole. (A free-list leaf or pointer-map page
// that happens to begin with one of these bytes holds no rows either.)
constexpr std::size_t kKindedPagesBelow = std::size_t(1) << 25;

// How much of the file one read of the digest pass takes.
constexpr std::size_t kReadBytes = std::size_t(256) << 10;

std::uint64_t digestPage(const unsigned char* p, std::size_t size, std::size_t index, bool byKind) {
    if (byKind) {
        const unsigned char kind = p[index == 0 ? 100 : 0];
        if (kind == 0x02 || kind == 0x05 || kind == 0x0A) return kind;
    }
    return hashPage(p, size);
}

UniqueFd openForReading(const stdfs::path& file, bool mayBeMissing) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd && !(mayBeMissing && errno == ENOENT))
        throw Error("could not read " + file.string() + ": " + fs::errnoText(errno));
    return fd;
}

bool readPage(int fd, std::vector<unsigned char>& buf, off_t offset) {
    std::size_t got = 0;
    return readAllAt(fd, buf.data(), buf.size(), offset, got) == 0 && got == buf.size();
}

// SQLite's variable-length integer at p (at most `left` bytes); 0 when cut off.
std::size_t varint(const unsigned char* p, std::size_t left, std::uint64_t& v) {
    v = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        if (i >= left) return 0;
        v = (v << 7) | (p[i] & 0x7f);
        if (!(p[i] & 0x80)) return i + 1;
    }
    if (left < 9) return 0;
    v = (v << 8) | p[8];
    return 9;
}

// What one page image holds, as far as finding changed rows goes.
struct PageRead {
    bool btree = false;                       // a b-tree page (its rows, if any, are in `rows`)
    std::vector<std::int64_t> rows;           // row ids of a table-leaf page
    std::vector<std::uint32_t> overflowHeads; // first overflow page of cells that spill
};

bool parsePage(const std::vector<unsigned char>& page, std::uint32_t pageNo, std::uint32_t usable, PageRead& out) {
    const std::size_t h = pageNo == 1 ? 100 : 0;
    const std::size_t size = page.size();
    if (h + 8 > size) return false;
    const unsigned char type = page[h];
    if (type == 0x02 || type == 0x05 || type == 0x0A) {
        out.btree = true; // index pages and table interior pages hold no rows
        return true;
    }
    if (type != 0x0D) return false;
    const std::uint32_t cells = be16(&page[h + 3]);
    if (h + 8 + 2 * std::size_t(cells) > size) return false;
    const std::uint64_t maxLocal = usable - 35;
    const std::uint64_t minLocal = (std::uint64_t(usable) - 12) * 32 / 255 - 23;
    for (std::uint32_t c = 0; c < cells; ++c) {
        const std::size_t at = be16(&page[h + 8 + 2 * c]);
        if (at >= size) return false;
        std::uint64_t payload = 0, rowid = 0;
        const std::size_t a = varint(&page[at], size - at, payload);
        if (a == 0) return false;
        const std::size_t b = varint(&page[at + a], size - at - a, rowid);
        if (b == 0) return false;
        out.rows.push_back(static_cast<std::int64_t>(rowid));
        if (payload > maxLocal) {
            std::uint64_t local = minLocal + (payload - minLocal) % (usable - 4);
            if (local > maxLocal) local = minLocal;
            const std::size_t ptr = at + a + b + local;
            if (ptr + 4 > size) return false;
            out.overflowHeads.push_back(be32(&page[ptr]));
        }
    }
    out.btree = true;
    return true;
}

} // namespace

std::function<void()> PageDigests::beforeReading;

stdfs::path PageDigests::defaultFolder() { return DatabaseSnapshot::temporaryBase() / "digests"; }

PageDigests PageDigests::ofDatabase(const stdfs::path& file, stdfs::path walFile) {
    if (walFile.empty()) walFile = file.string() + "-wal";
    PageDigests d;
    const UniqueFd fd = openForReading(file, false);
    unsigned char header[100];
    std::size_t got = 0;
    if (readAllAt(fd.get(), header, sizeof header, 0, got) != 0 || got != sizeof header ||
        std::memcmp(header, "SQLite format 3", 16) != 0)
        throw Error(file.string() + " is not a database");
    d.pageSize_ = be16(header + 16) == 1 ? 65536u : be16(header + 16);
    if (d.pageSize_ < 512 || (d.pageSize_ & (d.pageSize_ - 1)) != 0)
        throw Error(file.string() + " has a page size Kelvara does not know");
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) throw Error("could not read " + file.string() + ": " + fs::errnoText(errno));
    const std::size_t pages = static_cast<std::size_t>(st.st_size) / d.pageSize_;
    d.digests_.assign(pages, 0);
    const bool byKind = pages < kKindedPagesBelow;
    // The file is read a stretch at a time into one buffer, which stays in the
    // processor's cache for the hashing that follows; a page digested by its
    // kind costs one byte of it. Of the ways measured this took the least
    // processor time, about what cat takes to read the file: a fresh map of
    // every 4 MiB cost five times as much, most of it in page faults (dear on a
    // virtual machine); reads of 64 KiB to 1 MiB cost the same, larger ones
    // more; read-ahead advice saved nothing; more threads shortened the pass
    // but took as much processor time in all. The database may be Messages'
    // own file, which can shrink while it is read: a short read fails the pass.
    std::vector<unsigned char> buf(std::max<std::size_t>(1, kReadBytes / d.pageSize_) * d.pageSize_);
    for (std::size_t page = 0; page < pages;) {
        const std::size_t n = std::min(buf.size() / d.pageSize_, pages - page), length = n * d.pageSize_;
        if (beforeReading) beforeReading();
        std::size_t read = 0;
        int failure = readAllAt(fd.get(), buf.data(), length, static_cast<off_t>(page * d.pageSize_), read);
        if (failure == 0 && read != length) failure = EIO;
        if (failure != 0) throw Error("could not read " + file.string() + ": " + fs::errnoText(failure));
        for (std::size_t k = 0; k < n; ++k)
            d.digests_[page + k] = digestPage(buf.data() + k * d.pageSize_, d.pageSize_, page + k, byKind);
        page += n;
    }

    // Every page the -wal holds an image of in its current generation (frames
    // whose salts match its header; SQLite ignores the others), committed or
    // not: more than needed is only a few more rows looked at.
    const UniqueFd wal = openForReading(walFile, true);
    unsigned char wh[kWalHeader];
    if (wal && readAllAt(wal.get(), wh, sizeof wh, 0, got) == 0 && got == sizeof wh) {
        const std::uint32_t magic = be32(wh);
        if ((magic != kWalMagicA && magic != kWalMagicB) || be32(wh + 8) != d.pageSize_) {
            d.walUnusable_ = true;
        } else {
            std::memcpy(d.walSalt_, wh + 16, 8);
            std::set<std::uint32_t> seen;
            unsigned char fh[kFrameHeader];
            for (off_t at = kWalHeader;; at += static_cast<off_t>(kFrameHeader + d.pageSize_)) {
                if (readAllAt(wal.get(), fh, sizeof fh, at, got) != 0 || got != sizeof fh) break;
                if (std::memcmp(fh + 8, d.walSalt_, 8) != 0) continue;
                if (seen.insert(be32(fh)).second) d.walPages_.push_back(be32(fh));
            }
        }
    }
    std::sort(d.walPages_.begin(), d.walPages_.end());
    return d;
}

std::string PageDigests::token() const {
    Sha256 h;
    h.update(&pageSize_, sizeof pageSize_);
    h.update(digests_.data(), digests_.size() * sizeof(std::uint64_t));
    return h.finishHex().substr(0, 32);
}

std::string PageDigests::save(const stdfs::path& folder) const {
    fs::createPrivateDirectories(folder);
    std::string bytes(kMagic, sizeof kMagic - 1);
    bytes.append(reinterpret_cast<const char*>(&pageSize_), sizeof pageSize_);
    bytes.append(reinterpret_cast<const char*>(digests_.data()), digests_.size() * sizeof(std::uint64_t));
    std::string name = token();
    fs::writeFileAtomic((folder / name).string(), bytes, 0600);
    return name;
}

std::optional<PageDigests> PageDigests::load(const stdfs::path& folder, const std::string& token) {
    if (token.size() != 32 || token.find_first_not_of("0123456789abcdef") != std::string::npos) return std::nullopt;
    try {
        const auto bytes = fs::readFileIfExists((folder / token).string());
        const std::size_t head = sizeof kMagic - 1 + sizeof(std::uint32_t);
        if (!bytes || bytes->size() < head ||
            (bytes->compare(0, sizeof kMagic - 1, kMagic) != 0 &&
             bytes->compare(0, sizeof kMagicWhole - 1, kMagicWhole) != 0) ||
            (bytes->size() - head) % sizeof(std::uint64_t) != 0)
            return std::nullopt;
        PageDigests d;
        std::memcpy(&d.pageSize_, bytes->data() + sizeof kMagic - 1, sizeof d.pageSize_);
        d.digests_.resize((bytes->size() - head) / sizeof(std::uint64_t));
        std::memcpy(d.digests_.data(), bytes->data() + head, d.digests_.size() * sizeof(std::uint64_t));
        if (d.token() != token) return std::nullopt; // damaged
        return d;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

void PageDigests::remove(const stdfs::path& folder, const std::string& token) noexcept {
    if (token.size() != 32 || token.find_first_not_of("0123456789abcdef") != std::string::npos) return;
    std::error_code ec;
    stdfs::remove(folder / token, ec);
}

std::optional<std::vector<std::int64_t>> PageDigests::changedRows(const PageDigests& before, const stdfs::path& file,
                                                                  std::int64_t upTo, stdfs::path walFile) const {
    if (walFile.empty()) walFile = file.string() + "-wal";
    if (before.pageSize_ != pageSize_ || before.digests_.size() > digests_.size()) return std::nullopt;
    if (walUnusable_) return std::nullopt;
    try {
        const UniqueFd fd = openForReading(file, false);
        std::vector<unsigned char> page(pageSize_);
        if (!readPage(fd.get(), page, 0)) return std::nullopt;
        const std::uint32_t usable = pageSize_ - page[20];
        if (usable < 480) return std::nullopt;
        // The page SQLite keeps free of data where the file passes 1 GiB.
        const std::uint64_t lockPage = (std::uint64_t(1) << 30) / pageSize_ + 1;

        // The free list, when it lies wholly in the database file (page 1 and
        // its trunk pages not re-imaged in the -wal): pages on it hold no rows.
        std::set<std::uint32_t> freePages;
        auto inWal = [&](std::uint32_t p) { return std::binary_search(walPages_.begin(), walPages_.end(), p); };
        bool freeListKnown = !inWal(1);
        for (std::uint32_t trunk = be32(&page[32]), steps = 0; freeListKnown && trunk != 0; ++steps) {
            if (trunk > digests_.size() || inWal(trunk) || steps > digests_.size()) {
                freeListKnown = false;
                break;
            }
            std::vector<unsigned char> t(pageSize_);
            if (!readPage(fd.get(), t, static_cast<off_t>(trunk - 1) * pageSize_)) return std::nullopt;
            freePages.insert(trunk);
            const std::uint32_t leaves = be32(&t[4]);
            if (8 + std::size_t(leaves) * 4 > pageSize_) {
                freeListKnown = false;
                break;
            }
            for (std::uint32_t k = 0; k < leaves; ++k) freePages.insert(be32(&t[8 + 4 * k]));
            trunk = be32(&t[0]);
        }
        if (!freeListKnown) freePages.clear();

        std::vector<std::uint32_t> changed;
        for (std::size_t i = 0; i < digests_.size(); ++i)
            if (i >= before.digests_.size() || digests_[i] != before.digests_[i])
                changed.push_back(static_cast<std::uint32_t>(i + 1));

        std::vector<std::int64_t> rows;
        std::set<std::uint32_t> unknown;  // changed pages that are not b-tree pages
        std::set<std::uint32_t> overflow; // overflow chains of the rows found
        std::vector<std::uint32_t> heads;
        auto take = [&](const std::vector<unsigned char>& image, std::uint32_t pageNo) {
            PageRead r;
            if (!parsePage(image, pageNo, usable, r)) {
                if (pageNo != lockPage && !freePages.count(pageNo)) unknown.insert(pageNo);
                return;
            }
            for (const auto row : r.rows)
                if (row <= upTo) rows.push_back(row);
            heads.insert(heads.end(), r.overflowHeads.begin(), r.overflowHeads.end());
        };
        for (const std::uint32_t p : changed) {
            if (!readPage(fd.get(), page, static_cast<off_t>(p - 1) * pageSize_)) return std::nullopt;
            take(page, p);
        }
        if (!walPages_.empty()) {
            const UniqueFd wal = openForReading(walFile, false);
            std::vector<unsigned char> frame(kFrameHeader + pageSize_);
            for (off_t at = kWalHeader;; at += static_cast<off_t>(frame.size())) {
                std::size_t got = 0;
                if (readAllAt(wal.get(), frame.data(), frame.size(), at, got) != 0 || got != frame.size()) break;
                const std::uint32_t p = be32(frame.data());
                if (p == 0 || std::memcmp(frame.data() + 8, walSalt_, 8) != 0) continue;
                take(std::vector<unsigned char>(frame.begin() + kFrameHeader, frame.end()), p);
            }
        }
        // A changed page that holds no b-tree must be part of the overflow chain of
        // a row already found; otherwise the row it belongs to cannot be told.
        if (!unknown.empty()) {
            std::vector<unsigned char> o(pageSize_);
            for (std::uint32_t head : heads) {
                for (std::size_t steps = 0; head != 0 && head <= digests_.size() && steps <= digests_.size(); ++steps) {
                    if (!overflow.insert(head).second) break;
                    if (inWal(head)) break; // its newer image was read above as an unknown page
                    if (!readPage(fd.get(), o, static_cast<off_t>(head - 1) * pageSize_)) return std::nullopt;
                    head = be32(o.data());
                }
            }
            for (const std::uint32_t p : unknown)
                if (!overflow.count(p)) return std::nullopt;
        }
        std::sort(rows.begin(), rows.end());
        rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
        return rows;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

} // namespace kx
