// The household screen, its member cards and sheets, driven as a user would;
// each state is also saved as a PNG when KX_SNAPSHOT_DIR is set.
#include "household/household_view.h"

#include "core/household/household_store.h"
#include "household/join_archive_view.h"
#include "household/join_model.h"
#include "household/link_another_mac_view.h"
#include "household/member_card.h"
#include "tests/backup/backup_test_support.h"
#include "tests/household/join_test_support.h"
#include "tests/support/model_test_access.h"
#include "tests/support/snapshots.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>

#include <fstream>

namespace kx::test {
namespace {

namespace stdfs = std::filesystem;
using namespace std::chrono;

Date daysAgo(double days) {
    return system_clock::now() - duration_cast<system_clock::duration>(duration<double>(days * 86400));
}

QStringList texts(QWidget& w, const QString& name) {
    QStringList out;
    for (auto* l : w.findChildren<QLabel*>(name)) out << l->text();
    return out;
}

class HouseholdScreen : public BackupTest {
protected:
    HouseholdView& showHousehold(BackupModel& b) {
        auto* view = show<HouseholdView>(
            [&](QWidget* parent) { return new HouseholdView(*model, b.destinationsModel(), parent); }, QSize(820, 900));
        EXPECT_TRUE(settle());
        return *view;
    }

    // Three members: a host archiving from this Mac, one whose Mac has been
    // silent for 9 days, and one with two Macs.
    Household threeMembers() {
        Household h;
        h.recordRun("jorin", "THIS-MAC", "Jorin's desk", daysAgo(0.2), 3);
        h.recordRun("sam", "SAM-MAC", "Sam's laptop", daysAgo(9), 1);
        h.recordRun("ama", "AMA-1", "Ama's laptop", daysAgo(1), 1);
        h.recordRun("ama", "AMA-2", "Studio Mac", daysAgo(6), 0);
        h.makeHost("jorin");
        return h;
    }

    void startWith(const Household& h) {
        HouseholdStore::save(h, configDir().string(), false);
        start();
        ModelTestAccess::setMachineID(model->householdModel(), QStringLiteral("THIS-MAC"));
    }

