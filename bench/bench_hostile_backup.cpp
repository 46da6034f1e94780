// A hostile world for backups: every kind of object a backup stores, at a folder
// and at a loopback s3rver, is damaged one at a time (a flipped byte, cut in
// half, deleted, swapped with another object, or put back as an older valid
// object), and the table says what the next `kxctl backup` said and what a
// restore on a fresh home from the recovery phrase alone gave.
//
//   bench_hostile_backup KXCTL [--only folder|s3] [--jobs N] [--keep DIR]
//
// Each case builds its own archive: a generated Messages folder ingested with
// `kxctl ingest`, backed up, ingested again with more messages, files and a
// renewed evidence manifest, and backed up again. Then one object is damaged,
// the destination is restored on a fresh home (again with --previous when the
// restore offers it), backed up once more, and restored once more. Every case
// runs on a session bus of its own with a gnome-keyring-daemon that holds the
// owner's key and pinned manifest head, as the backed-up computer would; every
// restore gets a fresh home and a keyring of its own.
//
// A case is BAD when a backup said "verified" (exit 0) and a restore after it
// lacks messages or files, when a restore said it succeeded over something it
// left out, when a whole backup was left at the destination and no restore
// gave it, or when the run after the damage leaves the destination
// unrestorable. s3rver is looked up on PATH.
#include "core/archive/archive_layout.h"
#include "core/archive/tresk_store.h"
#include "core/backup/archive_walk.h"
#include "core/backup/crypto.h"
#include "core/backup/local_destination.h"
#include "core/backup/s3_destination.h"
#include "core/backup/stored_audit.h"
#include "core/evidence/manifest_pin.h"
#include "core/keys/key_material.h"
#include "core/keys/owner_keys.h"
#include "core/platform/process.h"
#include "core/platform/sha256.h"
#include "core/platform/system.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/fixtures/fixtures.h"
#include "tests/support/private_keyring.h"
#include "tests/support/test_env.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <thread>
#include <unistd.h>

extern char** environ;

using nlohmann::json;
namespace stdfs = std::filesystem;

namespace {

constexpr const char* kOwner = "jorin";

struct Stored {
    std::string bytes;
    std::map<std::string, std::string> metadata;
};
using Snapshot = std::map<std::string, Stored>;

// The destination a case writes to: a folder, or a prefix of its own in the
// s3rver's bucket.
struct Place {
    std::string kind; // "folder" or "s3"
    stdfs::path folder;
    std::string endpoint, prefix = "kelvara";

