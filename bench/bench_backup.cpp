// Backup speed, printed side by side with plain copies of the same bytes:
//   1. a folder destination versus `cp -r` of the archive folder (target: within 1.5x)
//   2. an unchanged second backup (targets: under 1% of the bytes, under 10% of the first run's time)
//   3. a first backup killed (SIGKILL) at half way and run again (target: the second run sends under 55%)
//   4. a loopback s3rver versus `curl` uploading the same files unencrypted (target: within 2x)
//   5. for an archive of many small files (a sixteenth of the size, files of 4 to
//      44 KiB), backup and restore on the loopback s3rver beside the same on a
//      folder (target: within 3x each), and the size stored at the folder beside
//      a restic repository of the same archive (target: within 1.1x)
// 1, 4 and 5 are measured side by side in three rounds (the machine may be shared,
// so one pair alone says little); the round with the median ratio is the figure.
//
//   6. what an ordinary run pays for the check of the backup it replaces (does it
//      hold anything the local archive lacks?), for the contents its own
//      manifest records and for keeping their digest for the next run's check,
//      on an archive of 100,000 messages, as a share of that
//      run's time (target: under 5%), and a merge of 2,000 messages that only the
//      backup held beside ingesting them into the archive that lacks them
//      (target: within 3x)
//
//   bench_backup [megabytes=1024] [s3rver program]
//   bench_backup merge        (figure 6 only)
//   bench_backup folder|small [megabytes=1024]   (figure 1, or figure 5, only)
//
// The archive is generated here: about a tenth of the bytes in "tresk.db", the
// rest in attachment files of 256 KiB to 8 MiB of random bytes. Each backup run
// is a complete one as the application makes it: snapshot, encryption, upload,
// and read-back verification.
#include "core/archive/tresk_store_writer.h"
#include "core/backup/backup_engine.h"
#include "core/backup/backup_merge.h"
#include "core/backup/local_destination.h"
#include "core/backup/record_memory.h"
#include "core/backup/s3_destination.h"
#include "core/keys/symmetric_key.h"
#include "core/platform/fs.h"
#include "core/platform/process.h"
#include "tests/core/backup/hooked_destination.h"
#include "tests/core/backup/s3rver_environment.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <thread>

extern char** environ;
namespace stdfs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRounds = 3;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

void fill(std::string& s, std::mt19937_64& rng) {
    for (size_t i = 0; i + 8 <= s.size(); i += 8) {
        uint64_t v = rng();
        std::memcpy(s.data() + i, &v, 8);
    }
}

// Message-like text: words drawn from a small vocabulary, as chats repeat them.
void fillText(std::string& s, std::mt19937_64& rng) {
    static const char* words[] = {"ok",     "see",   "you",  "tomorrow", "at",     "the",   "station", "love",
                                  "thanks", "lunch", "haha", "where",    "are",    "we",    "meeting", "sure",
                                  "photo",  "from",  "last", "weekend",  "call",   "me",    "later",   "home",
                                  "soon",   "what",  "time", "does",     "dinner", "start", "yes",     "no"};
    s.clear();
    while (s.size() < 2000) {
        s += words[rng() % (sizeof words / sizeof *words)];
        s += ' ';
    }
    s.resize(2000);
}