    template <class W>
    W* sheet() {
        for (auto* w : QApplication::topLevelWidgets()) {
            if (auto* s = qobject_cast<W*>(w); s && s->isVisible()) return s;
        }
        return nullptr;
    }
};

TEST_F(HouseholdScreen, EmptyHouseholdWithoutStorageOrSources) {
    start();
    BackupModel& b = makeBackup();
    HouseholdView& view = showHousehold(b);
    EXPECT_FALSE(view.linkButton()->isEnabled());
    EXPECT_EQ(view.linkButton()->toolTip(), QStringLiteral("Set up shared storage on the Backup screen first. A link "
                                                           "code has to point somewhere."));
    EXPECT_TRUE(view.joinButton()->isEnabled());
    EXPECT_FALSE(view.findChild<QWidget*>(QStringLiteral("loadProblemNote"))->isVisible());
    EXPECT_EQ(texts(view, QStringLiteral("summaryText")), QStringList{QStringLiteral("No Macs are reporting yet.")});
    ASSERT_TRUE(view.findChild<QWidget*>(QStringLiteral("emptyHousehold")));
    snapshot(*window, QStringLiteral("household-empty"));

    auto* connectButton = view.findChild<QPushButton*>(QStringLiteral("connectMessages"));
    ASSERT_TRUE(connectButton);
    connectButton->click();
    EXPECT_EQ(model->route(), Route::sources);

    // Once a source is registered the button goes; the box stays until a Mac reports.
    model->mutableRegistry().add(folderSource("f", "jorin", home / "src"));
    emit model->registryChanged();
    QCoreApplication::processEvents();
    EXPECT_TRUE(view.findChild<QWidget*>(QStringLiteral("emptyHousehold")));
    EXPECT_FALSE(view.findChild<QPushButton*>(QStringLiteral("connectMessages")));

    // With a destination, linking is offered.
    stdfs::create_directories(home / "drive");
    addDestination(b.destinationsModel(), folderDestination("D", home / "drive"), std::nullopt);
    EXPECT_TRUE(view.linkButton()->isEnabled());
    EXPECT_EQ(view.linkButton()->toolTip(), QStringLiteral("Creates a code to paste on another Mac."));
}

TEST_F(HouseholdScreen, MembersCardsRenameAndRemoval) {
    startWith(threeMembers());
    BackupModel& b = makeBackup();
    HouseholdView& view = showHousehold(b);
    auto cards = view.findChildren<MemberCard*>();
    ASSERT_EQ(cards.size(), 3);
    EXPECT_EQ(texts(view, QStringLiteral("memberName")),
              (QStringList{QStringLiteral("jorin"), QStringLiteral("sam"), QStringLiteral("ama")}));
    EXPECT_TRUE(view.findChild<QLabel*>(QStringLiteral("summaryIcon"))->property("attention").toBool());
    EXPECT_EQ(texts(view, QStringLiteral("summaryText")),
              QStringList{QStringLiteral("1 of 3 archives has not been updated in the last 7 days.")});
    // Only the silent member says so; this Mac is marked; counts agree with their number.
    EXPECT_EQ(view.findChildren<QWidget*>(QStringLiteral("notArchiving")).size(), 1);
    EXPECT_TRUE(cards[1]->findChild<QWidget*>(QStringLiteral("notArchiving")));
    EXPECT_EQ(view.findChildren<QLabel*>(QStringLiteral("thisMacMarker")).size(), 1);
    EXPECT_EQ(view.findChildren<QLabel*>(QStringLiteral("thisMacIcon")).size(), 1);
    EXPECT_EQ(texts(view, QStringLiteral("macCount")), (QStringList{QStringLiteral("3 new messages on its last run"),
                                                                    QStringLiteral("1 new message on its last run"),
                                                                    QStringLiteral("1 new message on its last run")}));
    EXPECT_EQ(texts(*cards[0], QStringLiteral("roleBadge")), QStringList{QStringLiteral("Host")});
    EXPECT_EQ(texts(*cards[2], QStringLiteral("roleBadge")), QStringList{QStringLiteral("Member")});
    snapshot(*window, QStringLiteral("household-three-members"));

    // Rename: the field starts with the current name; spaces alone cannot be saved.
    cards[2]->findChildren<QPushButton*>(QStringLiteral("renameMac"))[1]->click();
    RenameMacView* rename = view.renameSheet();
    ASSERT_TRUE(rename);
    EXPECT_EQ(rename->nameField()->text(), QStringLiteral("Studio Mac"));
    snapshot(*rename, QStringLiteral("rename-sheet"));
    rename->nameField()->setText(QStringLiteral("   \t"));
    EXPECT_FALSE(rename->saveButton()->isEnabled());
    rename->nameField()->setText(QStringLiteral("Ama's studio"));
    rename->saveButton()->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(HouseholdStore::load(configDir().string()).household.members[2].macs[1].displayName, "Ama's studio");

    // Removal needs the confirmation: Cancel keeps the member, Remove takes it out and saves.
    cards = view.findChildren<MemberCard*>();
    cards[1]->removeButton()->click();
    auto* confirm = sheet<QMessageBox>();
    ASSERT_TRUE(confirm);
    EXPECT_EQ(confirm->text(), QStringLiteral("Remove sam from this list?"));
    snapshot(*confirm, QStringLiteral("remove-confirmation"));
    confirm->findChild<QPushButton*>(QStringLiteral("cancelRemove"))->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(model->householdModel().household().members.size(), 3u);
    cards[1]->removeButton()->click();
    confirm = sheet<QMessageBox>();
    ASSERT_TRUE(confirm);
    confirm->findChild<QPushButton*>(QStringLiteral("confirmRemove"))->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(model->householdModel().household().members.size(), 2u);
    EXPECT_EQ(HouseholdStore::load(configDir().string()).household.members.size(), 2u);
    EXPECT_EQ(view.findChildren<MemberCard*>().size(), 2);
}

TEST_F(HouseholdScreen, AnUnreadableHouseholdFileIsNeverChanged) {
    startWith(threeMembers());
    BackupModel& b = makeBackup();
    HouseholdView& view = showHousehold(b);
    const std::string damaged = "{\"name\": 7";
    std::ofstream(configDir() / "household.json") << damaged;
    view.findChild<QPushButton*>(QStringLiteral("refreshHousehold"))->click();
    ASSERT_TRUE(settle());
    QCoreApplication::processEvents();
    EXPECT_TRUE(view.findChild<QWidget*>(QStringLiteral("loadProblemNote"))->isVisible());
    EXPECT_TRUE(view.findChild<QWidget*>(QStringLiteral("summaryBox"))->isVisible());
    auto cards = view.findChildren<MemberCard*>();
    ASSERT_FALSE(cards.empty());
    for (auto* card : cards) {
        EXPECT_FALSE(card->removeButton()->isEnabled());
        EXPECT_EQ(card->removeButton()->toolTip(), HouseholdModel::lockedSentence());
        for (auto* r : card->findChildren<QPushButton*>(QStringLiteral("renameMac"))) EXPECT_FALSE(r->isEnabled());
    }
    snapshot(*window, QStringLiteral("household-load-problem"));
    // The model refuses too, with a sentence, and the file stays as it was.
    model->householdModel().unlinkMember(QStringLiteral("sam"));
    EXPECT_EQ(model->lastError(), HouseholdModel::lockedSentence());
    model->householdModel().renameMac(QStringLiteral("SAM-MAC"), QStringLiteral("x"));
    std::ifstream in(configDir() / "household.json");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), damaged);
}

