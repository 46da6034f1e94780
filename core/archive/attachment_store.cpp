#include "core/archive/attachment_store.h"

#include "core/platform/fs.h"
#include "core/platform/posix_file.h"
#include "core/platform/sha256.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {

namespace {

// Opens a file for reading without following a final symlink, and only when it
// is a regular file (a FIFO or device would block or never end).
UniqueFd openRegularForReading(const std::filesystem::path& p) {
    UniqueFd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        const int err = errno;
        if (err == ELOOP) throw Error(p.string() + " is a symbolic link and was not followed");
        throw Error("could not open " + p.string() + " (" + fs::errnoText(err) + ")");
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) throw Error(p.string() + " is not a regular file");
    // Back to blocking reads for a regular file.
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

std::string randomSuffix() {
    static thread_local std::mt19937_64 rng(std::random_device{}());
    static const char* hex = "0123456789abcdef";
    std::string s;
    auto v = rng();
    for (int i = 0; i < 16; ++i, v >>= 4) s.push_back(hex[v & 15]);
    return s;
}

} // namespace

AttachmentStore::AttachmentStore(std::filesystem::path root) : root_(std::move(root)) {}

bool AttachmentStore::isValidKey(const std::string& key) {
    if (key.size() != 64) return false;
    for (char c : key)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::filesystem::path AttachmentStore::objectPath(const std::string& key) const {
    if (!isValidKey(key)) throw Error("\"" + key.substr(0, 80) + "\" is not an attachment object key");
    return root_ / key.substr(0, 2) / key.substr(2, 2) / key;
}

bool AttachmentStore::contains(const std::string& key) const {
    return isValidKey(key) && fs::isRegularFile(objectPath(key));
}

std::string AttachmentStore::hashFile(const std::filesystem::path& file) {
    const UniqueFd in = openRegularForReading(file);
    Sha256 hash;
    if (const int err = hash.updateFromFd(in.get()))
        throw Error("could not read " + file.string() + " (" + fs::errnoText(err) + ")");
    return hash.finishHex();
}

namespace {

// A new object being written under "<root>/.incoming", removed again unless it
// is finished. Write failures throw AttachmentStore::WriteError.
class IncomingFile {
public:
    explicit IncomingFile(const std::filesystem::path& root) {
        const auto incoming = root / AttachmentStore::kIncomingFolder;
        try {
            fs::createPrivateDirectories(incoming);
        } catch (const Error& e) {
            throw AttachmentStore::WriteError(e.what());
        }
        path_ = incoming / ("obj-" + randomSuffix());
        fd_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (!fd_)
            throw AttachmentStore::WriteError("could not create a file in " + incoming.string() + " (" +
                                              fs::errnoText(errno) + ")");
    }
    ~IncomingFile() { discard(); }
    IncomingFile(const IncomingFile&) = delete;
    IncomingFile& operator=(const IncomingFile&) = delete;

    void write(const void* data, size_t size) {
        if (const int err = writeAll(fd_.get(), data, size)) fail(err);
    }
    // Flushes the bytes to disk and gives the file's path to move into place.
    std::filesystem::path finish() {
        if (::fsync(fd_.get()) != 0) fail(errno);
        if (const int err = fd_.close()) fail(err);
        done_ = true;
        return path_;
    }
    void discard() noexcept {
        if (done_) return;
        done_ = true;
        fd_.reset();
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }

private:
    [[noreturn]] void fail(int err) {
        discard();
        throw AttachmentStore::WriteError("could not write an attachment object (" + fs::errnoText(err) + ")");
    }
    std::filesystem::path path_;
    UniqueFd fd_;
    bool done_ = false;
};

// Moves a finished temporary file into place under its key.
void settle(const AttachmentStore& store, const std::filesystem::path& temp, const std::string& key) {
    const auto target = store.objectPath(key);
    std::error_code ec;
    if (fs::isRegularFile(target)) { // already stored: identical bytes by construction
        std::filesystem::remove(temp, ec);
        return;
    }
    try {
        fs::createPrivateDirectories(target.parent_path());
    } catch (const Error& e) {
        std::filesystem::remove(temp, ec);
        throw AttachmentStore::WriteError(e.what());
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        std::filesystem::remove(temp, ec);
        throw AttachmentStore::WriteError("could not store an attachment object (" + fs::errnoText(err) + ")");
    }
    // Make the new directory entry durable.
    syncDirectory(target.parent_path().string());
}

} // namespace

std::string AttachmentStore::put(const std::filesystem::path& source) {
    const UniqueFd in = openRegularForReading(source);
    Sha256 hash;
    IncomingFile out(root_);
    std::vector<char> buf(1 << 16);
    for (;;) {
        const ssize_t n = readSome(in.get(), buf.data(), buf.size());
        if (n < 0) {
            const int err = errno;
            out.discard();
            throw Error("could not read " + source.string() + " (" + fs::errnoText(err) + ")");
        }
        if (n == 0) break;
        hash.update(buf.data(), static_cast<size_t>(n));
        out.write(buf.data(), static_cast<size_t>(n));
    }
    const std::string key = hash.finishHex();
    settle(*this, out.finish(), key);
    return key;
}

std::string AttachmentStore::putBytes(const std::string& bytes) {
    const std::string key = Sha256::hexOf(bytes);
    if (contains(key)) return key;
    IncomingFile out(root_);
    out.write(bytes.data(), bytes.size());
    settle(*this, out.finish(), key);
    return key;
}

AttachmentStore::Check AttachmentStore::verify(const std::string& key) const {
    if (!isValidKey(key)) return Check::mismatch;
    const auto p = objectPath(key);
    if (!fs::exists(p)) return Check::missing;
    try {
        return hashFile(p) == key ? Check::verified : Check::mismatch;
    } catch (const Error&) {
        return Check::missing;
    }
}

} // namespace kx
