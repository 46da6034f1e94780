#include "core/backup/archive_walk.h"

#include "core/archive/archive_layout.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <memory>

namespace kx {

namespace stdfs = std::filesystem;

namespace {

bool vanished(int err) { return err == ENOENT || err == ENOTDIR; }

void walk(const stdfs::path& dir, const std::string& rel, std::vector<ArchiveFile>& out) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d) {
        if (vanished(errno)) return; // removed while the walk ran
        throw Error("could not list the archive's attachments in " + dir.string() + " (" + fs::errnoText(errno) + ")");
    }
    for (;;) {
        errno = 0;
        const dirent* e = ::readdir(d.get());
        if (!e) {
            if (errno != 0 && !vanished(errno))
                throw Error("could not list the archive's attachments in " + dir.string() + " (" +
                            fs::errnoText(errno) + ")");
            break;
        }
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.') continue; // ".", "..", and the store's files in progress
        const stdfs::path p = dir / name;
        struct stat st {};
        if (::lstat(p.c_str(), &st) != 0) {
            if (vanished(errno)) continue;
            throw Error("could not look at " + p.string() + " (" + fs::errnoText(errno) + ")");
        }
        const std::string childRel = rel + "/" + name;
        if (S_ISDIR(st.st_mode)) walk(p, childRel, out);
        else if (S_ISREG(st.st_mode)) out.push_back({childRel, p, static_cast<uint64_t>(st.st_size)});
    }
}

} // namespace

std::vector<ArchiveFile> listArchiveFiles(const stdfs::path& attachmentsFolder) {
    std::vector<ArchiveFile> out;
    walk(attachmentsFolder, ArchiveLayout::kAttachmentsFolder, out);
    std::sort(out.begin(), out.end(), [](const ArchiveFile& a, const ArchiveFile& b) { return a.path < b.path; });
    return out;
}

namespace {

// "tresk.manifest.json" and "tresk.manifest.superseded-<stamp>.json".
bool isEvidenceFileName(const std::string& name) {
    if (name == ArchiveLayout::kManifestFile) return true;
    static const std::string lead = "tresk.manifest.superseded-", tail = ".json";
    if (name.size() <= lead.size() + tail.size() || name.compare(0, lead.size(), lead) != 0 ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    return std::all_of(name.begin() + static_cast<long>(lead.size()), name.end() - static_cast<long>(tail.size()),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.'; });
}

} // namespace

std::vector<ArchiveFile> listEvidenceFiles(const stdfs::path& ownerFolder) {
    std::vector<ArchiveFile> out;
    std::error_code ec;
    for (stdfs::directory_iterator it(ownerFolder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!isEvidenceFileName(name)) continue;
        struct stat st {};
        if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue; // vanished, or not a plain file
        out.push_back({name, it->path(), static_cast<uint64_t>(st.st_size)});
    }
    if (ec && !vanished(ec.value()))
        throw Error("could not list the archive's evidence files in " + ownerFolder.string() + " (" + ec.message() +
                    ")");
    std::sort(out.begin(), out.end(), [](const ArchiveFile& a, const ArchiveFile& b) { return a.path < b.path; });
    return out;
}

std::vector<ArchiveFile> filesAddedSince(const std::vector<ArchiveFile>& earlier, const std::vector<ArchiveFile>& now) {
    std::vector<ArchiveFile> added;
    auto it = earlier.begin();
    for (const auto& f : now) {
        while (it != earlier.end() && it->path < f.path) ++it;
        if (it == earlier.end() || it->path != f.path) added.push_back(f);
    }
    return added;
}

bool isEvidenceFilePath(const std::string& path) { return isEvidenceFileName(path); }

bool isArchiveFilePath(const std::string& path) {
    if (isEvidenceFileName(path)) return true;
    const std::string prefix = std::string(ArchiveLayout::kAttachmentsFolder) + "/";
    if (path.compare(0, prefix.size(), prefix) != 0 || path.size() == prefix.size()) return false;
    size_t start = prefix.size();
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end == start || path[start] == '.') return false;
        start = end + 1;
    }
    return true;
}

} // namespace kx