TEST_F(HouseholdScreen, LinkSheetBuildsCopiesAndForgetsTheCode) {
    start();
    BackupModel& b = makeBackup(QStringLiteral("jorin"));
    stdfs::create_directories(home / "drive");
    addDestination(b.destinationsModel(), folderDestination("D", home / "drive"), std::nullopt);
    addDestination(b.destinationsModel(), storeDestination("S3"), storeCredentials());
    HouseholdView& view = showHousehold(b);

    view.linkButton()->click();
    LinkAnotherMacView* link = view.linkSheet();
    ASSERT_TRUE(link);
    EXPECT_EQ(link->picker()->count(), 2);
    EXPECT_EQ(link->picker()->itemText(0), QStringLiteral("External drive or NAS"));
    EXPECT_EQ(link->picker()->itemText(1), QStringLiteral("AWS S3 · kelvara-test"));
    EXPECT_EQ(link->createButton()->text(), QStringLiteral("Create code"));
    snapshot(*link, QStringLiteral("link-sheet"));
    // The screen behind the sheet agrees with its warning: a code carries the key.
    const QString note = view.findChild<QLabel*>(QStringLiteral("linkingNote"))->text();
    EXPECT_FALSE(note.contains(QStringLiteral("never shares message content"))) << note.toStdString();
    EXPECT_TRUE(note.contains(QStringLiteral("whoever holds one can read this archive"))) << note.toStdString();

    // No key yet: the join model's sentence, no code.
    link->createButton()->click();
    ASSERT_TRUE(settled(view.joinModel()));
    EXPECT_TRUE(view.joinModel().generatedCode().isNull());
    EXPECT_TRUE(link->findChild<QWidget*>(QStringLiteral("generateError"))->isVisible());
    snapshot(*link, QStringLiteral("link-sheet-no-key"));

    readyKey(b);
    link->picker()->setCurrentIndex(1);
    link->createButton()->click();
    ASSERT_TRUE(settled(view.joinModel()));
    const QString code = view.joinModel().generatedCode();
    ASSERT_TRUE(code.startsWith(QStringLiteral("KTRESK1-")));
    EXPECT_EQ(LinkCode::decode(code.toStdString()).destinationKind, "awsS3");
    EXPECT_EQ(link->createButton()->text(), QStringLiteral("Create a new code"));
    EXPECT_EQ(link->copyButton()->text(), QStringLiteral("Copy code"));
    snapshot(*link, QStringLiteral("link-sheet-code"));
    link->copyButton()->click();
    EXPECT_EQ(link->copyButton()->text(), QStringLiteral("Copied"));
    const QMimeData* clip = QGuiApplication::clipboard()->mimeData();
    ASSERT_TRUE(clip);
    EXPECT_EQ(clip->text(), code);
    EXPECT_EQ(clip->data(QStringLiteral("x-kde-passwordManagerHint")), QByteArray("secret"));
    link->createButton()->click();
    ASSERT_TRUE(settled(view.joinModel()));
    EXPECT_EQ(link->copyButton()->text(), QStringLiteral("Copy code"));

    // Closing takes the code away; opening again shows none.
    link->findChild<QPushButton*>(QStringLiteral("done"))->click();
    QCoreApplication::processEvents();
    EXPECT_TRUE(view.joinModel().generatedCode().isNull());
    EXPECT_TRUE(view.joinModel().generateError().isNull());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    view.linkButton()->click();
    ASSERT_TRUE(view.linkSheet());
    EXPECT_FALSE(view.linkSheet()->findChild<QWidget*>(QStringLiteral("codeBox"))->isVisible());
    view.linkSheet()->reject();
}