    std::vector<std::string> kxctlArgs() const {
        if (kind == "folder") return {"--folder", folder.string(), "--prefix", prefix};
        return {"--endpoint", endpoint, "--bucket", kx::test::S3Server::kBucket, "--prefix", prefix};
    }
    std::shared_ptr<kx::BackupDestination> open() const {
        if (kind == "folder") return std::make_shared<kx::LocalDestination>(kx::LocalDestination::volume(folder, "x"));
        return std::make_shared<kx::S3Destination>(
            kx::S3Destination::compatible(endpoint, "us-east-1", kx::test::S3Server::kKey, kx::test::S3Server::kKey,
                                          kx::test::S3Server::kBucket));
    }
    std::string manifestName() const { return prefix + "/" + kOwner + "/tresk.db.manifest"; }
};

Snapshot snapshot(kx::BackupDestination& dest, const std::string& prefix) {
    Snapshot out;
    for (const auto& [name, size] : dest.list(prefix + "/")) {
        Stored s;
        dest.get(name, [&](const unsigned char* d, size_t n) { s.bytes.append(reinterpret_cast<const char*>(d), n); });
        if (auto info = dest.head(name)) s.metadata = info->metadata;
        out[name] = std::move(s);
    }
    return out;
}

void put(kx::BackupDestination& dest, const std::string& name, const Stored& s) {
    dest.put(
        name, s.bytes.size(),
        [&](uint64_t offset, unsigned char* buf, size_t n) { std::copy_n(s.bytes.data() + offset, n, buf); },
        kx::ObjectClass::data, s.metadata);
}

// What an archive folder holds: its message count and every file a backup
// carries, by path, with its hash.
struct Contents {
    int64_t messages = -1; // -1: no database
    std::map<std::string, std::string> files;
};

Contents contentsOf(const stdfs::path& ownerFolder) {
    Contents c;
    if (!stdfs::exists(ownerFolder / kx::ArchiveLayout::kDatabaseFile)) return c;
    try {
        c.messages = kx::TreskStore((ownerFolder / kx::ArchiveLayout::kDatabaseFile).string()).messageCount();
    } catch (const std::exception&) {
        c.messages = 0; // put in place, but it does not open
    }
    auto add = [&](const std::vector<kx::ArchiveFile>& files) {
        for (const auto& f : files) c.files[f.path] = kx::Sha256::hexOfFile(f.file);
    };
    add(kx::listArchiveFiles(ownerFolder / kx::ArchiveLayout::kAttachmentsFolder));
    add(kx::listEvidenceFiles(ownerFolder));
    return c;
}

json toJson(const Contents& c) { return {{"messages", c.messages}, {"files", c.files}}; }
Contents contentsFrom(const json& j) {
    return {j.at("messages").get<int64_t>(), j.at("files").get<std::map<std::string, std::string>>()};
}

// What kxctl printed, without the progress line's returns, one sentence line
// after another.
std::string said(const kx::ProcessResult& r) {
    std::string out, line;
    auto flush = [&] {
        if (!line.empty() && line.rfind("Backing up part", 0) != 0 && line.rfind("Restoring ", 0) != 0 &&
            line.rfind("dbus-daemon[", 0) != 0) // the private bus's own complaints
            out += (out.empty() ? "" : " / ") + line;
        line.clear();
    };
    for (char c : r.standardOutput + "\n" + r.standardError) {
        if (c == '\n' || c == '\r') flush();
        else line.push_back(c);
    }
    flush();
    if (r.timedOut) out += " [timed out]";
    return out;
}

kx::ProcessResult run(const std::string& program, const std::vector<std::string>& args, const std::string& input = {}) {
    kx::ProcessRequest req;
    req.program = program;
    req.arguments = args;
    req.standardInput = input;
    req.timeout = std::chrono::minutes(5);
    return kx::PosixProcessRunner().run(req);
}

std::string self() { return stdfs::read_symlink("/proc/self/exe").string(); }

// Runs this program with `args` on a session bus of its own, whose keyring
// daemon is unlocked and empty, with home as HOME (and the XDG folders in it).
kx::ProcessResult inKeyringSession(const stdfs::path& home, const std::vector<std::string>& args) {
    stdfs::create_directories(home / "run");
    stdfs::permissions(home / "run", stdfs::perms::owner_all);
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry(*e);
        if (auto eq = entry.find('='); eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    env["HOME"] = home.string();
    env["XDG_DATA_HOME"] = (home / ".local/share").string();
    env["XDG_CONFIG_HOME"] = (home / ".config").string();
    env["XDG_CACHE_HOME"] = (home / ".cache").string();
    env["XDG_RUNTIME_DIR"] = (home / "run").string();
    env["KELVARA_ACCESS_KEY_ID"] = env["KELVARA_SECRET_ACCESS_KEY"] = kx::test::S3Server::kKey;
    kx::ProcessRequest req;
    req.program = "dbus-run-session";
    req.arguments = {"--",
                     "sh",
                     "-c",
                     "printf hostile | gnome-keyring-daemon --foreground --unlock --components=secrets "
                     ">/dev/null 2>&1 & d=$!; \"$@\"; rc=$?; kill $d 2>/dev/null; wait $d; exit $rc",
                     "sh",
                     self()};
    req.arguments.insert(req.arguments.end(), args.begin(), args.end());
    req.environment = env;
    req.timeout = std::chrono::minutes(20);
    return kx::PosixProcessRunner().run(req);
}

void waitForKeyring() {
    const std::string why = kx::test::waitForUnlockedDefaultCollection(std::chrono::seconds(30));
    if (!why.empty()) throw std::runtime_error(why);
}

// A generated Messages folder; its first attachment file is made 600 KiB of
// random bytes, so that one file is stored alone where small files are packed.
void writeSource(const stdfs::path& folder, int64_t messages) {
    stdfs::remove_all(folder);
    kx::fixtures::Options o;
    o.messages = messages;
    o.seed = 7;
    kx::fixtures::writeMessagesFolder(folder, o);
    std::vector<stdfs::path> files;
    for (const auto& e : stdfs::recursive_directory_iterator(folder / "Attachments"))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::mt19937 bits(7);
    std::string big(600 * 1024, '\0');
    for (char& c : big) c = static_cast<char>(bits());
    kx::test::writeAll(files.at(0), big);
}

// One object (or, inside a pack, the bytes of one member) a case damages.
struct Target {
    Target(std::string k, std::string n, int64_t o = -1, int64_t l = 0)
        : kind(std::move(k)), name(std::move(n)), offset(o), length(l) {}
    std::string kind, name;
    int64_t offset = -1, length = 0; // a pack member's bytes; -1: the whole object
    std::string older;               // an older valid object to put in its place (first run's name); none: empty
};

// The kinds of object a destination holds after the second backup, from its
// manifests. Pinned head and waiting seals are carried in the manifest itself
// unless an object of their own shows up (as "other").
std::vector<Target> classify(const Snapshot& s1, const Snapshot& s2, const Place& place, const kx::TreskCrypto& c) {
    std::vector<Target> out;
    std::set<std::string> named;
    const std::string manifest = place.manifestName();
    auto manifestOf = [&](const Stored& s) { return json::parse(c.open(s.bytes, manifest)); };
    // A copy may be sealed under the manifest's name or its own.
    auto copyOf = [&](const std::string& name) {
        try {
            return manifestOf(s2.at(name));
        } catch (const kx::SealError&) {
            return json::parse(c.open(s2.at(name).bytes, name));
        }
    };
    const json m2 = manifestOf(s2.at(manifest));
    auto entryTarget = [&](const std::string& kind, const json& e) {
        if (e.contains("pack"))
            return Target{kind + " (in a pack)", e.at("pack").get<std::string>(), e.at("offset").get<int64_t>(),
                          e.at("sealedSize").get<int64_t>()};
        return Target{kind, e.at("name").get<std::string>()};
    };
    const json m1 = manifestOf(s1.at(manifest));
    out.push_back({"manifest", manifest});
    named.insert(manifest);
    if (s2.count(manifest + ".replaced")) {
        out.push_back({"replaced manifest", manifest + ".replaced"});
        named.insert(manifest + ".replaced");
        const std::string db1 = copyOf(manifest + ".replaced").at("database").value("name", "");
        if (db1 != m2.at("database").value("name", "") && s2.count(db1)) out.push_back({"previous database", db1});
        named.insert(db1);
    }
    out.push_back(entryTarget("database", m2.at("database")));
    if (const std::string db1 = m1.at("database").value("name", "");
        out.back().offset < 0 && s1.count(db1) && db1 != out.back().name)
        out.back().older = db1;
    named.insert(m2.at("database").value("name", ""));
    std::vector<std::string> packs;
    bool attachment = false, evidence = false;
    for (const auto& e : m2.at("objects")) {
        named.insert(e.value("name", ""));
        const std::string pack = e.value("pack", ""), path = e.at("path");
        if (!pack.empty() && std::find(packs.begin(), packs.end(), pack) == packs.end()) packs.push_back(pack);
        if (!attachment && path.rfind("attachments/", 0) == 0 && !e.contains("pack")) {
            out.push_back(entryTarget("attachment", e));
            attachment = true;
        }
        if (!evidence && path == kx::ArchiveLayout::kManifestFile) {
            out.push_back(entryTarget("evidence file", e));
            evidence = true;
        }
    }
    for (const auto& p : packs) {
        int same = 0;
        const std::string kind = s1.count(p) ? "pack (first run)" : "pack (second run)";
        for (const auto& o : out) same += o.kind.rfind(kind, 0) == 0;
        out.push_back({same ? kind + " " + std::to_string(same + 1) : kind, p});
        named.insert(p);
    }
    for (auto& t : out) // another valid pack sealed with the same key
        if (t.kind.rfind("pack", 0) == 0)
            for (const auto& p : packs)
                if (p != t.name) t.older = p;
    if (s2.count(manifest + ".replaced")) { // what only the backup before this one names
        bool first = true;
        for (const auto& e : copyOf(manifest + ".replaced").at("objects")) {
            const std::string n = e.value("pack", e.value("name", ""));
            if (named.count(n) || !s2.count(n)) continue;
            if (first) out.push_back({e.contains("pack") ? "previous run's pack" : "previous run's file", n});
            first = false;
            named.insert(n);
        }
    }
    bool unnamed = false; // object names differ from case to case, so one such stands for all
    for (const auto& [name, stored] : s2) {
        if (named.count(name)) continue;
        const std::string rest = name.substr(place.prefix.size() + 1 + std::string(kOwner).size() + 1);
        if (rest.rfind("tresk.db.manifest", 0) == 0) out.push_back({"manifest copy " + rest, name});
        else if (rest.rfind("machines/", 0) == 0) out.push_back({"machine report", name});
        else if (rest.rfind("objects/", 0) != 0) out.push_back({"other " + rest, name});
        else if (!unnamed) out.push_back({"object no manifest names", name});
        unnamed = unnamed || rest.rfind("objects/", 0) == 0;
    }
    for (auto& t : out) // what the first run stored under the same name (objects are named by their content)
        if (t.older.empty() && t.offset < 0 && t.name.find("/objects/") == std::string::npos && s1.count(t.name) &&
            s1.at(t.name).bytes != s2.at(t.name).bytes)
            t.older = t.name;
    return out;
}

// Another object to swap with, of the same kind where there is one; empty when
// there is none.
std::string swapPartner(const Target& t, const std::vector<Target>& all) {
    auto first = [&](auto pick) {
        for (const auto& o : all)
            if (o.offset < 0 && o.name != t.name && pick(o)) return o.name;
        return std::string();
    };
    const bool isManifest = t.kind.find("manifest") != std::string::npos && t.kind != "evidence file";
    if (isManifest) return first([](const Target& o) { return o.kind.find("manifest") != std::string::npos; });
    if (t.kind.rfind("pack", 0) == 0) {
        auto other = first([](const Target& o) { return o.kind.rfind("pack", 0) == 0; });
        return other.empty() ? first([](const Target& o) { return o.kind == "database"; }) : other;
    }
    if (t.kind == "database" || t.kind == "previous database")
        return first([](const Target& o) { return o.kind == "attachment" || o.kind.rfind("pack", 0) == 0; });
    if (t.kind == "attachment" || t.kind == "evidence file") {
        auto other = first([](const Target& o) { return o.kind == "attachment" || o.kind == "evidence file"; });
        return other.empty() ? first([](const Target& o) { return o.kind.rfind("pack", 0) == 0; }) : other;
    }
    return {};
}

std::vector<std::string> faultsFor(const Target& t, const std::vector<Target>& all) {
    if (t.offset >= 0) return {"flip"};
    std::vector<std::string> out = {"flip", "truncate", "delete"};
    if (!swapPartner(t, all).empty()) out.push_back("swap");
    if (!t.older.empty()) out.push_back("older");
    return out;
}

std::string applyFault(kx::BackupDestination& dest, const Target& t, const std::string& fault, const Snapshot& s1,
                       const Snapshot& s2, const std::vector<Target>& all) {
    Stored s = s2.at(t.name);
    if (fault == "flip") {
        const size_t at = t.offset >= 0 ? static_cast<size_t>(t.offset + t.length / 2) : s.bytes.size() / 2;
        s.bytes[at] = static_cast<char>(s.bytes[at] ^ 0x10);
        put(dest, t.name, s);
        return "byte " + std::to_string(at) + " of " + std::to_string(s.bytes.size()) + " flipped";
    }
    if (fault == "truncate") {
        s.bytes.resize(s.bytes.size() / 2);
        put(dest, t.name, s);
        return "cut to " + std::to_string(s.bytes.size()) + " bytes";
    }
    if (fault == "delete") {
        dest.remove(t.name);
        return "deleted";
    }
    if (fault == "swap") {
        const std::string other = swapPartner(t, all);
        put(dest, t.name, s2.at(other));
        put(dest, other, s);
        return "swapped with " + other.substr(other.rfind('/') + 1, 12);
    }
    put(dest, t.name,
        t.older.rfind("/objects/") != std::string::npos && s2.count(t.older) ? s2.at(t.older) : s1.at(t.older));
    return "replaced by an older valid object";
}

// Which run's data is still whole at the destination: every object its
// manifest names (the database, the files, their packs) as that run stored it,
// whatever became of the manifest itself. 0: neither.
int wholeGeneration(const Snapshot& now, const Snapshot& s1, const Snapshot& s2, const Place& place,
                    const kx::TreskCrypto& c) {
    const std::string manifest = place.manifestName();
    for (int g : {2, 1}) {
        const Snapshot& s = g == 2 ? s2 : s1;
        const json m = json::parse(c.open(s.at(manifest).bytes, manifest));
        std::set<std::string> names = {m.at("database").value("pack", m.at("database").value("name", ""))};
        for (const auto& e : m.at("objects")) names.insert(e.value("pack", e.value("name", "")));
        if (std::all_of(names.begin(), names.end(), [&](const std::string& n) {
                auto a = now.find(n), b = s.find(n);
                return a != now.end() && b != s.end() && a->second.bytes == b->second.bytes;
            }))
            return g;
    }
    return 0;
}

// A restore on a fresh home: what it printed, its status, what it put in place,
// and whether the carried head and waiting seal reached the fresh home.
json restoreFresh(const stdfs::path& home, const std::string& kxctl, const Place& place, bool previous) {
    std::vector<std::string> args =
        {"--restore", kxctl, "restore", "--owner", kOwner, "--into", (home / "Tresk").string()};
    for (const auto& a : place.kxctlArgs()) args.push_back(a);
    args.push_back("--phrase-stdin");
    if (previous) args.push_back("--previous");
    kx::ProcessResult r = inKeyringSession(home, args);
    const std::string anchors = kx::test::readAll(home / ".local/share/Kelvara/pending-anchors.json");
    return {{"exit", r.exitCode},
            {"text", said(r)},
            {"contents", toJson(contentsOf(home / "Tresk" / kOwner))},
            {"head", stdfs::exists(home / "head-pinned")},
            {"seals", anchors.find("/elsewhere/Alice") != std::string::npos}};
}

std::string outcome(const Contents& c, const Contents& c1, const Contents& c2) {
    if (c.messages < 0) return "nothing put in place";
    std::string gen = c.files == c2.files && c.messages == c2.messages   ? "run 2 whole"
                      : c.files == c1.files && c.messages == c1.messages ? "run 1 whole"
                                                                         : "PARTIAL";
    size_t held = 0;
    for (const auto& [p, h] : c2.files) held += c.files.count(p) && c.files.at(p) == h;
    return gen + " (" + std::to_string(c.messages) + " msgs, " + std::to_string(held) + "/" +
           std::to_string(c2.files.size()) + " files)";
}

struct Setup {
    Place place;
    Snapshot s1, s2;
    Contents c1, c2;
    std::string phrase;
    std::unique_ptr<kx::TreskCrypto> crypto;
};

std::vector<std::string> backupArgs(const stdfs::path& root, const Place& place) {
    std::vector<std::string> args = {"backup", "--owner", kOwner, "--root", root.string(), "--machine-id", "MAC-1"};
    for (const auto& a : place.kxctlArgs()) args.push_back(a);
    return args;
}

// Key and pinned head in the keyring, a seal waiting for its anchor, and two
// ingests each followed by a backup.
Setup setUp(const stdfs::path& work, const std::string& kxctl, Place place) {
    waitForKeyring();
    Setup s;
    s.place = std::move(place);
    kx::SymmetricKey key = kx::OwnerKeyStore().loadOrCreateOwnerKey(kOwner).key;
    s.phrase = kx::TreskKeyMaterial::recoveryString(key);
    s.crypto = std::make_unique<kx::TreskCrypto>(key);
    kx::ManifestPins().pin(kOwner, kx::PinnedHead{42, std::string(64, 'c'), kx::Date{}});
    kx::test::writeAll(stdfs::path(kx::applicationSupportConfigDir()) / "pending-anchors.json",
                       R"({"version":1,"pending":[{"sealPath":"/elsewhere/Alice.json.kxseal.json","sealDigest":")" +
                           std::string(64, 'a') +
                           R"(","queuedAt":"2026-12-01T10:00:00.000Z","attempts":2,"lastProblem":"offline"}]})");
    const stdfs::path source = work / "Messages", root = work / "root", owner = root / kOwner;
    kx::test::writeAll(work / "sources.json", R"([{"id":"old-mac","owner":"jorin","path":")" + source.string() +
                                                  R"(","format":"macosMessagesFolder","label":"Old Mac"}])");
    if (s.place.kind == "folder") stdfs::create_directories(s.place.folder);
    auto dest = s.place.open();
    const auto backup = backupArgs(root, s.place);
    for (int round : {1, 2}) {
        writeSource(source, round == 1 ? 300 : 360);
        auto r = run(kxctl, {"ingest", "--registry", (work / "sources.json").string(), "--root", root.string(),
                             "--copy-attachments", "--machine-id", "MAC-1"});
        if (!r.succeeded()) throw std::runtime_error("ingest failed: " + said(r));
        if (round == 2)
            stdfs::rename(owner / kx::ArchiveLayout::kManifestFile,
                          owner / "tresk.manifest.superseded-2026-12-10T10.00.00Z.json");
        kx::test::writeAll(owner / kx::ArchiveLayout::kManifestFile,
                           R"({"stand-in evidence manifest":)" + std::to_string(round) + "}\n");
        r = run(kxctl, backup);
        if (!r.succeeded()) throw std::runtime_error("backup " + std::to_string(round) + " failed: " + said(r));
        (round == 1 ? s.s1 : s.s2) = snapshot(*dest, s.place.prefix);
        (round == 1 ? s.c1 : s.c2) = contentsOf(owner);
    }
    return s;
}

