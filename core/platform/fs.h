#pragma once
// File helpers shared by every core area.
//
// Every configuration and status file is written atomically: the bytes go to a
// temporary file in the same folder, are flushed to disk (unless the caller asks
// otherwise, see Durability), and the temporary file is renamed over the target.
// If anything fails the previous file stays as it was and the temporary file is
// removed. Configuration files are created readable by
// the user only (0600), their folders 0700.
#include <filesystem>
#include <optional>
#include <string>

namespace kx::fs {

namespace stdfs = std::filesystem;

constexpr unsigned kPrivateFileMode = 0600;
constexpr unsigned kPrivateDirMode = 0700;

// flushed: the new file and its folder entry are on disk before the call returns.
// renamedOnly: the rename is still atomic (a reader sees the old or the new
// file, never part of one) but a power cut may bring back the previous version;
// for bookkeeping that is cheap to lose and written often.
enum class Durability { flushed, renamedOnly };

// Writes bytes to path atomically. Throws kx::Error with a readable reason
// (including a full disk) and leaves any previous file untouched.
void writeFileAtomic(const stdfs::path& path, std::string_view bytes, unsigned mode = kPrivateFileMode,
                     Durability durability = Durability::flushed);

// A file written part by part and put in place atomically, for output too
// large to hold in memory: the parts go to a temporary file beside path, and
// commit() flushes it and renames it over path. Destroyed without a commit (a
// failure on the way) it removes the temporary file, and any previous file at
// path stays as it was. Throws kx::Error with a readable reason.
class AtomicFileWriter {
public:
    explicit AtomicFileWriter(const stdfs::path& path, unsigned mode = kPrivateFileMode);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    void write(std::string_view bytes);
    void commit(Durability durability = Durability::flushed);
    // Writes out, flushes and closes the temporary file and hands its name over
    // (the caller links or renames it into place, or removes it).
    std::string finishTemporary(Durability durability);

private:
    void drain();

    stdfs::path path_;
    std::string tmp_;
    int fd_ = -1;
    std::string buffer_;
};

// Writes bytes, flushed to disk, to a new file at path only if nothing exists
// there yet (a temporary file linked into place, which fails when the name is
// taken). Returns false when something already exists at path; throws kx::Error.
bool createFileAtomic(const stdfs::path& path, std::string_view bytes, unsigned mode = kPrivateFileMode);

// Reads a whole file. Returns nothing when the file does not exist; throws
// kx::Error when it exists but cannot be read.
std::optional<std::string> readFileIfExists(const stdfs::path& path);

// Reads a whole file; throws kx::Error when it is missing or unreadable.
std::string readFile(const stdfs::path& path);

// Creates a folder and its missing parents; new folders get mode 0700.
// Throws kx::Error on failure.
void createPrivateDirectories(const stdfs::path& path);

// True when something (file, folder or link) exists at path; never throws.
bool exists(const stdfs::path& path);
bool isDirectory(const stdfs::path& path);
bool isRegularFile(const stdfs::path& path);

// Appends a path component the way the platform's path-append does: a trailing
// "/" on base is not doubled.
std::string appendComponent(const std::string& base, const std::string& component);

// The text of errno as a sentence fragment ("No space left on device").
std::string errnoText(int err);

} // namespace kx::fs
