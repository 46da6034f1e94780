#pragma once
// Which earlier rows of a message database can have changed since it was last
// read, so that looking for edits and unsends need not visit every row.
//
// A row lives on one page of the database file (its long values may continue
// on overflow pages). When a run has read everything a copy held, the reader
// keeps a 64-bit digest of every page of that copy's database file (of a page
// that holds no rows, an index or interior page, its kind alone). The next
// run digests its own copy the same way; a row whose bytes changed lies on a
// page whose digest changed, on a page added since, or on a page the copy's
// -wal holds a newer image of. The row ids on those pages (taken from the
// table-leaf pages' cells, in the file format's own layout) are the only
// earlier rows that can hold an edit. Rows of other tables found on the same
// pages only add a few needless look-ups.
//
// Whenever the answer would not be certain, there is none and the caller
// visits every row: no digests kept from the last read, a different page size,
// a file that shrank, a changed page that is not a b-tree page (an overflow,
// free-list or pointer-map page, whose rows cannot be told), or anything that
// does not parse.
//
// The digests are kept in a file named by a token (a SHA-256 prefix of their
// contents), below the snapshot folder's "digests" folder; the reader's cursor
// names the token, so a store put back to an older state never trusts digests
// taken after it.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kx {

class PageDigests {
public:
    // Digests every page of a database file and notes the pages its -wal
    // (`wal`, else `<file>-wal`, when present) holds images of. Throws
    // kx::Error when the files cannot be read or are not a database, also when
    // the file shrank while it was read.
    static PageDigests ofDatabase(const std::filesystem::path& file, std::filesystem::path wal = {});
    // Tests only: called before each stretch of the file is read.
    static std::function<void()> beforeReading;

    // The digests kept under `token`, or none (missing, damaged, not ours).
    static std::optional<PageDigests> load(const std::filesystem::path& folder, const std::string& token);
    // Keeps these digests under their token (written whole, then renamed into
    // place) and returns the token. Throws kx::Error.
    std::string save(const std::filesystem::path& folder) const;
    static void remove(const std::filesystem::path& folder, const std::string& token) noexcept;
    // Where digests are kept: "digests" below the snapshot folder.
    static std::filesystem::path defaultFolder();

    std::string token() const;
    std::uint32_t pageSize() const { return pageSize_; }
    std::size_t pageCount() const { return digests_.size(); }

    // The row ids of table-leaf pages that differ from `before` (changed, added,
    // or imaged in the -wal), at most `upTo`, sorted; none when that cannot be
    // told for certain (see above). `file` and `wal` are the database and
    // -wal these digests were taken of (their pages are read again to find the
    // rows); an empty `wal` is `<file>-wal`.
    std::optional<std::vector<std::int64_t>> changedRows(const PageDigests& before, const std::filesystem::path& file,
                                                         std::int64_t upTo, std::filesystem::path wal = {}) const;

private:
    std::uint32_t pageSize_ = 0;
    std::vector<std::uint64_t> digests_;
    std::vector<std::uint32_t> walPages_; // page numbers (1-based) with images in the -wal, sorted
    unsigned char walSalt_[8] = {};       // the -wal's current generation
    bool walUnusable_ = false;            // a -wal whose frames cannot be followed
};

} // namespace kx
