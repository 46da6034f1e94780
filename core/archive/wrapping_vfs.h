#pragma once
// SQLite VFSes of our own that are the default one but for some files.
#include <sqlite3.h>

#include <cstddef>

namespace kx {

// Registers `vfs` (not as the default) under `name`: a copy of the default VFS
// whose files are opened by `open`. A file `open` takes over has `fileBytes` of
// its own state first and the default VFS's file right behind it; the default
// VFS is the new one's pAppData, for `open` to open that file (or any file it
// does not take over) with. Call it once.
void registerWrappingVfs(sqlite3_vfs& vfs, const char* name, std::size_t fileBytes,
                         int (*open)(sqlite3_vfs*, const char*, sqlite3_file*, int, int*));

} // namespace kx
