#pragma once
// Keeping the archive's files to their owner: files 0600, folders 0700, also
// those that SQLite makes or that an earlier version left readable by others.
#include <filesystem>

namespace kx::fs {

// Makes a database file private before SQLite opens it: creates it empty with
// mode 0600 when nothing is there, and narrows an existing one, and its -wal
// and -shm beside it, to 0600 (SQLite gives the -wal and -shm it creates the
// database's mode). Never follows a symbolic link and never throws: a file
// that cannot be opened here is left for SQLite to report.
void preparePrivateDatabase(const std::filesystem::path& path);

// Narrows an existing folder to 0700, or a regular file to 0600, when others
// may read it. Never follows a symbolic link; never throws.
void narrowToPrivate(const std::filesystem::path& path);

} // namespace kx::fs
