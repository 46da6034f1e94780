#pragma once
// Archives generated for the backup tests, and a loopback S3 server (s3rver)
// run by the tests themselves.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kx::test {

// Makes <root>/tresk.db (a "messages" table with `messages` rows) and
// <root>/attachments/<2 hex>/<hash> files of the given sizes, all from a seed.
void makeArchive(const std::filesystem::path& ownerFolder, int messages, const std::vector<size_t>& fileSizes,
                 unsigned seed);
// Adds rows to the archive's database.
void addMessages(const std::filesystem::path& ownerFolder, int count, unsigned seed);
// Every row of the messages table, in order, as text.
std::vector<std::string> messageRows(const std::filesystem::path& dbFile);
// Compares two archive folders message by message and file by file; empty when
// equal, else what differs.
std::string compareArchives(const std::filesystem::path& a, const std::filesystem::path& b);

// Runs fn in a forked child process and kills it (SIGKILL) where it calls the
// function it is handed, which never returns. False when the child ended
// without reaching that point.
bool killChildWhereItStops(const std::function<void(const std::function<void()>& stopHere)>& fn);

// The s3rver program, or nothing when it is not installed.
std::optional<std::string> findS3rver();

class S3Server {
public:
    // Starts s3rver on 127.0.0.1 with a free port, a fresh data folder and the
    // bucket "kelvara-test". Throws std::runtime_error when it does not come up.
    S3Server();
    ~S3Server();
    void stop();
    // Starts it again on the same port and data folder.
    void restart();
    std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(port_); }
    const std::filesystem::path& dataDir() const { return dir_; }
    static constexpr const char* kBucket = "kelvara-test";
    static constexpr const char* kKey = "S3RVER";

private:
    void start();
    std::string program_;
    std::filesystem::path dir_;
    int port_ = 0;
    int pid_ = -1;
};

} // namespace kx::test