TEST_F(HouseholdScreen, LinkSheetWithoutStorage) {
    start();
    BackupModel& b = makeBackup();
    JoinModel join;
    LinkAnotherMacView sheet(join, *model, b.destinationsModel());
    sheet.show();
    EXPECT_FALSE(sheet.picker());
    EXPECT_TRUE(sheet.findChild<QWidget*>(QStringLiteral("noStorage")));
    EXPECT_FALSE(sheet.createButton()->isEnabled());
    QTest::keyClick(&sheet, Qt::Key_Return);
    EXPECT_TRUE(join.generatedCode().isNull());
    snapshot(sheet, QStringLiteral("link-sheet-no-storage"));
}

TEST_F(HouseholdScreen, JoinSheetWalksThroughEveryStage) {
    start();
    system->shortName = "ama";
    BackupModel& b = makeBackup(QStringLiteral("me"));
    // A code from another person's Mac, for a folder kind.
    const std::string phrase = TreskKeyMaterial::recoveryString(SymmetricKey::generate());
    const QString code = QString::fromStdString(LinkCode::encode("dropboxFolder", std::nullopt, std::nullopt,
                                                                 std::nullopt, std::nullopt, std::nullopt, phrase,
                                                                 "jorin"));
    HouseholdView& view = showHousehold(b);
    view.joinButton()->click();
    JoinArchiveView* join = view.joinSheet();
    ASSERT_TRUE(join);
    auto* check = join->button(QStringLiteral("checkCode"));
    EXPECT_FALSE(check->isEnabled());
    join->codeEditor()->setPlainText(QStringLiteral("  \t "));
    EXPECT_FALSE(check->isEnabled());
    join->codeEditor()->setPlainText(QStringLiteral("\n"));
    EXPECT_TRUE(check->isEnabled());
    join->codeEditor()->clear();
    snapshot(*join, QStringLiteral("join-entry"));

    // A cut code: the failure under the editor, the text kept.
    join->codeEditor()->setPlainText(code.left(code.size() / 2));
    join->button(QStringLiteral("checkCode"))->click();
    ASSERT_EQ(view.joinModel().stage().kind, JoinStage::Kind::failed);
    EXPECT_EQ(join->codeEditor()->toPlainText(), code.left(code.size() / 2));
    EXPECT_TRUE(join->findChild<QWidget*>(QStringLiteral("joinFailure")));
    snapshot(*join, QStringLiteral("join-failed"));

    join->codeEditor()->setPlainText(code);
    join->button(QStringLiteral("checkCode"))->click();
    ASSERT_EQ(view.joinModel().stage().kind, JoinStage::Kind::confirming)
        << view.joinModel().stage().text.toStdString();
    EXPECT_TRUE(join->findChild<QWidget*>(QStringLiteral("newArchiveWarning")));
    EXPECT_FALSE(join->button(QStringLiteral("join"))->isEnabled());
    snapshot(*join, QStringLiteral("join-confirming"));
    // A cancelled folder chooser changes nothing; a chosen one enables Join.
    nextFolder = QString();
    join->button(QStringLiteral("chooseFolder"))->click();
    EXPECT_EQ(join->findChild<QLabel*>(QStringLiteral("chosenFolder"))->text(), QStringLiteral("No folder chosen"));
    EXPECT_EQ(folderPrompts, QStringList{QStringLiteral("Choose the shared folder on this Mac.")});
    stdfs::create_directories(home / "Dropbox/Kelvara");
    nextFolder = QString::fromStdString((home / "Dropbox/Kelvara").string());
    join->button(QStringLiteral("chooseFolder"))->click();
    EXPECT_TRUE(join->button(QStringLiteral("join"))->isEnabled());
    join->scheduleToggle()->setChecked(false);
    snapshot(*join, QStringLiteral("join-confirming-folder"));

    // The working stage, caught as it is published.
    bool sawWorking = false;
    QObject::connect(&view.joinModel(), &JoinModel::stageChanged, join, [&] {
        if (view.joinModel().stage().kind != JoinStage::Kind::working || sawWorking) return;
        sawWorking = true;
        EXPECT_FALSE(join->button(QStringLiteral("cancel"))->isEnabled());
        snapshot(*join, QStringLiteral("join-working"));
    });
    join->button(QStringLiteral("join"))->click();
    ASSERT_TRUE(settled(view.joinModel()));
    EXPECT_TRUE(sawWorking);
    ASSERT_EQ(view.joinModel().stage().kind, JoinStage::Kind::joined) << view.joinModel().stage().text.toStdString();
    EXPECT_TRUE(model->lastError().isNull()); // the schedule was not asked for
    EXPECT_EQ(join->findChild<QLabel*>(QStringLiteral("joinedWhere"))->text(),
              QStringLiteral("It will archive into \"ama\" and back up to the shared Dropbox folder storage."));
    snapshot(*join, QStringLiteral("join-joined"));
    join->button(QStringLiteral("done"))->click();
    QCoreApplication::processEvents();
    EXPECT_TRUE(view.joinModel().pastedCode().isEmpty());
    EXPECT_EQ(b.destinationsModel().destinations().size(), 1u);
}