Place placeFor(const std::string& kind, const stdfs::path& work, const std::string& endpoint, const std::string& id) {
    Place p{kind, work / "destination", endpoint};
    if (kind == "s3") p.prefix = "hostile-" + id;
    return p;
}

// Inside a case's keyring session: sets up, lists what could be damaged.
int survey(const std::string& kxctl, const std::string& kind, const stdfs::path& work, const std::string& endpoint) {
    Setup s = setUp(work, kxctl, placeFor(kind, work, endpoint, "survey"));
    auto targets = classify(s.s1, s.s2, s.place, *s.crypto);
    json out = json::array();
    for (const auto& t : targets) out.push_back({{"kind", t.kind}, {"faults", faultsFor(t, targets)}});
    kx::test::writeAll(work / "result.json", out.dump());
    return 0;
}

// Inside a case's keyring session: one object kind, one fault.
int runCase(const std::string& kxctl, const std::string& kind, const std::string& target, const std::string& fault,
            const stdfs::path& work, const std::string& endpoint, const std::string& id) {
    Setup s = setUp(work, kxctl, placeFor(kind, work, endpoint, id));
    auto targets = classify(s.s1, s.s2, s.place, *s.crypto);
    auto t = std::find_if(targets.begin(), targets.end(), [&](const Target& x) { return x.kind == target; });
    if (t == targets.end()) throw std::runtime_error("no " + target + " at the destination");
    auto dest = s.place.open();
    json out = {{"did", applyFault(*dest, *t, fault, s.s1, s.s2, targets)}};
    const int wholeRun = wholeGeneration(snapshot(*dest, s.place.prefix), s.s1, s.s2, s.place, *s.crypto);
    kx::test::writeAll(work / "phrase", s.phrase);
    auto restores = [&](const std::string& tag) {
        json list = json::array();
        list.push_back(restoreFresh(work / ("fresh-" + tag), kxctl, s.place, false));
        if (list[0].at("text").get<std::string>().find("--previous") != std::string::npos)
            list.push_back(restoreFresh(work / ("fresh-" + tag + "-previous"), kxctl, s.place, true));
        return list;
    };
    out["whole"] = wholeRun;
    out["restoreAfterFault"] = restores("a");
    const auto backup = backupArgs(work / "root", s.place);
    kx::ProcessResult b = run(kxctl, backup);
    out["backup"] = {{"exit", b.exitCode}, {"text", said(b)}};
    out["restoreAfterBackup"] = restores("b");
    // Damage the rotation of read-backs has yet to reach: more backups, each
    // followed by a restore, up to the number within which every object is
    // promised a reading.
    const size_t promise = kind == "folder" ? kx::kFolderAuditCycle : kx::kAuditCycle;
    out["promise"] = promise;
    auto whole = [&](const json& restored) {
        const Contents c = contentsFrom(restored[0].at("contents"));
        return c.messages == s.c2.messages && c.files == s.c2.files;
    };
    // The runs that found damage, left some, and still said "verified".
    json overFound = json::array();
    auto foundAndLeft = [&](const kx::ProcessResult& r, const json& restored, size_t n) {
        if (r.exitCode == 0 && r.standardOutput.find("Damaged") != std::string::npos && !whole(restored))
            overFound.push_back(n);
    };
    foundAndLeft(b, out["restoreAfterBackup"], 1);
    if (b.exitCode == 0 && !whole(out["restoreAfterBackup"])) {
        for (size_t n = 2; n <= promise; ++n) {
            kx::ProcessResult more = run(kxctl, backup);
            stdfs::remove_all(work / "fresh-c");
            stdfs::remove_all(work / "fresh-c-previous");
            out["rotation"] = {{"run", n}, {"exit", more.exitCode}, {"text", said(more)}};
            out["restoreAfterRotation"] = restores("c");
            foundAndLeft(more, out["restoreAfterRotation"], n);
            if (more.exitCode != 0 || whole(out["restoreAfterRotation"])) break;
        }
    }
    out["verifiedOverFound"] = overFound;
    out["c1"] = toJson(s.c1);
    out["c2"] = toJson(s.c2);
    kx::test::writeAll(work / "result.json", out.dump());
    return 0;
}

