#include "core/archive/attachment_store.h"

#include "core/platform/fs.h"
#include "core/platform/hex.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {

namespace {

struct MdDeleter {
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdPtr = std::unique_ptr<EVP_MD_CTX, MdDeleter>;

MdPtr newSha256() {
    MdPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) throw Error("the SHA-256 digest is not available");
    return ctx;
}

std::string finishHex(EVP_MD_CTX* ctx) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx, md, &len) != 1) throw Error("the SHA-256 digest failed");
    return lowerHex(md, len);
}

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

// Opens a file for reading without following a final symlink, and only when it
// is a regular file (a FIFO or device would block or never end).
int openRegularForReading(const std::filesystem::path& p) {
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        const int err = errno;
        if (err == ELOOP) throw Error(p.string() + " is a symbolic link and was not followed");
        throw Error("could not open " + p.string() + " (" + fs::errnoText(err) + ")");
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        throw Error(p.string() + " is not a regular file");
    }
    // Back to blocking reads for a regular file.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

bool writeAll(int fd, const char* data, size_t size, int& err) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            err = errno;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string randomSuffix() {
    static thread_local std::mt19937_64 rng(std::random_device {}());
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
    Fd in(openRegularForReading(file));
    auto ctx = newSha256();
    std::vector<char> buf(1 << 16);
    for (;;) {
        const ssize_t n = ::read(in.fd, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throw Error("could not read " + file.string() + " (" + fs::errnoText(errno) + ")");
        }
        if (n == 0) break;
        EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(n));
    }
    return finishHex(ctx.get());
}

namespace {

// Moves a finished temporary file into place under its key.
void settle(const AttachmentStore& store, const std::filesystem::path& temp, const std::string& key) {
    const auto target = store.objectPath(key);
    std::error_code ec;
    if (fs::isRegularFile(target)) {  // already stored: identical bytes by construction
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
    const int dfd = ::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

} // namespace

std::string AttachmentStore::put(const std::filesystem::path& source) {
    Fd in(openRegularForReading(source));
    const auto incoming = root_ / ".incoming";
    try {
        fs::createPrivateDirectories(incoming);
    } catch (const Error& e) {
        throw WriteError(e.what());
    }
    const auto temp = incoming / ("obj-" + randomSuffix());
    Fd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.fd < 0) throw WriteError("could not create a file in " + incoming.string() + " (" + fs::errnoText(errno) + ")");
    std::error_code ec;
    auto fail = [&](const std::string& why, bool writeSide) -> std::string {
        ::close(out.fd);
        out.fd = -1;
        std::filesystem::remove(temp, ec);
        if (writeSide) throw WriteError(why);
        throw Error(why);
    };
    auto ctx = newSha256();
    std::vector<char> buf(1 << 16);
    for (;;) {
        const ssize_t n = ::read(in.fd, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail("could not read " + source.string() + " (" + fs::errnoText(errno) + ")", false);
        }
        if (n == 0) break;
        EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<size_t>(n));
        int err = 0;
        if (!writeAll(out.fd, buf.data(), static_cast<size_t>(n), err))
            return fail("could not write an attachment object (" + fs::errnoText(err) + ")", true);
    }
    if (::fsync(out.fd) != 0) return fail("could not write an attachment object (" + fs::errnoText(errno) + ")", true);
    if (::close(out.fd) != 0) {
        out.fd = -1;
        const int err = errno;
        std::filesystem::remove(temp, ec);
        throw WriteError("could not write an attachment object (" + fs::errnoText(err) + ")");
    }
    out.fd = -1;
    const std::string key = finishHex(ctx.get());
    settle(*this, temp, key);
    return key;
}

std::string AttachmentStore::putBytes(const std::string& bytes) {
    const auto incoming = root_ / ".incoming";
    try {
        fs::createPrivateDirectories(incoming);
    } catch (const Error& e) {
        throw WriteError(e.what());
    }
    auto ctx = newSha256();
    EVP_DigestUpdate(ctx.get(), bytes.data(), bytes.size());
    const std::string key = finishHex(ctx.get());
    if (contains(key)) return key;
    const auto temp = incoming / ("obj-" + randomSuffix());
    Fd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.fd < 0) throw WriteError("could not create a file in " + incoming.string() + " (" + fs::errnoText(errno) + ")");
    int err = 0;
    std::error_code ec;
    if (!writeAll(out.fd, bytes.data(), bytes.size(), err) || ::fsync(out.fd) != 0) {
        if (!err) err = errno;
        std::filesystem::remove(temp, ec);
        throw WriteError("could not write an attachment object (" + fs::errnoText(err) + ")");
    }
    ::close(out.fd);
    out.fd = -1;
    settle(*this, temp, key);
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
