#pragma once
// Archives generated for the backup tests, and a loopback S3 server (s3rver)
// run by the tests themselves.
#include "core/backup/destination.h"
#include "core/keys/symmetric_key.h"
#include "tests/core/backup/hooked_destination.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
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
// without reaching that point; throws when it ended any other way than by
// running fn to its end.
bool killChildWhereItStops(const std::function<void(const std::function<void()>& stopHere)>& fn);
// The manifest of the backup of remoteName under the prefix "kelvara", opened
// with key (throws when there is none).
nlohmann::json readManifest(BackupDestination& dest, const SymmetricKey& key,
                            const std::string& remoteName = "jorin/tresk.db");
// Spoils the stored copy a manifest's object entry records: the object is
// removed, or, inside a pack, a byte of its part of the pack is flipped.
void spoilStoredCopy(BackupDestination& dest, const nlohmann::json& entry);
// The stored name of that backup's database object.
std::string storedDatabaseName(BackupDestination& dest, const SymmetricKey& key,
                               const std::string& remoteName = "jorin/tresk.db");

// Stores at dest, under the prefix "kelvara", the backup of the archive folder
// (its tresk.db and attachment files) of remoteName "jorin/tresk.db" as the
// earliest versions wrote it: the database under the archive's own name, and
// a manifest of format 1 that records no contents.
void writeFirstLayoutBackup(BackupDestination& dest, const SymmetricKey& key, const std::filesystem::path& ownerFolder);

// A destination in front of another that logs every request and injects
// faults: a lost connection from the Nth request on, a lost connection after a
// number of stored parts, a refusal (as an error answer) to chosen requests, or
// an answer lost after the destination acted.
class FaultyDestination final : public ForwardingDestination {
public:
    enum class Op { put, head, get, remove, list, begin, part, complete, abort };
    struct Request {
        Op op;
        std::string name;
        int part = 0;
    };
    using ForwardingDestination::ForwardingDestination;

    void put(const std::string& n, uint64_t s, const ByteProducer& p, ObjectClass c,
             const std::map<std::string, std::string>& m) override;
    std::optional<ObjectInfo> head(const std::string& n) override;
    bool get(const std::string& n, const ByteSink& s) override;
    void remove(const std::string& n) override;
    std::vector<std::pair<std::string, uint64_t>> list(const std::string& p) override;
    std::string beginUpload(const std::string& n, uint64_t ps, ObjectClass c,
                            const std::map<std::string, std::string>& m) override;
    std::string uploadPart(const std::string& n, const std::string& id, int part, uint64_t off, uint64_t size,
                           const ByteProducer& p) override;
    void completeUpload(const std::string& n, const std::string& id,
                        const std::vector<std::pair<int, std::string>>& parts) override;
    void abortUpload(const std::string& n, const std::string& id) noexcept override;

    // Requests that reached the destination, in order (a failed one is not logged).
    std::vector<Request> requests() const;
    std::vector<std::string> namesOf(Op op) const;
    size_t count(Op op) const;
    void clearLog();

    // Every request from the Nth one on (1-based, counting all requests since
    // this was set) fails as a lost connection would; 0: never.
    void failFromRequest(int n);
    // Part uploads fail once this many parts were stored; -1: never.
    int failAfterParts = -1;
    // Requests for which this answers true are refused (a DestinationRefused
    // saying the destination answered 500).
    std::function<bool(const Request&)> refuse;
    // Requests for which this answers true are carried out, but their answer
    // is lost (a lost connection after the destination acted).
    std::function<bool(const Request&)> loseAnswer;

private:
    bool enter(const Request& r);
    mutable std::mutex mutex_;
    std::vector<Request> log_;
    int failFrom_ = 0, seen_ = 0, parts_ = 0;
};

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
    // Flips a byte in the middle of the stored object's data in the server's
    // own folder (its size stays); false when it holds no such object.
    // Flips the byte at `at` (default: the middle one) of the stored object.
    bool flipStoredByte(const std::string& objectName, std::optional<uint64_t> at = std::nullopt);
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
