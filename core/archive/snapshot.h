#pragma once
// Private snapshot copies of databases that belong to someone else.
//
// A message database is never opened where it lies. Opening a WAL database in
// place, even "read only", lets SQLite create -wal/-shm files beside it and wait
// on the writer's locks; opening it immutable misses rows still in the -wal file.
// So the reader copies the database together with its -wal and -shm files (those
// that exist) into a private folder (0700, below the temporary folder) under the
// same base name, and opens the copy. A writer's locks do not stop a plain file
// copy, so a database locked by Messages is still read.
//
// Consistency: a writer may change the files while they are copied (a checkpoint
// moves pages from the -wal into the database). The copy is therefore checked:
// the size and modification time of every file are compared before and after
// copying, and the copy is retried (a few times) until the files held still. The
// copied -shm is only an index: SQLite, being the only user of the copy, rebuilds
// it from the -wal when the copy is first opened.
//
// A database need not be copied whole before it is read: an on-demand snapshot
// copies the -wal and -shm as above but leaves the copy of the database empty
// (sparse), and reads the database file itself (through a VFS of its own;
// nothing is opened, locked or written beside the source). Every such read
// checks afterwards that the database file is still as it was when the
// snapshot began (same size and modification time); once it is not, the
// snapshot is "moved": reads that would need the database fail, and the caller
// reads again from a whole copy. So whatever was read came from one state. A
// part of the database is copied only when SQLite writes to it (moving the
// copied -wal's pages in, an index the reader adds), so the copy holds what was
// written and the database's own bytes around it.
//
// The folder and everything in it are removed when the snapshot object dies.
// Snapshots live below the user's cache folder ($XDG_CACHE_HOME, else ~/.cache,
// then "Kelvara/snapshots"), which is on disk: /tmp is often a RAM-backed
// file system, where copying a multi-gigabyte database would eat memory. Each
// folder is named "<process id>-<random>"; folders left by a process that no
// longer runs (a killed run) hold private messages, so they are removed the next
// time a snapshot is made.
#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace kx {

class DatabaseSnapshot {
public:
    // The files to copy. wal and shm are the companions of the main file; when not
    // given, "<main>-wal" and "<main>-shm" are used if they exist. baseName is the
    // name the copy gets in the private folder (defaults to main's file name).
    struct Files {
        std::filesystem::path main;
        std::optional<std::filesystem::path> wal;
        std::optional<std::filesystem::path> shm;
        std::string baseName;
    };

    // Copies the files and opens the copy. Throws kx::Error with a readable
    // sentence fragment when the source is missing or unreadable, when there is no
    // room for the copy, or when the copy is not a readable database.
    enum class Copy { whole, onDemand };
    explicit DatabaseSnapshot(const std::filesystem::path& main);
    explicit DatabaseSnapshot(const Files& files, Copy copy = Copy::whole);
    ~DatabaseSnapshot();
    DatabaseSnapshot(const DatabaseSnapshot&) = delete;
    DatabaseSnapshot& operator=(const DatabaseSnapshot&) = delete;

    sqlite3* handle() const { return db_; }
    // The identity of the source files as they were when copied (see below).
    const std::string& fingerprint() const { return fingerprint_; }

    // "<inode>.<size>.<mtime ns>/<same for the -wal or ->" of the database and its
    // -wal, read with stat only. Equal fingerprints mean the files were not
    // written in between: any write changes the modification time, and a file
    // replaced by another copy has another inode. The -shm is left out (readers
    // change it). Empty when the database cannot be looked at.
    static std::string fingerprintOf(const Files& files);
    const std::filesystem::path& copyPath() const { return copy_; }
    // The file holding the pages of the snapshot's database: the copy, or for an
    // on-demand snapshot the database itself. Its companion -wal is the copy's
    // (copyPath() + "-wal").
    const std::filesystem::path& pagesFile() const { return pages_; }
    // Whether the database file still holds the state the snapshot began with;
    // always true for a whole copy. Checked after reading pagesFile() directly.
    bool unchanged() const;
    // Whether an on-demand snapshot saw the database change while it was read
    // (its reads of parts not taken yet then failed).
    bool moved() const;
    const std::filesystem::path& folder() const { return folder_; }

    // The folder below which snapshots are made (created 0700 when missing);
    // falls back to $TMPDIR, else /tmp, when the cache folder cannot be made.
    static std::filesystem::path temporaryBase();
    // Removes snapshot folders of processes that no longer run.
    static void removeAbandoned(const std::filesystem::path& base);
    // Makes a private folder (0700) for this process below temporaryBase(),
    // named "<pid>-<random>", after removing those of processes that no longer
    // run (what a killed run left). In a shared temporary folder (the fallback)
    // the name begins with `sharedPrefix` and nothing else is touched. Throws
    // kx::Error with the system's reason.
    static std::filesystem::path makePrivateFolder(const std::string& sharedPrefix);

    struct OnDemand; // what the VFS of on-demand snapshots keeps per copy (snapshot.cpp)

private:
    void make(const Files& files, Copy copy);
    void close() noexcept; // closes the copy and removes its folder
    std::unique_ptr<OnDemand> onDemand_;
    std::filesystem::path folder_;
    std::filesystem::path copy_;
    std::filesystem::path pages_;
    std::string registered_; // the copy's real path, while the VFS serves it
    std::string fingerprint_;
    sqlite3* db_ = nullptr;
};

} // namespace kx
