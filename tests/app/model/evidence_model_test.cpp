// The model's manifest, export, seal and anchoring operations, end to end over
// archives made by the tests and a time-stamp authority on the loopback interface.
#include "app/model/app_model.h"
#include "app/platform/user_defaults.h"
#include "core/evidence/manifest_pin.h"
#include "core/evidence/seal_file.h"
#include "core/evidence/tresk_manifest.h"
#include "tests/app/model/model_test_support.h"
#include "tests/core/evidence/archive_builder.h"
#include "tests/core/evidence/loopback_tsa.h"
#include "tests/support/log_capture.h"
#include "tests/support/secret_store_double.h"
#include "tests/support/test_env.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;
using kx::test::TempDir;
using Kind = OwnerManifestState::Kind;

namespace {

class EvidenceModelTest : public kx::test::PrivateHomeTest {
protected:
    ::EvidenceModel& evidence() const { return model->evidence(); }
    void SetUp() override {
        PrivateHomeTest::SetUp();
        model = std::make_unique<AppModel>();
        const std::string url = tsa.url(), pem = tsa.trustedPem();
        evidence().setSealAnchorClientFactory([url, pem] { return kx::SealAnchorClient(url, nullptr, pem); });
        // Let the launch-time retry pass (nothing queued yet) finish first.
        ASSERT_TRUE(kx::test::drainModelTasks(*model));
    }
    void TearDown() override {
        model.reset();
        PrivateHomeTest::TearDown();
    }

    fs::path root() const { return model->destinationRoot().toStdString(); }
    fs::path db(const std::string& folder = "jorin") const { return root() / folder / "tresk.db"; }
    void settle() { ASSERT_TRUE(kx::test::drainModelTasks(*model)); }

    EvidenceModel::ExportOutcome exportNow(kx::ExportFormat format, const fs::path& to,
                                           const std::string& handle = "+15550001111") {
        std::optional<EvidenceModel::ExportOutcome> outcome;
        kx::TreskStore::ConversationSummary c;
        c.handle = handle;
        evidence().exportConversation("jorin", c, format, QString::fromStdString(to.string()),
                                      [&](const EvidenceModel::ExportOutcome& o) { outcome = o; });
        EXPECT_TRUE(kx::test::drainModelTasks(*model));
        EXPECT_TRUE(outcome.has_value());
        return outcome.value_or(EvidenceModel::ExportOutcome{});
    }

    void retry(bool force) {
        bool finished = false;
        evidence().retryPendingAnchors(force, [&] { finished = true; });
        ASSERT_TRUE(kx::test::drainModelTasks(*model));
        ASSERT_TRUE(finished);
    }

