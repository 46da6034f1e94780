// A restore on another computer keeps proving what the archive proved: the
// restored archive verifies intact against its own manifest, an export sealed
// before the backup still passes the documented check of its seal against the
// restored archive, and the seals still waiting for their anchor join the
// restoring computer's list beside the ones it held.
#include "core/archive/tresk_store.h"
#include "core/backup/backup_engine.h"
#include "core/backup/carried_head.h"
#include "core/backup/local_destination.h"
#include "core/contacts/contact_resolver.h"
#include "core/evidence/export_and_seal.h"
#include "core/evidence/pending_anchor_store.h"
#include "core/evidence/seal_anchor_client.h"
#include "core/evidence/tresk_manifest.h"
#include "tests/core/evidence/archive_builder.h"
#include "tests/core/evidence/documented_checks.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

using namespace kx;
namespace stdfs = std::filesystem;

namespace {

class NoAuthority : public HttpSession {
public:
    HttpReply post(const std::string&, const std::string&, const std::string&, std::chrono::seconds) override {
        throw Error("Couldn't connect to server");
    }
};

// Step 4 of docs/checking-a-seal.md as written: the head a seal names is a link
// of the chain of an archive's records. Its output, and whether it passed.
bool documentedStep4(const stdfs::path& archive, const stdfs::path& seal, const stdfs::path& scratch,
                     std::string& output) {
    std::string step;
    for (const std::string& block : test::sealCheckShellBlocks())
        if (block.find("# 4. ") != std::string::npos) step = block;
    if (step.empty()) {
        output = "the page has no step 4";
        return false;
    }
    stdfs::create_directories(scratch);
    test::writeAll(scratch / "step4.sh", step);
    const std::string command = "cd '" + scratch.string() + "' && archive='" + archive.string() + "' seal_file='" +
                                seal.string() + "' bash step4.sh > out.txt 2>&1";
    const int status = std::system(command.c_str());
    output = test::readAll(scratch / "out.txt");
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

TEST(CarriedEvidence, ARestoreElsewhereKeepsTheManifestTheSealsCheckAndTheSealsWaitingForAnAnchor) {
    if (std::system("command -v jq python3 >/dev/null 2>&1") != 0)
        KX_SKIP_WITHOUT_PEER("jq or python3 is not installed (scripts/setup.sh installs them)");
    test::TempDir work;
    const stdfs::path here = work / "here-settings", elsewhere = work / "elsewhere-settings";
    const OwnerPaths paths = ArchiveLayout((work / "Archive").string()).owner("jorin");
    test::addMessages(paths.database, {.count = 12, .attachmentEvery = 0});

    // An export sealed here, whose anchor could not be had: it waits in this computer's list.
    ExportRequest r;
    r.archiveRoot = (work / "Archive").string();
    r.owner = "jorin";
    r.conversationKey = "+15550001111";
    r.destinationPath = (work / "exports/Alice.json").string();
    r.appVersion = "1.0 (1)";
    r.now = test::fixtureDate(100);
    stdfs::create_directories(work / "exports");
    const SealFile seal = exportAndSeal(r, MapContactResolver{{{"+15550001111", "Alice"}}});
    const SealAnchorClient noAuthority("http://127.0.0.1:9/", std::make_shared<NoAuthority>());
    const std::string sealPath = SealFile::path(r.destinationPath);
    ASSERT_TRUE(PendingAnchorStore(here.string(), nullptr).anchorOrDefer(sealPath, seal, noAuthority).problem);

    // The other computer already waits for a seal of its own.
    SealFile own = seal;
    own.exportFile = "Bob.json";
    const std::string ownPath = (work / "exports/Bob.json.kxseal.json").string();
    ASSERT_TRUE(PendingAnchorStore(elsewhere.string(), nullptr).anchorOrDefer(ownPath, own, noAuthority).problem);

    // Backed up here; the archive is then lost with this computer.
    const SymmetricKey key = SymmetricKey::generate();
    stdfs::create_directories(work / "dest");
    auto dest = std::make_shared<LocalDestination>(LocalDestination::volume((work / "dest").string(), "Backup drive"));
    BackupEngine::Options o;
    o.pendingAnchors = anchorsToCarry(here.string());
    ASSERT_TRUE(o.pendingAnchors);
    BackupEngine(TreskCrypto(key), dest, "kelvara", std::nullopt, o)
        .backup("jorin/tresk.db", paths.database, VerificationLevel::readBack);
    stdfs::remove_all(work / "Archive");

    const OwnerPaths restored = ArchiveLayout((work / "Restored").string()).owner("jorin");
    RestoreReport report =
        BackupEngine(TreskCrypto(key), dest, "kelvara", std::nullopt).restore("jorin/tresk.db", restored.folder);
    EXPECT_TRUE(report.unrestored.empty());

    // The restored archive verifies intact against its own manifest, and the
    // seal made before the backup still checks against it.
    const auto manifest = TreskManifest::read(restored.manifest);
    ASSERT_TRUE(manifest);
    EXPECT_EQ(manifest->chainHead, seal.manifestHead);
    EXPECT_EQ(TreskManifest::verify(TreskStore(restored.database), *manifest).status,
              static_cast<std::uint8_t>(TreskManifest::Status::intact));
    std::string out;
    EXPECT_TRUE(documentedStep4(restored.database, sealPath, work / "scratch", out)) << out;
    EXPECT_NE(out.find("4. The seal names link"), std::string::npos) << out;

    // The waiting seal joins the list there; the one it held stays, and a
    // second restore adds nothing twice.
    ASSERT_FALSE(report.pendingAnchors.empty());
    EXPECT_EQ(addRestoredAnchors(elsewhere.string(), report.pendingAnchors), (std::variant<int, std::string>(1)));
    EXPECT_EQ(addRestoredAnchors(elsewhere.string(), report.pendingAnchors), (std::variant<int, std::string>(0)));
    const std::string waiting = PendingAnchorStore(elsewhere.string(), nullptr).waitingToCarry();
    EXPECT_EQ(PendingAnchorStore(elsewhere.string(), nullptr).count(), 2) << waiting;
    EXPECT_NE(waiting.find(ownPath), std::string::npos);
    EXPECT_NE(waiting.find(sealPath), std::string::npos);
    EXPECT_NE(waiting.find(seal.sealDigest()), std::string::npos);

    // A list there that cannot be read is never written over: the restore says so.
    test::writeAll(work / "damaged-settings" / PendingAnchorStore::kFileName, "{not json");
    const auto damaged = addRestoredAnchors((work / "damaged-settings").string(), report.pendingAnchors);
    ASSERT_TRUE(std::holds_alternative<std::string>(damaged));
    EXPECT_EQ(test::readAll(work / "damaged-settings" / PendingAnchorStore::kFileName), "{not json");
}
