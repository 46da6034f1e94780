// What a destination keeps of a backup, at a folder and at a loopback s3rver:
// the previous generation whole after any number of runs, the manifest twice,
// and the rotation that reads older objects back.
#include "core/backup/backup_engine.h"
#include "core/backup/local_destination.h"
#include "core/backup/s3_destination.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/support/test_env.h"
#include "tests/support/wait.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>

using namespace kx;
namespace stdfs = std::filesystem;
using nlohmann::json;

namespace {

const std::string kManifest = "kelvara/jorin/tresk.db.manifest";
const std::string kCopy = kManifest + kManifestCopySuffix;
const std::string kReplaced = kManifest + kReplacedManifestSuffix;

class KeptGenerations : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) {
            if (!test::findS3rver()) KX_SKIP_WITHOUT_PEER("s3rver is not installed (scripts/setup.sh installs it)");
            server.emplace();
            dest = std::make_shared<S3Destination>(S3Destination::compatible(server->endpoint(), "us-east-1",
                                                                             test::S3Server::kKey, test::S3Server::kKey,
                                                                             test::S3Server::kBucket));
        } else {
            dest = std::make_shared<LocalDestination>(LocalDestination::volume(folder.path().string(), "NAS"));
        }
    }
    UploadReceipt backup() {
        BackupEngine::Options o;
        o.generations = work / "config/generations.json";
        return BackupEngine(TreskCrypto(key), dest, "kelvara", work / "config/resume-state.json", o)
            .backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    }
    // A restore on another computer: only the key, no memory of earlier runs.
    RestoreReport restore(const stdfs::path& into, bool previous = false) {
        return BackupEngine(TreskCrypto(key), dest, "kelvara", std::nullopt)
            .restore("jorin/tresk.db", into, {}, previous);
    }
    std::string raw(const std::string& name) {
        std::string bytes;
        EXPECT_TRUE(dest->get(name, [&](const unsigned char* p, size_t n) {
            bytes.append(reinterpret_cast<const char*>(p), n);
        })) << name;
        return bytes;
    }
    // s3rver answers a write before the object's file is whole, so a read
    // straight after it can find a short object: the write is waited for.
    void putRaw(const std::string& name, const std::string& bytes) {
        dest->put(name, bytes.size(),
                  [&](uint64_t off, unsigned char* buf, size_t n) { std::memcpy(buf, bytes.data() + off, n); },
                  ObjectClass::control, {});
        EXPECT_TRUE(test::waitUntil(
            [&] {
                std::string got;
                dest->get(name,
                          [&](const unsigned char* p, size_t n) { got.append(reinterpret_cast<const char*>(p), n); });
                return got == bytes;
            },
            std::chrono::seconds(10)))
            << name << " never read back as written";
    }
    void flip(const std::string& name, std::optional<size_t> at = std::nullopt) {
        std::string bytes = raw(name);
        bytes[at.value_or(bytes.size() / 2)] ^= 0x10;
        putRaw(name, bytes);
    }
    json opened(const std::string& name) { return json::parse(TreskCrypto(key).open(raw(name), kManifest)); }
    // The stored objects a manifest names (packs for what is packed).
    static std::set<std::string> namedBy(const json& m) {
        std::set<std::string> out = {m["database"]["name"].get<std::string>()};
        for (const auto& o : m["objects"]) out.insert(o.value("pack", o.value("name", "")));
        return out;
    }
    void addFile(const std::string& text) {
        test::writeAll(archive / "attachments/ee" / ("added-" + std::to_string(++added)), text);
    }
    // Changes the archive and backs it up; keeps a copy of what was backed up.
    void changeAndBackUp(std::vector<stdfs::path>& states) {
        test::addMessages(archive, 20, 50 + added);
        addFile("a file added before run " + std::to_string(states.size() + 1));
        const UploadReceipt r = backup();
        EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
        EXPECT_TRUE(r.damaged.empty());
        const stdfs::path state = work / ("state-" + std::to_string(states.size() + 1));
        stdfs::copy(archive, state, stdfs::copy_options::recursive);
        states.push_back(state);
    }

    test::TempDir work, folder;
    std::optional<test::S3Server> server;
    std::shared_ptr<BackupDestination> dest;
    stdfs::path archive = work / "root/jorin";
    SymmetricKey key = SymmetricKey::generate();
    int added = 0;
};

} // namespace

