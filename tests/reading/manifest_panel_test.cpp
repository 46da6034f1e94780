// The tamper-evidence panel driven through its widgets: generate, verify an
// intact archive, change a message with the sqlite3 tool and see BROKEN at its
// position; replacing a manifest asks first and keeps the old one; every
// verification status as the panel words it.
#include "app/model/evidence_model.h"
#include "app/ui/text_widgets.h"
#include "app/ui/widgets.h"
#include "reading/manifest_panel.h"
#include "reading/model/evidence_text.h"
#include "tests/reading/reading_fixture.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>

using namespace kx;
using namespace kx::test;
using Kind = OwnerManifestState::Kind;

namespace {

QString stateLabel(ManifestPanel& p) { return p.stateArea()->findChild<SymbolTextLabel*>("stateLabel")->text(); }
QString stateLine(ManifestPanel& p, const char* name) {
    auto* l = p.stateArea()->findChild<QLabel*>(QString::fromLatin1(name));
    if (auto* t = p.stateArea()->findChild<MonospacedText*>(QString::fromLatin1(name))) return t->text();
    return l ? l->text() : QStringLiteral("<none>");
}

class ManifestPanelTest : public ReadingTest {
protected:
    void SetUp() override {
        ReadingTest::SetUp();
        start();
    }
    std::unique_ptr<ManifestPanel> open() {
        auto p = std::make_unique<ManifestPanel>(*model);
        p->setConfirm([this](const QString& q) {
            questions << q;
            return answer;
        });
        p->resize(640, 260);
        p->show();
        QCoreApplication::processEvents();
        return p;
    }
    int keptManifests() const {
        const QDir folder(QFileInfo(OwnersModel::archiveDatabasePath(root(), "jorin")).absolutePath());
        return static_cast<int>(folder.entryList({"tresk.manifest.superseded-*"}, QDir::Files).size());
    }
    QStringList questions;
    bool answer = true;
};

TEST_F(ManifestPanelTest, WithoutOwnersNothingCanBeDone) {
    auto p = open();
    EXPECT_TRUE(p->owner().isEmpty());
    EXPECT_FALSE(p->ownerPicker()->isVisible());
    EXPECT_EQ(stateLabel(*p), "Not checked");
    EXPECT_FALSE(p->generateButton()->isEnabled());
    EXPECT_FALSE(p->verifyButton()->isEnabled());
    snapshot(*p, "manifest-unknown");
}

TEST_F(ManifestPanelTest, GenerateVerifyTamperAndReplace) {
    registerSource("src-a", "jorin");
    {
        ArchiveWriter w(root(), "jorin");
        w.simpleConversation("+15550001111", 30);
    }
    auto p = open();
    EXPECT_EQ(p->owner(), "jorin");
    EXPECT_FALSE(p->ownerPicker()->isVisible());
    EXPECT_EQ(stateLabel(*p), "No manifest yet");
    EXPECT_TRUE(stateLine(*p, "stateDetail").startsWith("A manifest is a hash chain over every archived message."));
    snapshot(*p, "manifest-not-generated");

    p->generateButton()->click();
    EXPECT_TRUE(questions.isEmpty()) << "nothing to replace: no question";
    EXPECT_FALSE(p->generateButton()->isEnabled());
    EXPECT_FALSE(p->verifyButton()->isEnabled());
    EXPECT_TRUE(p->progress()->isVisible());
    ASSERT_TRUE(settle());
    EXPECT_FALSE(p->progress()->isVisible());
    auto present = model->evidence().manifestState("jorin");
    ASSERT_EQ(present.kind, Kind::present);
    EXPECT_TRUE(stateLabel(*p).startsWith("Sealed "));
    EXPECT_EQ(stateLine(*p, "stateDetail"), "30 messages covered. Not verified since.");
    EXPECT_EQ(stateLine(*p, "head"), QString::fromStdString(present.chainHead.substr(0, 16)) + "…");
    ASSERT_NE(p->copyButton(), nullptr);
    p->copyButton()->click();
    EXPECT_EQ(QApplication::clipboard()->text(), QString::fromStdString(present.chainHead));
    snapshot(*p, "manifest-present");

    p->verifyButton()->click();
    ASSERT_TRUE(settle());
    EXPECT_EQ(stateLabel(*p), "Intact — all 30 messages unchanged");
    EXPECT_EQ(stateLine(*p, "stateDetail"), "Sealed " + reading::manifestDate(present.generatedAt) + ".");
    snapshot(*p, "manifest-intact");

    // Someone changes one message with the sqlite3 tool.
    const std::string db = OwnersModel::archiveDatabasePath(root(), "jorin").toStdString();
    sqlite3(db, "UPDATE messages SET text = 'changed afterwards' WHERE guid = 'M-9';");
    p->verifyButton()->click();
    ASSERT_TRUE(settle());
    const auto broken = model->evidence().manifestState("jorin");
    ASSERT_EQ(broken.kind, Kind::verified);
    ASSERT_EQ(broken.result.status, 1);
    ASSERT_TRUE(broken.result.firstDifference);
    EXPECT_EQ(stateLabel(*p), "BROKEN — the archive has changed since it was sealed");
    EXPECT_EQ(stateLine(*p, "firstDifference"), "First difference at position " +
                                                    QString::number(broken.result.firstDifference->position) +
                                                    ", message M-9");
    EXPECT_TRUE(stateLine(*p, "hashes").startsWith("expected "));
    EXPECT_TRUE(stateLine(*p, "hashes").contains(" · found "));
    snapshot(*p, "manifest-broken");

    // Put back as it was, the archive is intact again; a new manifest is asked
    // for first and keeps the old one beside it, even though it extends it.
    sqlite3(db, "UPDATE messages SET text = 'Message 9' WHERE guid = 'M-9';");
    p->verifyButton()->click();
    ASSERT_TRUE(settle());
    ASSERT_EQ(model->evidence().manifestState("jorin").result.status, 0);
    answer = false;
    p->generateButton()->click();
    ASSERT_EQ(questions.size(), 1);
    EXPECT_EQ(questions[0], "Replace the manifest sealed on " + reading::manifestDate(present.generatedAt) +
                                "? The old one is kept beside it.");
    EXPECT_FALSE(model->evidence().isManifesting()) << "declined: nothing happens";
    EXPECT_EQ(keptManifests(), 0);
    answer = true;
    p->generateButton()->click();
    ASSERT_TRUE(settle());
    EXPECT_EQ(questions.size(), 2);
    EXPECT_EQ(model->evidence().manifestState("jorin").kind, Kind::present);
    EXPECT_EQ(keptManifests(), 1);
}

TEST_F(ManifestPanelTest, GeneratingWithoutAnArchiveOnlySetsTheError) {
    registerSource("src-a", "jorin");
    auto p = open();
    p->generateButton()->click();
    EXPECT_EQ(model->lastError(), "There is no archive for jorin yet, so there is nothing to seal.");
    EXPECT_EQ(stateLabel(*p), "No manifest yet");
}

TEST_F(ManifestPanelTest, TwoOwnersEachShowTheirOwnState) {
    registerSource("src-b", "vale");
    registerSource("src-a", "jorin");
    { ArchiveWriter(root(), "vale").simpleConversation("+1666", 3); }
    auto p = open();
    ASSERT_TRUE(p->ownerPicker()->isVisible());
    EXPECT_EQ(p->ownerPicker()->values(), QStringList({"jorin", "vale"}));
    EXPECT_EQ(p->owner(), "jorin");
    p->ownerPicker()->segment("vale")->click();
    EXPECT_EQ(p->owner(), "vale");
    p->generateButton()->click();
    ASSERT_TRUE(settle());
    EXPECT_TRUE(stateLabel(*p).startsWith("Sealed "));
    p->ownerPicker()->segment("jorin")->click();
    EXPECT_EQ(stateLabel(*p), "No manifest yet");
    snapshot(*p, "manifest-two-owners");
}

TEST_F(ManifestPanelTest, EveryStatusIsWordedAsItMeans) {
    registerSource("src-a", "jorin");
    auto p = open();
    const Date at = readingDate(0);
    auto show = [&](std::uint8_t status, std::int64_t manifest, std::int64_t now,
                    std::optional<TreskManifest::FirstDifference> diff = std::nullopt,
                    std::optional<std::string> note = std::nullopt) {
        TreskManifest::VerificationResult r;
        r.status = status;
        r.unchangedCount = std::min(manifest, now);
        r.manifestCount = manifest;
        r.archiveCount = now;
        r.firstDifference = std::move(diff);
        r.note = std::move(note);
        model->evidence().setManifestState(OwnerManifestState::verified(r, at), "jorin");
        QCoreApplication::processEvents();
    };
    show(0, 1, 1);
    EXPECT_EQ(stateLabel(*p), "Intact — all 1 message unchanged");
    show(2, 100, 120);
    EXPECT_EQ(stateLabel(*p), "Intact — every sealed message unchanged");
    EXPECT_EQ(stateLine(*p, "stateDetail"),
              "20 message(s) archived since the seal. That is normal growth, not a change to what was sealed.");
    snapshot(*p, "manifest-grown");
    show(3, 100, 90);
    EXPECT_EQ(stateLabel(*p), "Messages removed from the end");
    EXPECT_EQ(stateLine(*p, "stateDetail"),
              "The seal covers 100 messages; the archive now holds 90. Everything still present matches.");
    snapshot(*p, "manifest-shortened");
    // Only later records of messages still there removed: the counts are equal,
    // so the core's own note says what is gone.
    show(3, 100, 100, std::nullopt,
         "The archive ends early: 2 records at the end that the manifest covers are missing; everything still "
         "present matches.");
    EXPECT_EQ(stateLabel(*p), "Records removed from the end");
    EXPECT_EQ(stateLine(*p, "stateDetail"),
              "The seal covers 100 messages; the archive now holds 100. The archive ends early: 2 records at the end "
              "that the manifest covers are missing; everything still present matches.");
    show(1, 10, 10, TreskManifest::FirstDifference{7, "", "aa", "bb"});
    EXPECT_EQ(stateLine(*p, "firstDifference"), "First difference at position 7");
    EXPECT_EQ(stateLine(*p, "hashes"), "expected aa · found bb");
    // A conversation is named as one, and the core's sentence is shown.
    show(1, 10, 10, TreskManifest::FirstDifference{7, "chat77", "aa", "bb", "conversation"},
         "Records 1 to 6 match the manifest; record 7 (the conversation chat77) does not.");
    EXPECT_EQ(stateLine(*p, "firstDifference"), "First difference at position 7, conversation chat77");
    EXPECT_EQ(stateLine(*p, "stateDetail"),
              "Records 1 to 6 match the manifest; record 7 (the conversation chat77) does not.");
    snapshot(*p, "manifest-broken-conversation");
    show(1, 10, 10);
    EXPECT_EQ(stateLine(*p, "firstDifference"), "<none>");
    EXPECT_EQ(stateLine(*p, "stateDetail"), "<none>");
    show(4, 10, 10);
    EXPECT_EQ(stateLabel(*p), "Cannot be checked by this version");
    EXPECT_EQ(stateLine(*p, "stateDetail"), "");
    show(9, 10, 10, std::nullopt, "made by a newer version");
    EXPECT_EQ(stateLine(*p, "stateDetail"), "made by a newer version");
    snapshot(*p, "manifest-cannot-judge");

    model->evidence().setManifestState(OwnerManifestState::unreadable("the manifest file is damaged"), "jorin");
    QCoreApplication::processEvents();
    EXPECT_EQ(stateLabel(*p), "The manifest could not be read");
    EXPECT_EQ(stateLine(*p, "stateDetail"), "the manifest file is damaged");
    snapshot(*p, "manifest-unreadable");
    model->evidence().setManifestState(OwnerManifestState::present(at, 3, "abc"), "jorin");
    QCoreApplication::processEvents();
    EXPECT_EQ(stateLine(*p, "head"), "abc…");
}

} // namespace