// Inside a restore's keyring session: the restore, with the phrase from the
// case folder, then whether the carried head was pinned in this keyring.
int restoreInSession(int argc, char** argv) {
    waitForKeyring();
    std::vector<std::string> args(argv + 3, argv + argc);
    const stdfs::path home = std::getenv("HOME");
    kx::ProcessResult r = run(argv[2], args, kx::test::readAll(home.parent_path() / "phrase"));
    std::cout << r.standardOutput;
    std::cerr << r.standardError;
    try {
        if (auto pinned = kx::ManifestPins().pinned(kOwner); pinned && pinned->recordCount == 42)
            kx::test::writeAll(home / "head-pinned", "1");
    } catch (const std::exception&) {
    }
    return r.started && !r.timedOut ? r.exitCode : 125;
}

struct Row {
    std::string dest, kind, fault;
    json result;
    std::string verdict;
};

bool holds(const Contents& c, const Contents& run) { return c.messages == run.messages && c.files == run.files; }

// The latest run a list of restores gave whole (2 or 1), else 0.
int bestRestored(const json& list, const Contents& c1, const Contents& c2) {
    int best = 0;
    for (const auto& x : list) {
        const Contents c = contentsFrom(x.at("contents"));
        best = std::max(best, holds(c, c2) ? 2 : holds(c, c1) ? 1 : 0);
    }
    return best;
}