TEST_P(KeptGenerations, AfterEveryRunTheBackupBeforeItRestoresWholeAndNothingOlderIsKept) {
    test::makeArchive(archive, 300, {3000, 4500, 70000}, 5);
    std::vector<stdfs::path> states;
    for (int run = 1; run <= 4; ++run) {
        changeAndBackUp(states);
        if (run == 1) {
            EXPECT_THROW(restore(work / "none/jorin", true), BackupError);
            continue;
        }
        const stdfs::path into = work / ("previous-" + std::to_string(run)) / "jorin";
        const RestoreReport r = restore(into, true);
        EXPECT_TRUE(r.fromReplacedManifest);
        EXPECT_EQ(r.generation, static_cast<uint64_t>(run - 1));
        EXPECT_EQ(test::compareArchives(states[run - 2], into), "") << "run " << run;
    }
    // What neither the latest manifest nor the one it replaced names is gone.
    std::set<std::string> named = namedBy(opened(kManifest));
    for (const auto& n : namedBy(opened(kReplaced))) named.insert(n);
    for (const auto& [name, size] : dest->list("kelvara/jorin/objects/"))
        EXPECT_TRUE(named.count(name)) << name << " is named by neither of the two generations kept";

    // The latest database object gone: the restore says the one before can be
    // restored instead, and it is.
    dest->remove(opened(kManifest)["database"]["name"].get<std::string>());
    try {
        restore(work / "failed/jorin");
        ADD_FAILURE() << "a backup without its database was restored";
    } catch (const EarlierBackupAvailable& e) {
        EXPECT_NE(std::string(e.what()).find("can be restored instead"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(stdfs::exists(work / "failed/jorin"));
    const RestoreReport earlier = restore(work / "earlier/jorin", true);
    EXPECT_EQ(earlier.generation, 3u);
    EXPECT_EQ(test::compareArchives(states[2], work / "earlier/jorin"), "");
}

TEST_P(KeptGenerations, OneDamagedMissingOrOlderCopyOfTheManifestLosesNothingAndTheNextRunNamesAndMendsIt) {
    test::makeArchive(archive, 300, {3000, 4500, 70000}, 6);
    std::vector<stdfs::path> states;
    changeAndBackUp(states);
    changeAndBackUp(states);
    struct Case {
        const char* what;
        std::function<void()> spoil;
        const char* trouble; // of the manifest, as the restore says it; null: the manifest is read
        const char* named;   // what the next run names as damaged
    };
    const std::vector<Case> cases = {
        {"a flipped byte in the manifest", [&] { flip(kManifest); }, "damaged", kDamagedManifest},
        {"the manifest deleted", [&] { dest->remove(kManifest); }, "missing", kDamagedManifest},
        {"the manifest replaced by the older one", [&] { putRaw(kManifest, raw(kReplaced)); },
         "older than its second copy", kDamagedManifest},
        {"a flipped byte in the second copy", [&] { flip(kCopy); }, nullptr, kDamagedManifestCopy},
        {"the second copy deleted", [&] { dest->remove(kCopy); }, nullptr, kDamagedManifestCopy},
        {"the second copy replaced by the older one", [&] { putRaw(kCopy, raw(kReplaced)); }, nullptr,
         kDamagedManifestCopy},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const uint64_t latest = opened(kCopy)["generation"].get<uint64_t>();
        c.spoil();
        const stdfs::path into = work / ("restored-" + std::to_string(++n)) / "jorin";
        const RestoreReport r = restore(into);
        EXPECT_EQ(r.generation, latest);
        EXPECT_FALSE(r.fromReplacedManifest);
        EXPECT_EQ(r.fromManifestCopy, c.trouble != nullptr);
        EXPECT_EQ(r.manifestTrouble, c.trouble ? c.trouble : "");
        EXPECT_TRUE(r.unrestored.empty());
        EXPECT_EQ(test::compareArchives(archive, into), "");

        const UploadReceipt again = backup();
        EXPECT_EQ(again.damaged, std::vector<std::string>{c.named});
        EXPECT_EQ(again.verification, UploadReceipt::Verification::verified);
        EXPECT_FALSE(again.rolledBack.has_value());
        EXPECT_EQ(raw(kManifest), raw(kCopy));
        EXPECT_EQ(opened(kManifest)["generation"], latest + 1);
        EXPECT_TRUE(backup().damaged.empty());
    }
}

// At a folder every run reads a seventh of the older objects, and at least 7,
// in the order of their names; at an object store a thirtieth, and at least 7.
// A backup of 40 small files therefore goes round in 6 runs at either.
TEST_P(KeptGenerations, AFlippedByteInAnOlderObjectIsFoundWithinTheRunsAFullPassTakes) {
    std::vector<size_t> sizes;
    for (int i = 0; i < 40; ++i) sizes.push_back(1500 + 37 * i);
    test::makeArchive(archive, 200, sizes, 7);
    ASSERT_TRUE(backup().damaged.empty());
    // The file the rotation reaches last (it starts from the first name).
    json last;
    const json first = opened(kManifest);
    for (const auto& o : first["objects"])
        if (last.is_null() || o["name"] > last["name"]) last = o;
    if (last.contains("pack"))
        flip(last["pack"].get<std::string>(), last["offset"].get<size_t>() + last["sealedSize"].get<size_t>() / 2);
    else flip(last["name"].get<std::string>());
    int runs = 0;
    std::vector<std::string> damaged;
    while (damaged.empty() && runs < 30) {
        const UploadReceipt r = backup();
        ++runs;
        EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
        damaged = r.damaged;
    }
    EXPECT_EQ(damaged, std::vector<std::string>{last["path"].get<std::string>()});
    EXPECT_LE(runs, 6);
    const RestoreReport r = restore(work / "restored/jorin");
    EXPECT_TRUE(r.unrestored.empty());
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");
}

INSTANTIATE_TEST_SUITE_P(FolderAndObjectStore, KeptGenerations, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "ObjectStore" : "Folder"; });