TEST_F(HouseholdScreen, BackEmptiesTheEditor) {
    start();
    BackupModel& b = makeBackup();
    JoinModel joinModel;
    JoinArchiveView sheet(joinModel, *model, b.destinationsModel(), true);
    sheet.show();
    const std::string phrase = TreskKeyMaterial::recoveryString(SymmetricKey::generate());
    const QString code = QString::fromStdString(
        LinkCode::encode("awsS3", "bucket", "us-east-1", std::nullopt, "AK", "SK", phrase, "jorin"));
    sheet.codeEditor()->setPlainText(code);
    sheet.checkThisCode();
    ASSERT_EQ(joinModel.stage().kind, JoinStage::Kind::confirming) << joinModel.stage().text.toStdString();
    snapshot(sheet, QStringLiteral("join-plan-same-person"));
    EXPECT_FALSE(sheet.findChild<QWidget*>(QStringLiteral("newArchiveWarning")));
    EXPECT_FALSE(sheet.findChild<QWidget*>(QStringLiteral("folderRow")));
    sheet.button(QStringLiteral("back"))->click();
    EXPECT_EQ(joinModel.stage().kind, JoinStage::Kind::entry);
    EXPECT_TRUE(sheet.codeEditor()->toPlainText().isEmpty());
    // Closing however it closes empties the pasted code.
    sheet.codeEditor()->setPlainText(code);
    sheet.reject();
    EXPECT_TRUE(joinModel.pastedCode().isEmpty());
}

} // namespace
} // namespace kx::test