std::string verdictOf(const json& r) {
    if (r.contains("error")) return "ERROR";
    const Contents c1 = contentsFrom(r.at("c1")), c2 = contentsFrom(r.at("c2"));
    std::vector<std::string> bad;
    std::string note;
    for (const char* which : {"restoreAfterFault", "restoreAfterBackup", "restoreAfterRotation"})
        for (const auto& x : r.value(which, json::array())) {
            const Contents c = contentsFrom(x.at("contents"));
            if (x.at("exit") == 0 && !holds(c, c1) && !holds(c, c2))
                bad.push_back(std::string(which) + " exited 0 over an archive missing messages or files");
        }
    const int whole = r.at("whole"), afterFault = bestRestored(r.at("restoreAfterFault"), c1, c2),
              afterBackup = bestRestored(r.at("restoreAfterBackup"), c1, c2);
    const json& first = r.at("restoreAfterFault")[0];
    if (whole > afterFault && contentsFrom(first.at("contents")).messages > 0 && afterFault == 0)
        note = "a partial restore; run " + std::to_string(whole) + " is whole there and the restore did not say so";
    else if (whole > afterFault)
        bad.push_back("run " + std::to_string(whole) + "'s data is whole at the destination, the restore gave " +
                      (afterFault ? "run " + std::to_string(afterFault) : std::string("nothing")));
    const int backupExit = r.at("backup").at("exit");
    if (!r.at("verifiedOverFound").empty())
        bad.push_back("backup " + r.at("verifiedOverFound").dump() +
                      " found damage, left some unrepaired and still said \"verified\" (exit 0)");
    if (backupExit == 0 && afterBackup < 2) {
        if (r.contains("rotation") && bestRestored(r.at("restoreAfterRotation"), c1, c2) == 2)
            note += std::string(note.empty() ? "" : "; ") + "whole again after backup " +
                    std::to_string(r.at("rotation").at("run").get<int>()) + " of the promised " +
                    std::to_string(r.at("promise").get<int>());
        else
            bad.push_back("backup exit 0 (\"verified\"), restores after it and after " +
                          std::to_string(r.contains("rotation") ? r.at("rotation").at("run").get<int>() : 1) +
                          " backups are not whole");
    } else if (afterBackup == 0 && whole > 0) {
        bad.push_back("the next backup left the destination unrestorable");
    } else if (afterBackup < 2) {
        note += std::string(note.empty() ? "" : "; ") + "not repaired by the next backup (exit " +
                std::to_string(backupExit) + ")";
    }
    std::string out;
    for (const auto& w : bad) out += (out.empty() ? "BAD: " : "; ") + w;
    if (!note.empty()) out += (out.empty() ? "ok: " : "; ") + note;
    return out.empty() ? "ok" : out;
}