    TempDir out;
    kx::test::LoopbackTimeStampAuthority tsa;
    std::unique_ptr<AppModel> model;
};

TEST_F(EvidenceModelTest, ManifestLifecycleFromNothingToBroken) {
    EXPECT_EQ(evidence().manifestState("jorin").kind, Kind::unknown);
    evidence().loadManifestState("jorin");
    EXPECT_EQ(evidence().manifestState("jorin").kind, Kind::notGenerated);

    // No archive yet: a sentence, and no archive file appears.
    evidence().generateManifest("jorin");
    EXPECT_FALSE(evidence().isManifesting());
    EXPECT_EQ(model->lastError(), "There is no archive for jorin yet, so there is nothing to seal.");
    EXPECT_FALSE(fs::exists(db()));

    kx::test::addMessages(db(), {.count = 30});
    evidence().generateManifest("jorin");
    EXPECT_TRUE(evidence().isManifesting());
    evidence().verifyManifest("jorin"); // dropped: one operation at a time
    settle();
    auto present = evidence().manifestState("jorin");
    ASSERT_EQ(present.kind, Kind::present);
    EXPECT_EQ(present.messageCount, 30);
    EXPECT_EQ(present.chainHead.size(), 64u);

    evidence().verifyManifest("jorin");
    settle();
    auto intact = evidence().manifestState("jorin");
    ASSERT_EQ(intact.kind, Kind::verified);
    EXPECT_EQ(intact.result.status, 0);
    EXPECT_EQ(intact.generatedAt, present.generatedAt);

    kx::test::tamper(db(), "UPDATE messages SET text = 'edited' WHERE guid = 'MSG-9'");
    evidence().verifyManifest("jorin");
    settle();
    auto broken = evidence().manifestState("jorin");
    ASSERT_EQ(broken.kind, Kind::verified);
    EXPECT_EQ(broken.result.status, 1);
    ASSERT_TRUE(broken.result.firstDifference);
    EXPECT_EQ(broken.result.firstDifference->guid, "MSG-9");

    // A manifest is never made over tables that no longer show what was archived.
    evidence().generateManifest("jorin");
    settle();
    EXPECT_EQ(evidence().manifestState("jorin").kind, Kind::verified);
    EXPECT_TRUE(model->lastError().contains("the text of message MSG-9 differs from what was archived"))
        << model->lastError().toStdString();

    // Once message and records agree again (here: MSG-9 taken out whole), generating
    // keeps the old evidence beside the new manifest.
    kx::test::tamper(db(), "PRAGMA foreign_keys = OFF; DELETE FROM records WHERE subject = (SELECT id FROM messages "
                           "WHERE guid = 'MSG-9') AND family = 1; DELETE FROM message_sources WHERE message_id = "
                           "(SELECT id FROM messages WHERE guid = 'MSG-9'); DELETE FROM messages WHERE guid = 'MSG-9'");
    evidence().generateManifest("jorin");
    settle();
    EXPECT_NE(evidence().manifestState("jorin").chainHead, present.chainHead);
    int kept = 0;
    for (const auto& e : fs::directory_iterator(root() / "jorin"))
        kept += e.path().filename().string().rfind("tresk.manifest.superseded-", 0) == 0;
    EXPECT_EQ(kept, 1);

    // Loading again returns to the stored manifest; other owners are untouched.
    evidence().loadManifestState("jorin");
    EXPECT_EQ(evidence().manifestState("jorin").kind, Kind::present);
    EXPECT_EQ(evidence().manifestState("someone").kind, Kind::unknown);
    evidence().setManifestState(std::nullopt, "jorin");
    EXPECT_EQ(evidence().manifestState("jorin").kind, Kind::unknown);
}

TEST_F(EvidenceModelTest, VerifyingWithoutManifestOrArchive) {
    evidence().verifyManifest("jorin");
    settle();
    EXPECT_EQ(evidence().manifestState("jorin").kind, Kind::notGenerated);

    // A manifest whose archive has gone: unreadable, and no empty archive is made.
    kx::test::addMessages(db(), {.count = 3});
    evidence().generateManifest("jorin");
    settle();
    fs::remove(db());
    evidence().verifyManifest("jorin");
    settle();
    auto s = evidence().manifestState("jorin");
    EXPECT_EQ(s.kind, Kind::unreadable);
    EXPECT_NE(s.reason.find("no archive"), std::string::npos) << s.reason;
    EXPECT_FALSE(fs::exists(db()));
    EXPECT_TRUE(model->lastError().isEmpty());

    // A damaged manifest reads as unreadable when loaded.
    kx::test::writeAll(kx::TreskManifest::path(root().string(), "jorin"), "{");
    evidence().loadManifestState("jorin");
    EXPECT_EQ(evidence().manifestState("jorin").kind, Kind::unreadable);
}

TEST_F(EvidenceModelTest, OwnerWithASlashUsesItsFolder) {
    kx::test::addMessages(db("jorin_work"), {.owner = "jorin/work", .count = 4});
    evidence().generateManifest("jorin/work");
    settle();
    EXPECT_EQ(evidence().manifestState("jorin/work").kind, Kind::present);
    EXPECT_TRUE(fs::exists(root() / "jorin_work" / kx::TreskManifest::kFileName));
}

TEST_F(EvidenceModelTest, ExportsInEveryFormatWithAnchoredSeals) {
    kx::test::addMessages(db(), {.count = 12});
    evidence().generateManifest("jorin");
    settle();
    const std::string head = evidence().manifestState("jorin").chainHead;
    for (auto format : kx::kExportFormatAllCases) {
        const fs::path to = out / ("Alice." + kx::exportFormatExtension(format));
        auto o = exportNow(format, to);
        ASSERT_TRUE(o.result) << o.error.toStdString();
        EXPECT_EQ(o.result->exportPath, to.string());
        EXPECT_FALSE(o.result->anchorProblem);
        ASSERT_TRUE(o.result->seal.anchor);
        EXPECT_EQ(o.result->seal.manifestHead, head);
        EXPECT_EQ(o.result->seal.format, format);
        EXPECT_EQ(kx::SealFile::read(kx::SealFile::path(to.string())), o.result->seal);
    }
    EXPECT_EQ(evidence().pendingAnchorCount(), 0);
}

TEST_F(EvidenceModelTest, AChangedArchiveIsExportedButNotSealed) {
    kx::test::addMessages(db(), {.count = 6});
    evidence().generateManifest("jorin");
    settle();
    kx::test::tamper(db(), "UPDATE messages SET text = 'edited' WHERE guid = 'MSG-3'");
    const fs::path to = out / "Alice.csv";
    auto o = exportNow(kx::ExportFormat::csv, to);
    EXPECT_FALSE(o.result);
    EXPECT_TRUE(o.error.startsWith("The conversation was exported to " + QString::fromStdString(to.string()) +
                                   ", but it was not sealed: the archive has changed since its manifest was made"))
        << o.error.toStdString();
    EXPECT_TRUE(o.error.contains("message MSG-3")) << o.error.toStdString();
    EXPECT_TRUE(fs::exists(to));
    EXPECT_FALSE(fs::exists(kx::SealFile::path(to.string())));
    EXPECT_EQ(evidence().pendingAnchorCount(), 0);
}

// The latest manifest's head is pinned in the keyring beside the owner's key: a
// manifest copied back from an older one, or removed, is named by Verify.
TEST_F(EvidenceModelTest, VerifyNamesAManifestReplacedByAnOlderOneOrRemoved) {
    auto keyring = std::make_shared<kx::InMemorySecretStore>();
    kx::setDefaultSecretStoreForTesting(keyring);
    kx::test::addMessages(db(), {.count = 6});
    evidence().generateManifest("jorin");
    settle();
    const std::string manifest = kx::TreskManifest::path(root().string(), "jorin");
    const std::string older = kx::test::readAll(manifest);
    kx::test::addMessages(db(), {.first = 7, .count = 2});
    evidence().generateManifest("jorin");
    settle();
    EXPECT_EQ(kx::ManifestPins(keyring.get()).pinned("jorin")->chainHead, kx::TreskManifest::read(manifest)->chainHead);

    kx::test::writeAll(manifest, older);
    evidence().verifyManifest("jorin");
    settle();
    auto s = evidence().manifestState("jorin");
    ASSERT_EQ(s.kind, Kind::verified);
    EXPECT_EQ(s.result.status, static_cast<int>(kx::TreskManifest::Status::broken));
    EXPECT_TRUE(s.result.note && s.result.note->rfind("The archive's manifest was replaced by an older one", 0) == 0)
        << s.result.note.value_or("");

    fs::remove(manifest);
    evidence().verifyManifest("jorin");
    settle();
    s = evidence().manifestState("jorin");
    ASSERT_EQ(s.kind, Kind::unreadable);
    EXPECT_EQ(s.reason.rfind("The archive's manifest was removed", 0), 0u) << s.reason;
    kx::setDefaultSecretStoreForTesting(nullptr);
}

TEST_F(EvidenceModelTest, SealsWaitWhileTheServerIsDownAndARetryAnchorsThem) {
    kx::test::addMessages(db(), {.count = 5});
    tsa.stop();
    auto o = exportNow(kx::ExportFormat::csv, out / "Alice.csv");
    ASSERT_TRUE(o.result) << o.error.toStdString();
    ASSERT_TRUE(o.result->anchorProblem);
    EXPECT_FALSE(o.result->seal.anchor);
    // No manifest yet: one is made first and the seal names its head.
    EXPECT_EQ(o.result->seal.manifestHead,
              kx::TreskManifest::read(kx::TreskManifest::path(root().string(), "jorin"))->chainHead);
    EXPECT_EQ(evidence().pendingAnchorCount(), 1);
    EXPECT_TRUE(fs::exists(out / "Alice.csv.kxseal.json"));

    retry(false);
    EXPECT_EQ(evidence().lastAnchorRetry(), "Anchored 0 of 1; 1 still waiting.");
    retry(false);
    EXPECT_EQ(evidence().lastAnchorRetry(), "1 waiting; checked recently.");

    tsa.start();
    retry(true);
    EXPECT_EQ(evidence().lastAnchorRetry(), "Anchored 1 of 1; 0 still waiting.");
    EXPECT_EQ(evidence().pendingAnchorCount(), 0);
    EXPECT_TRUE(kx::SealFile::read((out / "Alice.csv.kxseal.json").string()).anchor);

    retry(true);
    EXPECT_TRUE(evidence().lastAnchorRetry().isNull());
}

TEST_F(EvidenceModelTest, FailedExportsLeaveNothingBehind) {
    // No archive: an error, nothing written, no archive created.
    auto none = exportNow(kx::ExportFormat::json, out / "A.json");
    EXPECT_FALSE(none.result);
    EXPECT_TRUE(none.error.startsWith("The conversation was not exported: ")) << none.error.toStdString();
    EXPECT_FALSE(fs::exists(db()));

    kx::test::addMessages(db(), {.count = 5});
    auto unknown = exportNow(kx::ExportFormat::json, out / "A.json", "+19999999999");
    EXPECT_FALSE(unknown.result);
    EXPECT_TRUE(fs::is_empty(out.path()));
    EXPECT_EQ(evidence().pendingAnchorCount(), 0);
    EXPECT_TRUE(model->lastError().isEmpty());

    // A seal file that cannot be written is an error, never "sealed".
    fs::create_directory(out / "B.json.kxseal.json");
    auto unsealed = exportNow(kx::ExportFormat::json, out / "B.json");
    EXPECT_FALSE(unsealed.result);
    EXPECT_NE(unsealed.error.indexOf("is not sealed"), -1) << unsealed.error.toStdString();
    EXPECT_EQ(evidence().pendingAnchorCount(), 0);
}

// What a screen shows as "unreadable", a banner sentence or a failed export is
// also logged, with the reason, so it can be sent when something does not show.
TEST_F(EvidenceModelTest, FailuresTurnedIntoStatesAndSentencesAreLogged) {
    const kx::test::LogCapture log("kelvara.evidence");
    evidence().generateManifest("jorin");
    ASSERT_EQ(log.messages().size(), 1);
    EXPECT_EQ(log.messages()[0], "There is no archive for jorin yet, so there is nothing to seal.");

    kx::test::writeAll(kx::TreskManifest::path(root().string(), "jorin"), "{");
    evidence().loadManifestState("jorin");
    ASSERT_EQ(log.messages().size(), 2);
    EXPECT_TRUE(log.messages()[1].startsWith("The manifest of jorin's archive could not be read: "))
        << log.messages()[1].toStdString();
    EXPECT_GT(log.messages()[1].size(), QStringLiteral("The manifest of jorin's archive could not be read: ").size());
    fs::remove(kx::TreskManifest::path(root().string(), "jorin"));

    auto none = exportNow(kx::ExportFormat::json, out / "A.json");
    ASSERT_FALSE(none.result);
    ASSERT_EQ(log.messages().size(), 3);
    EXPECT_EQ(log.messages()[2], none.error);

    // A seal that waits for its anchor says why.
    kx::test::addMessages(db(), {.count = 2});
    tsa.stop();
    auto waiting = exportNow(kx::ExportFormat::json, out / "B.json");
    ASSERT_TRUE(waiting.result);
    ASSERT_TRUE(waiting.result->anchorProblem);
    ASSERT_EQ(log.messages().size(), 4);
    EXPECT_TRUE(log.messages()[3].contains(QString::fromStdString(*waiting.result->anchorProblem)))
        << log.messages()[3].toStdString();
}

TEST_F(EvidenceModelTest, OwnersThatCannotNameAFolderAreRefusedAndNothingIsWrittenOutsideTheRoot) {
    // Archives where "..", "." and "../x" would reach if they were used as folder
    // names as they stand: beside the root, the root itself, a sibling folder.
    const fs::path around = root().parent_path();
    kx::test::addMessages(around / "tresk.db", {.owner = "..", .count = 3});
    kx::test::addMessages(root() / "tresk.db", {.owner = ".", .count = 3});
    kx::test::addMessages(around / "x/tresk.db", {.owner = "../x", .count = 3});
    const std::string before = kx::test::snapshotTree(around);

    for (const QString owner : {"..", "."}) {
        model->setLastError(QString());
        evidence().generateManifest(owner);
        EXPECT_FALSE(evidence().isManifesting());
        EXPECT_EQ(model->lastError(),
                  "Nothing was sealed for \"" + owner + "\": \"" + owner + "\" cannot name an archive folder.");
        evidence().verifyManifest(owner);
        EXPECT_EQ(evidence().manifestState(owner).kind, Kind::unreadable);
        EXPECT_EQ(evidence().manifestState(owner).reason,
                  "\"" + owner.toStdString() + "\" cannot name an archive folder");
        evidence().loadManifestState(owner);
        EXPECT_EQ(evidence().manifestState(owner).kind, Kind::unreadable);
    }
    // "../x" names a folder of its own inside the root, where there is no archive.
    evidence().generateManifest("../x");
    EXPECT_EQ(model->lastError(), "There is no archive for ../x yet, so there is nothing to seal.");
    evidence().verifyManifest("../x");
    settle();
    EXPECT_EQ(evidence().manifestState("../x").kind, Kind::notGenerated);

    for (const QString owner : {"..", ".", "../x"}) {
        std::optional<EvidenceModel::ExportOutcome> outcome;
        kx::TreskStore::ConversationSummary c;
        c.handle = "+15550001111";
        evidence().exportConversation(owner, c, kx::ExportFormat::json,
                                      QString::fromStdString((out / "A.json").string()),
                                      [&](const EvidenceModel::ExportOutcome& o) { outcome = o; });
        settle();
        ASSERT_TRUE(outcome.has_value());
        EXPECT_FALSE(outcome->result);
        EXPECT_TRUE(outcome->error.startsWith("The conversation was not exported: ")) << outcome->error.toStdString();
    }
    EXPECT_TRUE(fs::is_empty(out.path()));
    EXPECT_EQ(kx::test::snapshotTree(around), before);
    EXPECT_EQ(evidence().pendingAnchorCount(), 0);
}

} // namespace

