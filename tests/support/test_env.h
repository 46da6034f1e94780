#pragma once
// Test isolation: every test process gets a private HOME and XDG folders so that
// no test reads or writes the real home folder.
#include <filesystem>
#include <string>

namespace kx::test {

// Creates the private folders and points HOME, XDG_DATA_HOME, XDG_CONFIG_HOME,
// XDG_CACHE_HOME and XDG_STATE_HOME at them. Called once from main().
void isolateEnvironment();

// Removes what isolateEnvironment created. Called once from main() at exit.
void removeIsolatedEnvironment();

// The isolated HOME of this process.
std::filesystem::path home();

// Whether this is a CI run: CI is set, and not to "" or "false".
bool underCI();

// A fresh, empty folder below the isolated HOME, removed when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Reads a whole file as bytes; empty when it cannot be read.
std::string readAll(const std::filesystem::path& p);
// Writes bytes to a file, creating parent folders.
void writeAll(const std::filesystem::path& p, const std::string& bytes);
// A listing of every file below a folder with its size and content hash, for
// asserting that a folder was left untouched.
std::string snapshotTree(const std::filesystem::path& root);

} // namespace kx::test

// Skips a test whose real peer (s3rver, the keyring daemon, poppler, systemd's
// tools) is missing on this machine. Under CI it fails instead, so that a green
// CI run means every peer was there and was tried. For a test body or SetUp.
#define KX_SKIP_WITHOUT_PEER(message)                                                                                  \
    do {                                                                                                               \
        if (::kx::test::underCI()) {                                                                                   \
            FAIL() << "CI needs this test's peer: " << message;                                                        \
        } else {                                                                                                       \
            GTEST_SKIP() << message;                                                                                   \
        }                                                                                                              \
    } while (false)
