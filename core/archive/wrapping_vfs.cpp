#include "core/archive/wrapping_vfs.h"

namespace kx {

void registerWrappingVfs(sqlite3_vfs& vfs, const char* name, std::size_t fileBytes,
                         int (*open)(sqlite3_vfs*, const char*, sqlite3_file*, int, int*)) {
    sqlite3_vfs* parent = sqlite3_vfs_find(nullptr);
    vfs = *parent;
    vfs.zName = name;
    vfs.pNext = nullptr;
    vfs.pAppData = parent;
    vfs.szOsFile = static_cast<int>(fileBytes) + parent->szOsFile;
    vfs.xOpen = open;
    sqlite3_vfs_register(&vfs, 0);
}

} // namespace kx