uint64_t makeArchive(const stdfs::path& owner, uint64_t bytes, uint64_t minFile = 256 * 1024,
                     uint64_t fileSpread = 8 << 20, bool textRows = false) {
    stdfs::create_directories(owner / "attachments");
    std::mt19937_64 rng(42);
    uint64_t dbBytes = bytes / 10;
    sqlite3* db = nullptr;
    sqlite3_open((owner / "tresk.db").c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; CREATE TABLE messages(id INTEGER PRIMARY KEY, body BLOB); BEGIN;",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO messages(body) VALUES (?)", -1, &st, nullptr);
    std::string row(2000, '\0');
    for (uint64_t done = 0; done < dbBytes; done += row.size()) {
        if (textRows) fillText(row, rng);
        else fill(row, rng);
        sqlite3_bind_blob(st, 1, row.data(), static_cast<int>(row.size()), SQLITE_STATIC);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT; PRAGMA wal_checkpoint(TRUNCATE);", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    uint64_t total = stdfs::file_size(owner / "tresk.db");
    int n = 0;
    while (total < bytes) {
        size_t size = static_cast<size_t>(std::min<uint64_t>(minFile + rng() % fileSpread, bytes - total));
        std::string data(size, '\0');
        fill(data, rng);
        char name[64];
        std::snprintf(name, sizeof name, "%02x/%016llx%08d", n % 256, static_cast<unsigned long long>(rng()), n);
        stdfs::path p = owner / "attachments" / name;
        stdfs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
        total += size;
        ++n;
    }
    return total;
}

int run(const std::string& cmd) { return std::system(cmd.c_str()); }

struct Server {
    pid_t pid = -1;
    int port = 0;
    ~Server() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

bool startS3rver(Server& s, const std::string& program, const stdfs::path& dir) {
    int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len);
    s.port = ntohs(addr.sin_port);
    ::close(sock);
    std::vector<std::string> args =
        {program, "-d", dir.string(), "-a", "127.0.0.1", "-p", std::to_string(s.port), "-s", "--configure-bucket",
         "bench"};
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
    int rc = posix_spawn(&s.pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return false;
    for (int i = 0; i < 200; ++i) {
        int c = ::socket(AF_INET, SOCK_STREAM, 0);
        addr.sin_port = htons(static_cast<uint16_t>(s.port));
        bool ok = ::connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(c);
        if (ok) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// Counts the bytes actually handed to the destination (not the sizes of the
// stores begun), and tells onBytes the running total after each piece.
class ProducedBytes final : public kx::test::ForwardingDestination {
public:
    using ForwardingDestination::ForwardingDestination;
    void put(const std::string& n, uint64_t s, const kx::ByteProducer& p, kx::ObjectClass c,
             const std::map<std::string, std::string>& m) override {
        inner_->put(n, s, counting(p), c, m);
    }
    std::string uploadPart(const std::string& n, const std::string& id, int part, uint64_t off, uint64_t size,
                           const kx::ByteProducer& p) override {
        return inner_->uploadPart(n, id, part, off, size, counting(p));
    }
    std::atomic<uint64_t> handed{0};
    std::function<void(uint64_t)> onBytes;

private:
    kx::ByteProducer counting(const kx::ByteProducer& p) {
        return [this, p](uint64_t off, unsigned char* buf, size_t n) {
            p(off, buf, n);
            const uint64_t now = handed += n;
            if (onBytes) onBytes(now);
        };
    }
};

void row(const char* what, double base, double ours, double target) {
    std::printf("%-34s %9.2f s %11.2f s %8.2fx   (target %.1fx: %s)\n", what, base, ours, ours / base, target,
                ours / base <= target ? "met" : "NOT met");
}

// One side-by-side measurement: the plain copy, then Kelvara's backup of the same bytes.
struct Round {
    double copy = 0, ours = 0;
    kx::UploadReceipt receipt;
};

// Prints the round with the median ratio as the figure, then every round.
void medianRow(const char* what, const std::vector<Round>& rounds, double target, const char* done) {
    std::vector<Round> byRatio = rounds;
    std::sort(byRatio.begin(), byRatio.end(),
              [](const Round& a, const Round& b) { return a.ours / a.copy < b.ours / b.copy; });
    const Round& median = byRatio[byRatio.size() / 2];
    row(what, median.copy, median.ours, target);
    const bool verified = median.receipt.verification == kx::UploadReceipt::Verification::verified;
    std::printf("    (median of %zu rounds; %.1f MB sealed and %s", rounds.size(), median.receipt.bytes / 1048576.0,
                done);
    if (std::strcmp(done, "restored") != 0) { // what the backup itself checked
        std::printf(", %s", verified ? "verified" : "not verified");
        if (verified && median.receipt.storeConfirmed)
            std::printf(": %zu objects by the store's own checksum, to be read back in later runs' rotation",
                        median.receipt.storeConfirmed);
        else if (verified) std::printf(": read back");
    }
    std::printf(")\n");
    for (size_t i = 0; i < rounds.size(); ++i)
        std::printf("    round %zu: %.2f s vs %.2f s = %.2fx\n", i + 1, rounds[i].copy, rounds[i].ours,
                    rounds[i].ours / rounds[i].copy);
}

// Messages "<prefix><from>" ... "<prefix><to - 1>" of one conversation, as an ingest stores them.
double ingestMessages(const stdfs::path& db, int from, int to) {
    const auto t0 = Clock::now();
    const kx::Date now = std::chrono::system_clock::now();
    auto w = kx::TreskStoreWriter::open(db.string(), "jorin", now);
    kx::Source source;
    source.id = "mac";
    source.owner = "jorin";
    source.path = "/Users/jorin/Library/Messages";
    const int64_t row = w->sourceRow(source, now);
    std::mt19937_64 rng(static_cast<uint64_t>(from));
    for (int start = from; start < to; start += 5000) {
        w->begin();
        for (int i = start; i < std::min(to, start + 5000); ++i) {
            kx::MessageRecord m;
            m.guid = "M-" + std::to_string(i);
            m.chatGuid = "iMessage;-;+1555000" + std::to_string(i % 40);
            m.handle = "+1555000" + std::to_string(i % 40);
            m.service = "iMessage";
            m.text = std::string(40 + rng() % 120, 'x');
            m.date = kx::Date(std::chrono::seconds(1'600'000'000 + i * 60));
            m.isFromMe = i % 2;
            w->addMessage(m, row, now);
        }
        w->commit();
    }
    return seconds(t0, Clock::now());
}

uint64_t folderBytes(const stdfs::path& folder) {
    uint64_t total = 0;
    for (auto& e : stdfs::recursive_directory_iterator(folder))
        if (e.is_regular_file()) total += e.file_size();
    return total;
}

// After figure 5: a day's messages and one more file, backed up again at the
// folder and by restic into its repository. A backup keeps the generation it
// replaced whole and its manifest twice; what that costs is said beside
// restic's second snapshot, which keeps the first.
void secondGeneration(const stdfs::path& work, const stdfs::path& small, const kx::SymmetricKey& key,
                      uint64_t resticFirst) {
    const stdfs::path dest = work / "small-dest";
    const std::string manifest = "kelvara/jorin/tresk.db.manifest";
    const kx::TreskCrypto crypto(key);
    auto named = [&](const std::string& file) {
        std::ifstream in(dest / file, std::ios::binary);
        const std::string sealed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const nlohmann::json m = nlohmann::json::parse(crypto.open(sealed, manifest));
        std::set<std::string> out = {m["database"]["name"].get<std::string>()};
        for (const auto& o : m["objects"]) out.insert(o.value("pack", o.value("name", "")));
        return out;
    };
    const uint64_t first = folderBytes(dest);
    run("sqlite3 '" + (small / "tresk.db").string() +
        "' 'INSERT INTO messages(body) SELECT body FROM messages ORDER BY id LIMIT 200' >/dev/null");
    std::mt19937_64 rng(7);
    std::string file(64 << 10, '\0');
    fill(file, rng);
    std::ofstream(small / "attachments/ff/a-day-later", std::ios::binary)
        .write(file.data(), static_cast<std::streamsize>(file.size()));
    auto folder = std::make_shared<kx::LocalDestination>(kx::LocalDestination::volume(dest.string(), "bench"));
    kx::BackupEngine(kx::TreskCrypto(key), folder, "kelvara", std::nullopt)
        .backup("jorin/tresk.db", small / "tresk.db", kx::VerificationLevel::readBack);
    const uint64_t ours = folderBytes(dest);
    // What only the previous generation names, and the manifest's second copy.
    uint64_t kept = stdfs::file_size(dest / (manifest + kx::kManifestCopySuffix));
    const std::set<std::string> latest = named(manifest);
    for (const auto& n : named(manifest + kx::kReplacedManifestSuffix))
        if (!latest.count(n)) kept += stdfs::file_size(dest / n);
    const std::string repo = (work / "restic-repo").string();
    if (run("RESTIC_PASSWORD=bench restic backup --repo '" + repo + "' -q '" + small.string() + "' >/dev/null 2>&1")) {
        std::printf("restic reported a failure on its second snapshot\n");
        return;
    }
    const uint64_t restic = folderBytes(work / "restic-repo");
    std::printf("%-34s %8.1f MB at the folder after a second backup (%.1f MB after the first); %.2f MB of it keep "
                "the previous generation whole and the manifest twice (%.1f%%)\n",
                "second generation", ours / 1048576.0, first / 1048576.0, kept / 1048576.0, 100.0 * kept / ours);
    std::printf("%-34s %8.1f MB in the restic repository after its second snapshot (%.1f MB after the first); "
                "Kelvara stores %.2fx that (target 1.1x: %s)\n",
                "", restic / 1048576.0, resticFirst / 1048576.0, static_cast<double>(ours) / restic,
                ours <= restic * 11 / 10 ? "met" : "NOT met");
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void mergeFigures(const stdfs::path& work, const kx::SymmetricKey& key) {
    constexpr int kMessages = 100000, kMissing = 2000, kDaily = 200;
    std::printf("\n6. The check of the backup in place, and a merge (an archive of %d messages)\n", kMessages);
    const stdfs::path base = work / "merge";
    stdfs::remove_all(base);
    const stdfs::path a = base / "a/jorin/tresk.db", b = base / "b/jorin/tresk.db";
    stdfs::create_directories(base / "dest");
    auto dest = std::make_shared<kx::LocalDestination>(kx::LocalDestination::volume((base / "dest").string(), "x"));
    const double ingestAll = ingestMessages(a, 0, kMessages);
    auto engine = [&](const stdfs::path& home, std::function<void(const char*)> step = {}) {
        kx::BackupEngine::Options o;
        o.generations = home / "backup-generations.json";
        o.mergeStep = std::move(step);
        return kx::BackupEngine(kx::TreskCrypto(key), dest, "kelvara", home / "resume-state.json", o);
    };
    engine(base / "a").backup("jorin/tresk.db", a, kx::VerificationLevel::readBack);

    // Ordinary runs: a day's new messages, then a backup; what the check costs is timed beside it.
    const kx::RecordMemory memory(base / "a" / kx::RecordMemory::kFileName);
    const kx::TreskCrypto crypto(key);
    kx::RecordMemory scratchMemory(base / "scratch-records.json"); // (the run keeps its own)
    std::vector<double> runs, checks, shares;
    std::vector<int64_t> read, records;
    int next = kMessages;
    for (int i = 0; i < kRounds; ++i) {
        const auto contents = kx::archiveContents(a); // what the manifest in place now records
        ingestMessages(a, next, next + kDaily);
        next += kDaily;
        // What the run pays: the check (from the digest the last run kept), the
        // contents of the manifest it writes (carried on over the day's records),
        // and keeping their digest for the next run.
        const auto t0 = Clock::now();
        const std::string identity = kx::RecordMemory::identityOf(a);
        const auto known = memory.recall(crypto, identity, dest->resumeIdentity(), "kelvara/jorin/tresk.db.manifest");
        const kx::HeldRecords held = kx::recordsHeld(a, *contents, known ? &*known : nullptr);
        kx::RecordDigest taken;
        const bool holds = held.all && kx::archiveContents(a, &*held.digest, &taken).has_value();
        scratchMemory.remember(crypto, identity, dest->resumeIdentity(), "kelvara/jorin/tresk.db.manifest", taken);
        const auto t1 = Clock::now();
        read.push_back(held.read);
        records.push_back(taken.records());
        int fetched = 0;
        engine(base / "a", [&](const char* s) {
            fetched += std::strcmp(s, "fetched") == 0;
        }).backup("jorin/tresk.db", a, kx::VerificationLevel::readBack);
        const auto t2 = Clock::now();
        if (!holds || fetched) std::printf("    round %d: the ordinary run fetched the backup's database\n", i + 1);
        checks.push_back(seconds(t0, t1));
        runs.push_back(seconds(t1, t2));
        shares.push_back(100.0 * checks.back() / runs.back());
    }
    const double share = median(shares);
    std::printf("%-34s %9.3f s of a %.2f s run = %.1f%%   (target under 5%%: %s)\n", "check on an ordinary run",
                median(checks), median(runs), share, share < 5.0 ? "met" : "NOT met");
    for (int i = 0; i < kRounds; ++i)
        std::printf("    round %d: %.3f s of %.2f s = %.1f%% (the check read %lld of %lld records)\n", i + 1,
                    checks[static_cast<size_t>(i)], runs[static_cast<size_t>(i)], shares[static_cast<size_t>(i)],
                    static_cast<long long>(read[static_cast<size_t>(i)]),
                    static_cast<long long>(records[static_cast<size_t>(i)]));

    // A rebuilt archive that lacks the last messages the backup holds.
    std::vector<double> merges, ingests, ratios;
    for (int i = 0; i < kRounds; ++i) {
        stdfs::remove_all(b.parent_path().parent_path());
        ingestMessages(b, 0, next - kMissing);
        // The missing ones, ingested into a copy of the archive that lacks them.
        const stdfs::path probe = base / ("probe" + std::to_string(i)) / "jorin/tresk.db";
        stdfs::create_directories(probe.parent_path());
        stdfs::copy_file(b, probe);
        const double ingest = ingestMessages(probe, next - kMissing, next);
        Clock::time_point fetchedAt{}, committedAt{};
        const kx::UploadReceipt r = engine(base / "b", [&](const char* s) {
                                        (std::strcmp(s, "fetched") == 0 ? fetchedAt : committedAt) = Clock::now();
                                    }).backup("jorin/tresk.db", b, kx::VerificationLevel::readBack);
        merges.push_back(seconds(fetchedAt, committedAt));
        ingests.push_back(ingest);
        ratios.push_back(merges.back() / ingest);
        if (!r.merged || r.merged->messagesAdded != kMissing)
            std::printf("    round %d: the merge brought back %lld messages, not %d\n", i + 1,
                        r.merged ? static_cast<long long>(r.merged->messagesAdded) : 0LL, kMissing);
        engine(base / "a").backup("jorin/tresk.db", a, kx::VerificationLevel::readBack); // back to A's order
    }
    const double ratio = median(ratios);
    std::printf("%-34s %9.2f s   ingest %.2f s = %.2fx  (target within 3x: %s)\n", "merge of 2,000 missing messages",
                median(merges), median(ingests), ratio, ratio <= 3.0 ? "met" : "NOT met");
    for (int i = 0; i < kRounds; ++i)
        std::printf("    round %d: %.2f s vs %.2f s = %.2fx\n", i + 1, merges[static_cast<size_t>(i)],
                    ingests[static_cast<size_t>(i)], ratios[static_cast<size_t>(i)]);
    std::printf("    (ingesting all %d messages took %.2f s: the merge took %.0f%% of that)\n", kMessages, ingestAll,
                100.0 * median(merges) / ingestAll);
}

} // namespace

int main(int argc, char** argv) {
    uint64_t mb = 1024;
    if (argc > 1 && std::strcmp(argv[1], "merge") == 0) {
        stdfs::path work = stdfs::temp_directory_path() / ("kx-bench-merge-" + std::to_string(::getpid()));
        if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
            char load[64] = {};
            if (std::fgets(load, sizeof load, f)) std::printf("Load average while measuring: %s", load);
            std::fclose(f);
        }
        mergeFigures(work, kx::SymmetricKey::generate());
        std::error_code ec;
        stdfs::remove_all(work, ec);
        return 0;
    }
    // One figure alone: "folder" (1) or "small" (5).
    std::string only;
    if (argc > 1 && (std::strcmp(argv[1], "folder") == 0 || std::strcmp(argv[1], "small") == 0)) {
        only = argv[1];
        --argc;
        ++argv;
    }
    if (argc > 1) {
        char* end = nullptr;
        mb = std::strtoull(argv[1], &end, 10);
        if (end == argv[1] || *end != '\0' || mb == 0) {
            std::fprintf(stderr, "usage: %s [folder|small] [megabytes=1024] [s3rver program]\n", argv[0]);
            return 2;
        }
    }
    stdfs::path work = stdfs::temp_directory_path() / ("kx-bench-backup-" + std::to_string(::getpid()));
    stdfs::create_directories(work);
    std::printf("Generating a %llu MB archive in %s ...\n", static_cast<unsigned long long>(mb), work.c_str());
    uint64_t bytes = makeArchive(work / "root/jorin", only == "small" ? 1 : mb << 20);
    size_t files = 0;
    for (auto& e : stdfs::recursive_directory_iterator(work / "root/jorin/attachments")) files += e.is_regular_file();
    std::printf("Archive: %.1f MB in tresk.db and %zu attachment files\n", bytes / 1048576.0, files);
    if (std::FILE* f = std::fopen("/proc/loadavg", "r")) {
        char load[64] = {};
        if (std::fgets(load, sizeof load, f)) std::printf("Load average while measuring: %s", load);
        std::fclose(f);
    }
    std::printf("\n");
    std::printf("%-34s %11s %13s %9s\n", "", "plain copy", "Kelvara", "ratio");

    auto key = kx::SymmetricKey::generate();

    // 1. Folder destination versus cp.
    std::vector<Round> rounds;
    std::shared_ptr<kx::LocalDestination> folder;
    double firstBackup = 0; // the last round's, whose folder the next figure uses
    for (int i = 0; i < (only == "small" ? 0 : kRounds); ++i) {
        stdfs::remove_all(work / "cp-dest");
        stdfs::remove_all(work / "folder-dest");
        stdfs::remove(work / "resume-state.json");
        stdfs::create_directories(work / "cp-dest");
        run("sync");
        auto t0 = Clock::now();
        run("cp -r '" + (work / "root/jorin").string() + "' '" + (work / "cp-dest").string() + "/' && sync");
        auto t1 = Clock::now();
        stdfs::create_directories(work / "folder-dest");
        folder = std::make_shared<kx::LocalDestination>(
            kx::LocalDestination::volume((work / "folder-dest").string(), "bench"));
        run("sync");
        auto t2 = Clock::now();
        Round r;
        r.receipt = kx::BackupEngine(kx::TreskCrypto(key), folder, "kelvara", work / "resume-state.json")
                        .backup("jorin/tresk.db", work / "root/jorin/tresk.db", kx::VerificationLevel::readBack);
        run("sync");
        auto t3 = Clock::now();
        r.copy = seconds(t0, t1);
        r.ours = seconds(t2, t3);
        firstBackup = r.ours;
        rounds.push_back(r);
    }
    if (!rounds.empty()) medianRow("folder destination vs cp -r + sync", rounds, 1.5, "written");
    stdfs::remove_all(work / "cp-dest");
    if (only == "folder") {
        stdfs::remove_all(work);
        return 0;
    }

    // 2. An unchanged second backup to the same folder: what it sends and how long it takes.
    if (only.empty()) {
        auto counted = std::make_shared<kx::test::HookedDestination>(folder);
        auto s0 = Clock::now();
        kx::UploadReceipt again = kx::BackupEngine(kx::TreskCrypto(key), counted, "kelvara", work / "resume-state.json")
                                      .backup("jorin/tresk.db", work / "root/jorin/tresk.db",
                                              kx::VerificationLevel::readBack);
        auto s1 = Clock::now();
        const double share = 100.0 * static_cast<double>(counted->bytesSent.load()) / static_cast<double>(bytes);
        const double timeShare = 100.0 * seconds(s0, s1) / firstBackup;
        std::printf("%-34s %8.2f%% of the archive sent (target under 1%%: %s)\n", "unchanged second backup", share,
                    share < 1.0 ? "met" : "NOT met");
        std::printf("%-34s %8.2f s, %.1f%% of the first (target under 10%%: %s); %zu stored objects read back\n", "",
                    seconds(s0, s1), timeShare, timeShare < 10.0 ? "met" : "NOT met", again.storedChecked);
    }
    stdfs::remove_all(work / "folder-dest");

    // 3. A first backup killed (SIGKILL, in a process of its own) once half the
    //    archive's bytes were handed to the destination, then run again.
    if (only.empty()) {
        stdfs::create_directories(work / "resume-dest");
        auto folderDest = [&] {
            return std::make_shared<kx::LocalDestination>(
                kx::LocalDestination::volume((work / "resume-dest").string(), "bench"));
        };
        auto backup = [&](std::shared_ptr<kx::BackupDestination> d) {
            kx::BackupEngine(kx::TreskCrypto(key), std::move(d), "kelvara", work / "resume-half.json")
                .backup("jorin/tresk.db", work / "root/jorin/tresk.db", kx::VerificationLevel::readBack);
        };
        int report[2];
        if (::pipe(report) != 0) return 1;
        std::fflush(stdout);
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(report[0]);
            auto counted = std::make_shared<ProducedBytes>(folderDest());
            std::atomic_flag reported = ATOMIC_FLAG_INIT;
            counted->onBytes = [&](uint64_t handed) {
                if (handed < bytes / 2) return;
                if (reported.test_and_set()) // another thread got there first: it kills this process
                    for (;;) ::pause();
                if (::write(report[1], &handed, sizeof handed) != sizeof handed) ::_exit(3);
                ::kill(::getpid(), SIGKILL);
            };
            try {
                backup(counted);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "the first run failed: %s\n", e.what());
            }
            ::_exit(1); // ended before half way
        }
        ::close(report[1]);
        uint64_t first = 0;
        bool killed = ::read(report[0], &first, sizeof first) == sizeof first;
        ::close(report[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        killed = killed && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
        if (!killed) {
            std::printf("%-34s the first run was not killed at half way (%s %d); no figure\n", "resumed first backup",
                        WIFSIGNALED(status) ? "signal" : "exit code",
                        WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
        } else {
            auto counted = std::make_shared<ProducedBytes>(folderDest());
            backup(counted);
            const uint64_t second = counted->handed.load();
            const double share = 100.0 * static_cast<double>(second) / static_cast<double>(bytes);
            std::printf("%-34s %8.2f%% of the archive sent after a kill at %.0f%% (target under 55%%: %s)\n",
                        "resumed first backup", share, 100.0 * static_cast<double>(first) / static_cast<double>(bytes),
                        share < 55.0 ? "met" : "NOT met");
            std::printf("%-34s %8.2f%% sent by both runs together\n", "",
                        100.0 * static_cast<double>(first + second) / static_cast<double>(bytes));
        }
        stdfs::remove_all(work / "resume-dest");
    }

    // 4. Loopback S3 versus curl.
    std::string program = argc > 2 ? argv[2] : "";
    if (program.empty()) {
        const char* path = std::getenv("PATH");
        if (auto p = kx::findExecutable("s3rver", path ? path : "")) program = *p;
        // The build's own npm tools: beside this program's folder, or beside the sources.
        for (const stdfs::path& local :
             {stdfs::absolute(argv[0]).parent_path().parent_path() / "npm-tools/node_modules/.bin/s3rver",
              stdfs::path(__FILE__).parent_path().parent_path() / "build/npm-tools/node_modules/.bin/s3rver"})
            if (program.empty() && stdfs::exists(local)) program = local.string();
    }
    if (program.empty()) {
        std::printf("s3rver is not installed; the object-store comparison was skipped.\n");
    } else {
        Server curlServer;
        if (!startS3rver(curlServer, program, work / "s3-curl")) {
            std::printf("s3rver did not start\n");
        } else {
            Server ourServer;
            startS3rver(ourServer, program, work / "s3-ours");
            auto dest = std::make_shared<kx::S3Destination>(
                kx::S3Destination::compatible("http://127.0.0.1:" + std::to_string(ourServer.port), "us-east-1",
                                              "S3RVER", "S3RVER", "bench"));
            // curl uploading every file of an archive folder unencrypted, `parallel` side by side.
            auto curlUpload = [&](const stdfs::path& root, const std::string& under, int parallel) {
                std::ofstream cfg(work / "curl.cfg");
                const std::string base = "http://127.0.0.1:" + std::to_string(curlServer.port) + "/bench/" + under +
                                         "/";
                cfg << "silent\nfail\n";
                for (auto& e : stdfs::recursive_directory_iterator(root)) {
                    if (!e.is_regular_file()) continue;
                    std::string rel = stdfs::relative(e.path(), root).generic_string();
                    cfg << "upload-file = \"" << e.path().string() << "\"\nurl = \"" << base << rel << "\"\n";
                }
                cfg.close();
                // curl signs but does not send x-amz-content-sha256 itself; declare the body unsigned.
                const std::string side = parallel > 1 ? " --no-progress-meter --parallel --parallel-max " +
                                                            std::to_string(parallel)
                                                      : "";
                const int rc = run("curl" + side +
                                   " --aws-sigv4 aws:amz:us-east-1:s3 --user S3RVER:S3RVER -H 'x-amz-content-sha256: "
                                   "UNSIGNED-PAYLOAD' -K '" +
                                   (work / "curl.cfg").string() + "' >/dev/null");
                if (rc != 0) std::printf("curl reported a failure (%d)\n", rc);
            };
            std::vector<Round> s3Rounds;
            for (int i = 0; i < (only.empty() ? kRounds : 0); ++i) { // each round under names of its own
                const std::string round = std::to_string(i);
                auto c0 = Clock::now();
                curlUpload(work / "root/jorin", "plain-" + round, 1);
                auto c1 = Clock::now();
                Round r;
                auto k0 = Clock::now();
                r.receipt = kx::BackupEngine(kx::TreskCrypto(key), dest, "kelvara-" + round,
                                             work / ("resume-s3-" + round))
                                .backup("jorin/tresk.db", work / "root/jorin/tresk.db",
                                        kx::VerificationLevel::readBack);
                auto k1 = Clock::now();
                r.copy = seconds(c0, c1);
                r.ours = seconds(k0, k1);
                s3Rounds.push_back(r);
            }
            if (!s3Rounds.empty()) medianRow("loopback s3rver vs curl upload", s3Rounds, 2.0, "uploaded");

            // 5. An archive of many small files, as a phone's is: backup and
            //    restore on the object store beside the same on a folder.
            const stdfs::path small = work / "small/jorin";
            const uint64_t smallBytes = makeArchive(small, std::max<uint64_t>(mb / 16, 16) << 20, 4096, 40960, true);
            size_t smallFiles = 0;
            for (auto& e : stdfs::recursive_directory_iterator(small / "attachments"))
                smallFiles += e.is_regular_file();
            std::printf("\nAn archive of %.1f MB in %zu files:\n", smallBytes / 1048576.0, smallFiles + 1);
            std::vector<Round> backups, restores;
            uint64_t storedBytes = 0;
            for (int i = 0; i < kRounds; ++i) {
                const std::string round = "small-" + std::to_string(i);
                stdfs::remove_all(work / "small-dest");
                stdfs::create_directories(work / "small-dest");
                auto smallFolder = std::make_shared<kx::LocalDestination>(
                    kx::LocalDestination::volume((work / "small-dest").string(), "bench"));
                kx::BackupEngine onFolder(kx::TreskCrypto(key), smallFolder, "kelvara", std::nullopt);
                kx::BackupEngine onStore(kx::TreskCrypto(key), dest, "kelvara-" + round, std::nullopt);
                Round b, r;
                auto t0 = Clock::now();
                // (Both destinations make what they store durable themselves; no sync.)
                onFolder.backup("jorin/tresk.db", small / "tresk.db", kx::VerificationLevel::readBack);
                auto t1 = Clock::now();
                b.receipt = onStore.backup("jorin/tresk.db", small / "tresk.db", kx::VerificationLevel::readBack);
                auto t2 = Clock::now();
                stdfs::remove_all(work / "restored");
                onFolder.restore("jorin/tresk.db", work / "restored/folder");
                auto t3 = Clock::now();
                onStore.restore("jorin/tresk.db", work / "restored/store");
                auto t4 = Clock::now();
                b.copy = seconds(t0, t1);
                b.ours = seconds(t1, t2);
                r.copy = seconds(t2, t3);
                r.ours = seconds(t3, t4);
                r.receipt = b.receipt;
                backups.push_back(b);
                restores.push_back(r);
                storedBytes = 0;
                for (auto& e : stdfs::recursive_directory_iterator(work / "small-dest"))
                    if (e.is_regular_file()) storedBytes += e.file_size();
            }
            std::printf("%-34s %11s %13s %9s\n", "", "folder", "object store", "ratio");
            medianRow("backup, object store vs folder", backups, 3.0, "uploaded");
            medianRow("restore, object store vs folder", restores, 3.0, "restored");
            // The store's own floor: curl sending the same files unencrypted, as
            // many side by side as the backup sends, each a request of its own.
            std::vector<double> floors;
            for (int i = 0; i < kRounds; ++i) {
                const auto c0 = Clock::now();
                curlUpload(small, "small-plain-" + std::to_string(i), 8);
                floors.push_back(seconds(c0, Clock::now()));
            }
            std::printf("%-34s %9.2f s  (curl, unencrypted, 8 side by side; rounds %.2f, %.2f, %.2f s)\n",
                        "same files to the store, plain", median(floors), floors[0], floors[1], floors[2]);
            std::printf("%-34s %8.1f MB stored for %.1f MB archived (%.2fx)\n", "stored size at the folder",
                        storedBytes / 1048576.0, smallBytes / 1048576.0,
                        static_cast<double>(storedBytes) / static_cast<double>(smallBytes));
            // restic (which compresses) on the same archive, when it is installed.
            const char* path = std::getenv("PATH");
            if (kx::findExecutable("restic", path ? path : "")) {
                const std::string repo = (work / "restic-repo").string();
                const int rc = run("RESTIC_PASSWORD=bench restic init --repo '" + repo +
                                   "' -q >/dev/null 2>&1 && RESTIC_PASSWORD=bench restic backup --repo '" + repo +
                                   "' -q '" + small.string() + "' >/dev/null 2>&1");
                uint64_t resticBytes = 0;
                for (auto& e : stdfs::recursive_directory_iterator(work / "restic-repo"))
                    if (e.is_regular_file()) resticBytes += e.file_size();
                if (rc != 0) std::printf("restic reported a failure (%d)\n", rc);
                else
                    std::printf("%-34s %8.1f MB in a restic repository; Kelvara stores %.2fx that (target 1.1x: %s)\n",
                                "", resticBytes / 1048576.0,
                                static_cast<double>(storedBytes) / static_cast<double>(resticBytes),
                                storedBytes <= resticBytes * 11 / 10 ? "met" : "NOT met");
                if (rc == 0) secondGeneration(work, small, key, resticBytes);
            }
        }
    }
    if (only.empty()) mergeFigures(work, key);
    std::error_code ec;
    stdfs::remove_all(work, ec);
    return 0;
}