std::string cut(const std::string& s, size_t n) { return s.size() <= n ? s : s.substr(0, n - 1) + "…"; }

std::string restoreCell(const json& list, const Contents& c1, const Contents& c2) {
    std::string out;
    for (size_t i = 0; i < list.size(); ++i) {
        const auto& x = list[i];
        out += std::string(i ? " ; then --previous: " : "") + "exit " + std::to_string(x.at("exit").get<int>()) + ", " +
               outcome(contentsFrom(x.at("contents")), c1, c2);
        if (contentsFrom(x.at("contents")).messages >= 0)
            out += std::string(x.at("head") ? "" : ", head not pinned") + (x.at("seals") ? "" : ", seals not joined");
    }
    return out;
}

int parent(int argc, char** argv) {
    std::string kxctl, only;
    int jobs = 4;
    stdfs::path keep;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--only" && i + 1 < argc) only = argv[++i];
        else if (a == "--jobs" && i + 1 < argc) jobs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--keep" && i + 1 < argc) keep = argv[++i];
        else if (kxctl.empty() && a[0] != '-') kxctl = stdfs::absolute(a).string();
        else {
            std::cerr << "usage: bench_hostile_backup KXCTL [--only folder|s3] [--jobs N] [--keep DIR]\n";
            return 2;
        }
    }
    if (kxctl.empty() || !stdfs::exists(kxctl)) {
        std::cerr << "Name the kxctl program to run: bench_hostile_backup KXCTL\n";
        return 2;
    }
    if (auto why = kx::test::privateKeyringUnavailable()) {
        std::cerr << *why << "\n";
        return 2;
    }
    const stdfs::path work = keep.empty() ? stdfs::temp_directory_path() / ("kx-hostile-" + std::to_string(getpid()))
                                          : stdfs::absolute(keep);
    stdfs::create_directories(work);
    std::vector<std::string> kinds;
    if (only.empty() || only == "folder") kinds.push_back("folder");
    if (only.empty() || only == "s3") kinds.push_back("s3");
    std::unique_ptr<kx::test::S3Server> server;
    if (std::find(kinds.begin(), kinds.end(), "s3") != kinds.end()) server = std::make_unique<kx::test::S3Server>();
    const std::string endpoint = server ? server->endpoint() : "-";

    std::vector<Row> rows;
    for (const auto& kind : kinds) {
        const stdfs::path dir = work / (kind + "-survey");
        auto r = inKeyringSession(dir / "home", {"--survey", kxctl, kind, dir.string(), endpoint});
        if (r.exitCode != 0) {
            std::cerr << "Setting up a " << kind << " backup failed: " << r.standardError << "\n";
            return 1;
        }
        for (const auto& t : json::parse(kx::test::readAll(dir / "result.json")))
            for (const auto& f : t.at("faults"))
                rows.push_back({kind, t.at("kind").get<std::string>(), f.get<std::string>(), {}, {}});
    }
    std::atomic<size_t> next{0};
    std::vector<std::thread> pool;
    for (int j = 0; j < jobs; ++j)
        pool.emplace_back([&] {
            for (size_t i = next++; i < rows.size(); i = next++) {
                Row& row = rows[i];
                const stdfs::path dir = work / ("case-" + std::to_string(i));
                auto r = inKeyringSession(dir / "home", {"--case", kxctl, row.dest, row.kind, row.fault, dir.string(),
                                                         endpoint, std::to_string(i)});
                if (r.exitCode == 0) row.result = json::parse(kx::test::readAll(dir / "result.json"));
                else row.result = {{"error", said(r)}};
                row.verdict = verdictOf(row.result);
            }
        });
    for (auto& t : pool) t.join();

    std::cout << "| # | destination | object | fault | restore on a fresh home after the damage | next backup "
                 "(exit: what it said) | restore after that backup | verdict |\n|---|---|---|---|---|---|---|---|\n";
    size_t bad = 0, noted = 0, errors = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        const json& r = row.result;
        bad += row.verdict.rfind("BAD", 0) == 0;
        errors += row.verdict == "ERROR";
        noted += row.verdict.find("did not say so") != std::string::npos;
        if (r.contains("error")) {
            std::cout << "| " << i << " | " << row.dest << " | " << row.kind << " | " << row.fault << " | "
                      << cut(r.at("error").get<std::string>(), 200) << " | | | ERROR |\n";
            continue;
        }
        const Contents c1 = contentsFrom(r.at("c1")), c2 = contentsFrom(r.at("c2"));
        std::cout << "| " << i << " | " << row.dest << " | " << row.kind << " | " << row.fault << " ("
                  << r.at("did").get<std::string>() << ") | " << restoreCell(r.at("restoreAfterFault"), c1, c2) << " | "
                  << r.at("backup").at("exit").get<int>() << ": "
                  << cut(r.at("backup").at("text").get<std::string>(), 220) << " | "
                  << restoreCell(r.at("restoreAfterBackup"), c1, c2) << " | " << row.verdict << " |\n";
    }
    std::cout << "\n\"run N whole\": the restored archive holds every message and file the archive held at backup N "
                 "(the source has 300 messages at the first, 360 at the second).\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].verdict.rfind("BAD", 0) != 0) continue;
        const json& r = rows[i].result;
        std::cout << "\n#" << i << " " << rows[i].dest << " / " << rows[i].kind << " / " << rows[i].fault << ": "
                  << rows[i].verdict << "\n  next backup (exit " << r.at("backup").at("exit").get<int>()
                  << "): " << r.at("backup").at("text").get<std::string>() << "\n";
        if (r.contains("rotation"))
            std::cout << "  backup " << r.at("rotation").at("run").get<int>() << " (exit "
                      << r.at("rotation").at("exit").get<int>()
                      << "): " << r.at("rotation").at("text").get<std::string>() << "\n";
        for (const char* which : {"restoreAfterFault", "restoreAfterBackup", "restoreAfterRotation"})
            for (const auto& x : r.value(which, json::array()))
                std::cout << "  " << which << " (exit " << x.at("exit").get<int>()
                          << "): " << x.at("text").get<std::string>() << "\n";
    }
    std::cout << "\ncases: " << rows.size() << ", BAD: " << bad
              << ", partial restores that did not say a whole earlier backup is there: " << noted
              << ", could not be run: " << errors << "\n";
    server.reset();
    if (keep.empty()) stdfs::remove_all(work);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    try {
        if (mode == "--survey" && argc == 6) return survey(argv[2], argv[3], argv[4], argv[5]);
        if (mode == "--case" && argc == 9)
            return runCase(argv[2], argv[3], argv[4], argv[5], argv[6], argv[7], argv[8]);
        if (mode == "--restore" && argc > 3) return restoreInSession(argc, argv);
        return parent(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << e.what() << "\n";
        return 1;
    }
}