namespace {

// Posts to the real authority after a pause, noting how many posts overlap.
struct SlowSession final : kx::HttpSession {
    kx::CurlHttpSession curl;
    std::atomic<int> inFlight{0}, most{0}, posts{0};
    kx::HttpReply post(const std::string& url, const std::string& contentType, const std::string& body,
                       std::chrono::seconds timeout) override {
        ++posts;
        const int now = ++inFlight;
        for (int m = most; now > m && !most.compare_exchange_weak(m, now);) {
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        struct Leave {
            std::atomic<int>& n;
            ~Leave() { --n; }
        } leave{inFlight};
        return curl.post(url, contentType, body, timeout);
    }
};

TEST_F(EvidenceModelTest, OneRetryPassAtATimeAndNeverBesideAnExportsAnchoring) {
    kx::test::addMessages(db(), {.count = 5});
    auto session = std::make_shared<SlowSession>();
    const std::string url = tsa.url(), pem = tsa.trustedPem();
    evidence().setSealAnchorClientFactory([url, pem, session] { return kx::SealAnchorClient(url, session, pem); });

    // An export is asking the authority for its seal's anchor (its seal already
    // queued in case the program ends meanwhile) when a retry pass starts.
    bool exported = false;
    kx::TreskStore::ConversationSummary c;
    c.handle = "+15550001111";
    evidence().exportConversation("jorin", c, kx::ExportFormat::json, QString::fromStdString((out / "A.json").string()),
                                  [&](const EvidenceModel::ExportOutcome& o) { exported = o.result.has_value(); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return session->posts > 0; }, 20000));
    ASSERT_TRUE(evidence().retryPendingAnchors(true));
    EXPECT_TRUE(evidence().isRetryingAnchors());
    EXPECT_FALSE(evidence().retryPendingAnchors(true)) << "a second press during a pass is ignored";
    settle();
    EXPECT_TRUE(exported);
    EXPECT_FALSE(evidence().isRetryingAnchors());
    // The pass waited for the export's attempt, found the seal anchored, and sent nothing.
    EXPECT_EQ(session->most, 1);
    EXPECT_EQ(session->posts, 1);
    EXPECT_EQ(evidence().pendingAnchorCount(), 0);
    EXPECT_TRUE(kx::SealFile::read((out / "A.json.kxseal.json").string()).anchor);
}

TEST_F(EvidenceModelTest, ANewManifestKeepsTheOneItReplaces) {
    kx::test::addMessages(db(), {.count = 4});
    evidence().generateManifest("jorin");
    settle();
    kx::test::addMessages(db(), {.first = 5, .count = 2});
    evidence().generateManifest("jorin");
    settle();
    // The new manifest extends the old one, and the old one is kept all the same.
    int kept = 0;
    for (const auto& e : fs::directory_iterator(root() / "jorin"))
        kept += e.path().filename().string().rfind("tresk.manifest.superseded-", 0) == 0;
    EXPECT_EQ(kept, 1);
    EXPECT_EQ(evidence().manifestState("jorin").messageCount, 6);
}

} // namespace
