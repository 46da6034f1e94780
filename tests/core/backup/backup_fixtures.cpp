#include "tests/core/backup/backup_fixtures.h"
#include "tests/core/backup/s3rver_environment.h"

#include "core/backup/backup_engine.h"
#include "core/backup/crypto.h"
#include "core/platform/hex.h"
#include "core/platform/process.h"
#include "core/platform/sha256.h"
#include "tests/support/test_env.h"
#include "tests/support/wait.h"

#include <sqlite3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kx::test {

namespace stdfs = std::filesystem;

namespace {

void exec(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string e = err ? err : "?";
        sqlite3_free(err);
        throw std::runtime_error(e);
    }
}

std::string randomText(std::mt19937& rng, size_t n) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJ0123456789.,!?'";
    std::string s;
    for (size_t i = 0; i < n; ++i) s.push_back(letters[rng() % (sizeof letters - 1)]);
    return s;
}

} // namespace

void addMessages(const stdfs::path& ownerFolder, int count, unsigned seed) {
    sqlite3* db = nullptr;
    sqlite3_open((ownerFolder / "tresk.db").c_str(), &db);
    exec(db, "CREATE TABLE IF NOT EXISTS messages (id INTEGER PRIMARY KEY, handle TEXT, body TEXT, date INTEGER, "
             "blob BLOB)");
    std::mt19937 rng(seed);
    exec(db, "BEGIN");
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO messages (handle, body, date, blob) VALUES (?, ?, ?, ?)", -1, &st, nullptr);
    for (int i = 0; i < count; ++i) {
        std::string handle = "+1555" + std::to_string(rng() % 10000000);
        std::string body = randomText(rng, 20 + rng() % 300);
        std::string blob = randomText(rng, rng() % 64);
        sqlite3_bind_text(st, 1, handle.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(st, 2, body.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(st, 3, static_cast<sqlite3_int64>(rng()));
        sqlite3_bind_blob(st, 4, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    exec(db, "COMMIT");
    sqlite3_close(db);
}

void makeArchive(const stdfs::path& ownerFolder, int messages, const std::vector<size_t>& fileSizes, unsigned seed) {
    stdfs::create_directories(ownerFolder / "attachments");
    addMessages(ownerFolder, messages, seed);
    std::mt19937 rng(seed * 7 + 1);
    for (size_t size : fileSizes) {
        std::string bytes(size, '\0');
        for (auto& c : bytes) c = static_cast<char>(rng());
        std::string hash = Sha256::hexOf(bytes);
        writeAll(ownerFolder / "attachments" / hash.substr(0, 2) / hash, bytes);
    }
}

std::vector<std::string> messageRows(const stdfs::path& dbFile) {
    std::vector<std::string> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(dbFile.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return rows;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT id, handle, body, date, hex(blob) FROM messages ORDER BY id", -1, &st, nullptr);
    while (st && sqlite3_step(st) == SQLITE_ROW) {
        std::string row;
        for (int c = 0; c < 5; ++c) {
            const unsigned char* t = sqlite3_column_text(st, c);
            row += std::string(t ? reinterpret_cast<const char*>(t) : "NULL") + "|";
        }
        rows.push_back(row);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return rows;
}

std::string compareArchives(const stdfs::path& a, const stdfs::path& b) {
    auto ra = messageRows(a / "tresk.db"), rb = messageRows(b / "tresk.db");
    if (ra.empty()) return "the first archive has no messages";
    if (ra.size() != rb.size())
        return "message counts differ: " + std::to_string(ra.size()) + " vs " + std::to_string(rb.size());
    for (size_t i = 0; i < ra.size(); ++i)
        if (ra[i] != rb[i]) return "message " + std::to_string(i) + " differs";
    auto files = [](const stdfs::path& root) {
        std::vector<std::string> out;
        if (!stdfs::exists(root / "attachments")) return out;
        for (auto& e : stdfs::recursive_directory_iterator(root / "attachments"))
            if (e.is_regular_file()) out.push_back(stdfs::relative(e.path(), root).generic_string());
        std::sort(out.begin(), out.end());
        return out;
    };
    auto fa = files(a), fb = files(b);
    if (fa != fb)
        return "the attachment lists differ (" + std::to_string(fa.size()) + " vs " + std::to_string(fb.size()) + ")";
    for (const auto& f : fa)
        if (readAll(a / f) != readAll(b / f)) return "attachment " + f + " differs";
    return {};
}

bool killChildWhereItStops(const std::function<void(const std::function<void()>& stopHere)>& fn) {
    int ready[2];
    if (::pipe(ready) != 0) return false;
    pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        ::close(ready[0]);
        try {
            fn([&] {
                char c = 1;
                if (::write(ready[1], &c, 1) != 1) ::_exit(2);
                for (;;) ::pause();
            });
        } catch (...) {
        }
        ::_exit(3);
    }
    ::close(ready[1]);
    char c = 0;
    const bool stopped = ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    // Ending by itself, the child ran fn to its end; a sanitizer's report ends
    // it with a status of its own.
    if (WIFEXITED(status) && WEXITSTATUS(status) != 3)
        throw std::runtime_error("the child process ended with status " + std::to_string(WEXITSTATUS(status)));
    return stopped;
}

nlohmann::json readManifest(BackupDestination& dest, const SymmetricKey& key, const std::string& remoteName) {
    const std::string name = "kelvara/" + remoteName + ".manifest";
    std::string bytes;
    if (!dest.get(name, [&](const unsigned char* p, size_t n) { bytes.append(reinterpret_cast<const char*>(p), n); }))
        throw std::runtime_error("there is no manifest at " + name);
    return nlohmann::json::parse(TreskCrypto(key).open(bytes, name));
}

void spoilStoredCopy(BackupDestination& dest, const nlohmann::json& entry) {
    if (!entry.contains("pack")) return dest.remove(entry.at("name").get<std::string>());
    const std::string pack = entry.at("pack").get<std::string>();
    std::string bytes;
    dest.get(pack, [&](const unsigned char* p, size_t n) { bytes.append(reinterpret_cast<const char*>(p), n); });
    bytes.at(entry.at("offset").get<size_t>() + entry.at("sealedSize").get<size_t>() / 2) ^= 0x08;
    dest.put(pack, bytes.size(),
             [&](uint64_t off, unsigned char* buf, size_t n) { std::memcpy(buf, bytes.data() + off, n); },
             ObjectClass::data, {});
}

std::string storedDatabaseName(BackupDestination& dest, const SymmetricKey& key, const std::string& remoteName) {
    return readManifest(dest, key, remoteName).at("database").at("name").get<std::string>();
}

void writeFirstLayoutBackup(BackupDestination& dest, const SymmetricKey& key, const stdfs::path& ownerFolder) {
    TreskCrypto c(key);
    auto store = [&](const std::string& name, const std::string& sealed, ObjectClass kind) {
        dest.put(name, sealed.size(),
                 [&](uint64_t o, unsigned char* b, size_t n) { std::memcpy(b, sealed.data() + o, n); }, kind, {});
    };
    auto nonceOf = [](const std::string& sealed) {
        StreamNonce n = TreskCrypto::nonceOf(sealed);
        return lowerHex(n.data(), n.size());
    };
    TempDir t;
    snapshotDatabase(ownerFolder / "tresk.db", t / "snap.db");
    const std::string db = readAll(t / "snap.db");
    const std::string sealedDb = c.seal(db, "kelvara/jorin/tresk.db");
    store("kelvara/jorin/tresk.db", sealedDb, ObjectClass::data);
    nlohmann::json objects = nlohmann::json::array();
    if (stdfs::exists(ownerFolder / "attachments"))
        for (auto& f : stdfs::recursive_directory_iterator(ownerFolder / "attachments")) {
            if (!f.is_regular_file()) continue;
            const std::string rel = stdfs::relative(f.path(), ownerFolder).generic_string();
            const std::string name = "kelvara/jorin/objects/" + c.nameTag(rel);
            const std::string sealed = c.seal(readAll(f.path()), name);
            store(name, sealed, ObjectClass::data);
            objects.push_back({{"path", rel},
                               {"name", name},
                               {"size", f.file_size()},
                               {"sealedSize", sealed.size()},
                               {"nonce", nonceOf(sealed)}});
        }
    const nlohmann::json m = {{"format", 1},
                              {"createdAt", "2026-11-30T03:30:00Z"},
                              {"remoteName", "jorin/tresk.db"},
                              {"database",
                               {{"name", "kelvara/jorin/tresk.db"},
                                {"size", db.size()},
                                {"sha256", Sha256::hexOf(db)},
                                {"sealedSize", sealedDb.size()},
                                {"nonce", nonceOf(sealedDb)}}},
                              {"objects", objects}};
    const std::string manifestName = "kelvara/jorin/tresk.db.manifest";
    store(manifestName, c.seal(m.dump(), manifestName), ObjectClass::control);
}

bool FaultyDestination::enter(const Request& r) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++seen_;
    if (failFrom_ > 0 && seen_ >= failFrom_) throw BackupError("the connection was lost (test)");
    if (r.op == Op::part && failAfterParts >= 0 && parts_ >= failAfterParts)
        throw BackupError("the connection was lost (test)");
    if (refuse && refuse(r)) throw DestinationRefused(inner_->label() + " refused: it answered 500 (test)");
    if (r.op == Op::part) ++parts_;
    log_.push_back(r);
    return loseAnswer && loseAnswer(r);
}

namespace {
void lost(bool lose) {
    if (lose) throw BackupError("the connection was lost before the answer came (test)");
}
} // namespace

void FaultyDestination::put(const std::string& n, uint64_t s, const ByteProducer& p, ObjectClass c,
                            const std::map<std::string, std::string>& m) {
    bool lose = enter({Op::put, n});
    inner_->put(n, s, p, c, m);
    lost(lose);
}
std::optional<ObjectInfo> FaultyDestination::head(const std::string& n) {
    bool lose = enter({Op::head, n});
    auto r = inner_->head(n);
    lost(lose);
    return r;
}
bool FaultyDestination::get(const std::string& n, const ByteSink& s) {
    bool lose = enter({Op::get, n});
    bool r = inner_->get(n, s);
    lost(lose);
    return r;
}
void FaultyDestination::remove(const std::string& n) {
    bool lose = enter({Op::remove, n});
    inner_->remove(n);
    lost(lose);
}
std::vector<std::pair<std::string, uint64_t>> FaultyDestination::list(const std::string& p) {
    bool lose = enter({Op::list, p});
    auto r = inner_->list(p);
    lost(lose);
    return r;
}
std::string FaultyDestination::beginUpload(const std::string& n, uint64_t ps, ObjectClass c,
                                           const std::map<std::string, std::string>& m) {
    bool lose = enter({Op::begin, n});
    auto r = inner_->beginUpload(n, ps, c, m);
    lost(lose);
    return r;
}
std::string FaultyDestination::uploadPart(const std::string& n, const std::string& id, int part, uint64_t off,
                                          uint64_t size, const ByteProducer& p) {
    bool lose = enter({Op::part, n, part});
    auto r = inner_->uploadPart(n, id, part, off, size, p);
    lost(lose);
    return r;
}
void FaultyDestination::completeUpload(const std::string& n, const std::string& id,
                                       const std::vector<std::pair<int, std::string>>& parts) {
    bool lose = enter({Op::complete, n});
    inner_->completeUpload(n, id, parts);
    lost(lose);
}
void FaultyDestination::abortUpload(const std::string& n, const std::string& id) noexcept {
    try {
        enter({Op::abort, n});
    } catch (...) {
        return;
    }
    inner_->abortUpload(n, id);
}

std::vector<FaultyDestination::Request> FaultyDestination::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}
std::vector<std::string> FaultyDestination::namesOf(Op op) const {
    std::vector<std::string> out;
    for (const auto& r : requests())
        if (r.op == op) out.push_back(r.name);
    return out;
}
size_t FaultyDestination::count(Op op) const { return namesOf(op).size(); }
void FaultyDestination::clearLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.clear();
    parts_ = 0;
}
void FaultyDestination::failFromRequest(int n) {
    std::lock_guard<std::mutex> lock(mutex_);
    failFrom_ = n;
    seen_ = 0;
}

std::optional<std::string> findS3rver() {
    const char* path = std::getenv("PATH");
    if (auto p = findExecutable("s3rver", path ? path : "")) return p;
    // The test tools folder of this source tree (scripts/setup.sh installs it there).
    stdfs::path here = stdfs::path(__FILE__).parent_path(); // tests/core/backup
    stdfs::path local = here.parent_path().parent_path().parent_path() / "build/npm-tools/node_modules/.bin/s3rver";
    if (stdfs::exists(local)) return local.string();
    // The same folder beside the test program (build/tests/..), wherever the
    // tests are run from (ctest runs them in build/tests).
    std::error_code ec;
    stdfs::path beside = stdfs::read_symlink("/proc/self/exe", ec).parent_path().parent_path() /
                         "npm-tools/node_modules/.bin/s3rver";
    if (!ec && stdfs::exists(beside)) return beside.string();
    return std::nullopt;
}

S3Server::S3Server() {
    auto p = findS3rver();
    if (!p) throw std::runtime_error("s3rver is not installed");
    program_ = *p;
    dir_ = stdfs::temp_directory_path() / ("kx-s3rver-" + std::to_string(::getpid()) + "-" +
                                           std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    stdfs::create_directories(dir_);
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    ::close(s);
    start();
}

S3Server::~S3Server() {
    stop();
    std::error_code ec;
    stdfs::remove_all(dir_, ec);
}

void S3Server::start() {
    std::string port = std::to_string(port_);
    std::vector<std::string> args = {program_, "-d", dir_.string(),        "-a",   "127.0.0.1", "-p",
                                     port,     "-s", "--configure-bucket", kBucket};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> env = kx::test::s3rverEnvironment();
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, program_.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("could not start s3rver");
    pid_ = pid;
    // The server makes the bucket before it starts listening, so a connection
    // means it is ready.
    auto listening = [&] {
        int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port_));
        const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(s);
        return ok;
    };
    if (waitUntil([&] { return listening() && stdfs::is_directory(dir_ / kBucket); }, std::chrono::seconds(20))) return;
    stop();
    throw std::runtime_error("s3rver did not start listening");
}

void S3Server::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!waitUntil([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; }, std::chrono::seconds(3))) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

void S3Server::restart() { start(); }

bool S3Server::flipStoredByte(const std::string& objectName, std::optional<uint64_t> at) {
    const std::string tag = stdfs::path(objectName).filename().string();
    bool flipped = false;
    for (auto& f : stdfs::recursive_directory_iterator(dir_)) {
        // (s3rver keeps an object's data as "<name>._S3rver_object")
        if (f.is_regular_file() && f.path().filename().string() == tag + "._S3rver_object") {
            std::string bytes = readAll(f.path());
            if (at.value_or(0) >= bytes.size()) continue;
            bytes[at ? *at : bytes.size() / 2] ^= 0x08;
            writeAll(f.path(), bytes);
            flipped = true;
        }
    }
    return flipped;
}

} // namespace kx::test
