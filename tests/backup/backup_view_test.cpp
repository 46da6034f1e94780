// The backup screen driven through its widgets: the key area in each state,
// the recovery-key panel (copy, save, confirm), the messages and progress, the
// destination rows and the two sheets.
#include "app/ui/symbol_title.h"
#include "backup/add_destination_view.h"
#include "backup/backup_view.h"
#include "backup/destination_row.h"
#include "backup/recovery_key_panel.h"
#include "backup/restore_key_view.h"
#include "backup/where_archive_lives_panel.h"
#include "tests/backup/backup_test_support.h"
#include "tests/support/snapshots.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>

#include <sys/stat.h>

using namespace kx;
using namespace kx::test;
using Kind = DestinationConfig::Kind;
namespace stdfs = std::filesystem;

namespace {

// Counts the keyring reads that reach the double.
class CountingSecretStore final : public SecretStore {
public:
    explicit CountingSecretStore(std::shared_ptr<InMemorySecretStore> inner) : inner_(std::move(inner)) {}
    std::optional<std::string> read(const std::string& s, const std::string& a) override {
        ++reads;
        return inner_->read(s, a);
    }
    void write(const std::string& s, const std::string& a, const std::string& l, const std::string& v) override {
        inner_->write(s, a, l, v);
    }
    bool remove(const std::string& s, const std::string& a) override { return inner_->remove(s, a); }
    std::atomic<int> reads{0};

private:
    std::shared_ptr<InMemorySecretStore> inner_;
};

class BackupScreen : public BackupTest {
protected:
    BackupView* showScreen() {
        if (!model) start();
        if (!backup) makeBackup();
        view = show<BackupView>([this](QWidget* parent) { return new BackupView(*model, *backup, parent); },
                                QSize(820, 900));
        return view;
    }
    QPushButton* buttonNamed(const QString& name) const { return find<QPushButton>(name); }
    // Goes through the key steps on the screen.
    void createAndConfirmKey() {
        click("createKey");
        ASSERT_NE(find<RecoveryKeyPanel>("recoveryKeyPanel"), nullptr);
        find<QCheckBox>("confirmSaved")->setChecked(true);
        click("continue");
        ASSERT_TRUE(backup->keys().recoveryConfirmed());
    }
    BackupView* view = nullptr;
};

} // namespace

TEST_F(BackupScreen, TheKeyStepsInOrder) {
    showScreen();
    EXPECT_EQ(view->keyArea(), BackupView::KeyArea::createCard);
    QPushButton* add = view->addDestinationButton();
    EXPECT_FALSE(add->isEnabled());
    EXPECT_EQ(add->toolTip(), QStringLiteral("Save your recovery key first"));
    EXPECT_NE(find<QLabel>("noDestinations"), nullptr);
    EXPECT_NE(find<QLabel>("noLocations"), nullptr);
    EXPECT_EQ(find<QWidget>("lastResult"), nullptr);
    EXPECT_EQ(find<QWidget>("lastError"), nullptr);

    click("createKey");
    auto* panel = find<RecoveryKeyPanel>("recoveryKeyPanel");
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(view->keyArea(), BackupView::KeyArea::recoveryPanel);
    EXPECT_EQ(find<QWidget>("createKeyCard"), nullptr);
    EXPECT_EQ(find<QLabel>("phrase")->text(), backup->keys().pendingRecoveryPhrase());

    // Continue follows the box, both ways.
    QPushButton* cont = panel->continueButton();
    EXPECT_FALSE(cont->isEnabled());
    panel->confirmBox()->setChecked(true);
    EXPECT_TRUE(cont->isEnabled());
    panel->confirmBox()->setChecked(false);
    EXPECT_FALSE(cont->isEnabled());

    // Copy: the phrase, marked for clipboard histories to leave out.
    QTest::mouseClick(panel->copyButton(), Qt::LeftButton);
    const QMimeData* clip = QGuiApplication::clipboard()->mimeData();
    ASSERT_NE(clip, nullptr);
    EXPECT_EQ(clip->text(), backup->keys().pendingRecoveryPhrase());
    EXPECT_EQ(clip->data(QStringLiteral("x-kde-passwordManagerHint")), QByteArray("secret"));
    EXPECT_EQ(panel->copyButton()->text(), QStringLiteral("Copied"));
    QTest::mouseClick(panel->copyButton(), Qt::LeftButton);
    EXPECT_EQ(panel->copyButton()->text(), QStringLiteral("Copied"));

    // Save to a File: the suggested name, the text, readable by this user only.
    nextSavePath = QString::fromStdString((home / "Recovery.txt").string());
    QTest::mouseClick(panel->saveButton(), Qt::LeftButton);
    ASSERT_EQ(savePrompts.size(), 1);
    // Offered as plain text only.
    EXPECT_EQ(savePrompts[0], QStringLiteral("Kelvara Recovery Key - jorin.txt||Plain text (*.txt)"));
    const std::string text = readAll(home / "Recovery.txt");
    EXPECT_EQ(text.rfind("Kelvara recovery key\nArchive: jorin\nCreated ", 0), 0u) << text;
    EXPECT_NE(text.find("\n\n" + backup->keys().pendingRecoveryPhrase().toStdString() + "\n\n"), std::string::npos);
    EXPECT_EQ(text.back(), '.');
    struct stat st {};
    ASSERT_EQ(::stat((home / "Recovery.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(panel->confirmBox()->isChecked());
    // A file that cannot be written: the sentence, and the panel stays.
    nextSavePath = QString::fromStdString((home / "no/such/folder/key.txt").string());
    QTest::mouseClick(panel->saveButton(), Qt::LeftButton);
    EXPECT_TRUE(backup->lastError().startsWith(QStringLiteral("Could not save the recovery key file: ")));
    EXPECT_NE(find<QWidget>("lastError"), nullptr);
    // Cancelled: nothing.
    nextSavePath.clear();
    QTest::mouseClick(panel->saveButton(), Qt::LeftButton);

    panel->confirmBox()->setChecked(true);
    click("continue");
    EXPECT_EQ(view->keyArea(), BackupView::KeyArea::none);
    EXPECT_EQ(find<RecoveryKeyPanel>("recoveryKeyPanel"), nullptr);
    EXPECT_TRUE(add->isEnabled());
    EXPECT_EQ(add->toolTip(), QStringLiteral("Add a place to keep an encrypted copy"));
}

TEST_F(BackupScreen, SaveRecoveryCardAndLegacyNotice) {
    secrets->items[{kKeychainService, "master-key"}] = std::string(64, 'b');
    OwnerKeyStore().loadOrCreateOwnerKey("jorin");
    showScreen();
    EXPECT_EQ(view->keyArea(), BackupView::KeyArea::saveCard);
    EXPECT_NE(find<QWidget>("legacyKeyNotice"), nullptr);
    click("showRecoveryKey");
    EXPECT_EQ(view->keyArea(), BackupView::KeyArea::recoveryPanel);
    EXPECT_EQ(find<QWidget>("saveRecoveryCard"), nullptr);
    EXPECT_NE(find<QWidget>("legacyKeyNotice"), nullptr);

    // Both messages at once, the result first.
    backup->keys().createKey(); // "already had" result
    ASSERT_TRUE(drain(*backup));
    backup->setLastError(QStringLiteral("an error"));
    QWidget* result = find<QWidget>("lastResult");
    QWidget* error = find<QWidget>("lastError");
    ASSERT_NE(result, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_LT(result->mapTo(window.get(), QPoint()).y(), error->mapTo(window.get(), QPoint()).y());
}

TEST_F(BackupScreen, ALockedKeyringSwitchesCreatingAKeyOff) {
    OwnerKeyStore().loadOrCreateOwnerKey("jorin");
    const size_t writes = secrets->writeCount;
    secrets->failReads = true;
    showScreen();
    EXPECT_EQ(view->keyArea(), BackupView::KeyArea::createCard);
    QPushButton* create = buttonNamed("createKey");
    ASSERT_NE(create, nullptr);
    EXPECT_FALSE(create->isEnabled());
    EXPECT_NE(find<QWidget>("createKeyBlocked"), nullptr);
    EXPECT_TRUE(buttonNamed("haveRecoveryKey")->isEnabled());
    EXPECT_EQ(secrets->writeCount, writes);

    secrets->failReads = false;
    click("retryKeyRead");
    EXPECT_EQ(view->keyArea(), BackupView::KeyArea::saveCard);
}

TEST_F(BackupScreen, ChangingTheOwnerTakesThePhraseAway) {
    showScreen();
    click("createKey");
    auto* panel = find<RecoveryKeyPanel>("recoveryKeyPanel");
    ASSERT_NE(panel, nullptr);
    panel->confirmBox()->setChecked(true);
    // Continue pressed on a panel whose owner is no longer served confirms nothing.
    backup->setOwner(QStringLiteral("sam"));
    panel->continueAction();
    ASSERT_TRUE(drain(*backup));
    EXPECT_FALSE(TreskKeychain().hasConfirmedRecoveryKey("sam"));
    EXPECT_FALSE(TreskKeychain().hasConfirmedRecoveryKey("jorin"));
    EXPECT_EQ(find<RecoveryKeyPanel>("recoveryKeyPanel"), nullptr);
    EXPECT_EQ(view->keyArea(), BackupView::KeyArea::createCard);
    QWidget* card = find<QWidget>("createKeyCard");
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(findIn<QLabel>(card, "symbolTitleText")->text(), QStringLiteral("Create the encryption key for sam"));
}

TEST_F(BackupScreen, TheRestoreSheet) {
    showScreen();
    OwnerKeyStore store;
    const SymmetricKey key = SymmetricKey::generate();
    const QString phrase = QString::fromStdString(TreskKeyMaterial::recoveryString(key));

    click("haveRecoveryKey");
    RestoreKeyView* sheet = view->restoreSheet();
    ASSERT_NE(sheet, nullptr);
    EXPECT_FALSE(sheet->restoreButton()->isEnabled());
    sheet->phraseEditor()->setPlainText(QStringLiteral("  \n "));
    EXPECT_FALSE(sheet->restoreButton()->isEnabled());
    sheet->phraseEditor()->setPlainText(QStringLiteral("typed"));
    QTest::mouseClick(sheet->cancelButton(), Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(view->restoreSheet(), nullptr);
    EXPECT_TRUE(backup->lastError().isNull());
    EXPECT_FALSE(store.ownerKey("jorin"));

    // Opened again: empty. A wrong phrase closes it and the screen says why.
    click("haveRecoveryKey");
    sheet = view->restoreSheet();
    EXPECT_TRUE(sheet->phraseEditor()->toPlainText().isEmpty());
    sheet->phraseEditor()->setPlainText(QStringLiteral("AAAA-BBBB"));
    QTest::mouseClick(sheet->restoreButton(), Qt::LeftButton);
    ASSERT_TRUE(settleBackup());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(view->restoreSheet(), nullptr);
    EXPECT_TRUE(backup->lastError().startsWith(QStringLiteral("That recovery key was not accepted: ")));
    EXPECT_EQ(view->keyArea(), BackupView::KeyArea::createCard);

    click("haveRecoveryKey");
    view->restoreSheet()->phraseEditor()->setPlainText(QStringLiteral(" ") + phrase + QStringLiteral("\n"));
    QTest::mouseClick(view->restoreSheet()->restoreButton(), Qt::LeftButton);
    ASSERT_TRUE(settleBackup());
    EXPECT_TRUE(backup->lastResult().startsWith(QStringLiteral("jorin's encryption key was restored.")));
    EXPECT_TRUE(*store.ownerKey("jorin") == key);
    EXPECT_NE(view->keyArea(), BackupView::KeyArea::createCard);
}

TEST_F(BackupScreen, TheAddDestinationSheetPerKind) {
    showScreen();
    createAndConfirmKey();
    click("addDestination");
    AddDestinationView* sheet = view->addSheet();
    ASSERT_NE(sheet, nullptr);
    // Fresh: Cloudflare R2 with its four fields and the keyring note; Add off.
    EXPECT_EQ(sheet->kind(), Kind::cloudflareR2);
    auto visible = [&](QWidget* w) { return w->isVisibleTo(sheet); };
    EXPECT_TRUE(visible(sheet->accountIDField()));
    EXPECT_FALSE(visible(sheet->regionField()));
    EXPECT_TRUE(visible(sheet->bucketField()));
    EXPECT_TRUE(visible(sheet->secretKeyField()));
    EXPECT_EQ(sheet->secretKeyField()->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(visible(sheet->folderField()));
    EXPECT_FALSE(sheet->addButton()->isEnabled());
    EXPECT_EQ(sheet->kindPicker()->count(), 8);
    EXPECT_EQ(sheet->kindPicker()->itemText(2), QStringLiteral("AWS S3 Glacier Deep Archive"));

    QTest::keyClicks(sheet->accountIDField(), "acct123");
    sheet->setKind(Kind::awsS3);
    EXPECT_FALSE(visible(sheet->accountIDField()));
    EXPECT_TRUE(visible(sheet->regionField()));
    EXPECT_EQ(sheet->regionField()->placeholderText(), QStringLiteral("us-east-1"));
    EXPECT_EQ(sheet->accountIDField()->text(), QStringLiteral("acct123"));
    QTest::keyClicks(sheet->regionField(), "eu-west-1");
    QTest::keyClicks(sheet->bucketField(), "My_Bucket");
    QTest::keyClicks(sheet->accessKeyIDField(), "AKID");
    QTest::keyClicks(sheet->secretKeyField(), "sheet-secret");
    // A bucket the object store would refuse is said, and not added.
    EXPECT_TRUE(sheet->problem().startsWith(QStringLiteral("The bucket name is not valid")));
    EXPECT_FALSE(sheet->addButton()->isEnabled());
    sheet->bucketField()->setText(QStringLiteral("my-bucket"));
    EXPECT_TRUE(sheet->problem().isNull());
    EXPECT_TRUE(sheet->addButton()->isEnabled());
    QTest::mouseClick(sheet->addButton(), Qt::LeftButton);
    ASSERT_TRUE(settleBackup());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(view->addSheet(), nullptr);
    ASSERT_EQ(backup->destinationsModel().destinations().size(), 1u);
    const DestinationConfig s3 = backup->destinationsModel().destinations()[0];
    EXPECT_EQ(s3.kind, Kind::awsS3);
    EXPECT_EQ(s3.bucket, "my-bucket");
    EXPECT_EQ(s3.region, "eu-west-1");
    EXPECT_FALSE(s3.localRoot);
    EXPECT_EQ(QUuid::fromString(QString::fromStdString(s3.id)).isNull(), false);
    EXPECT_EQ(QString::fromStdString(s3.id), QString::fromStdString(s3.id).toUpper());
    auto creds = TreskKeychain().credentials(s3.id);
    ASSERT_TRUE(creds);
    EXPECT_EQ(creds->secretAccessKey, "sheet-secret");
    EXPECT_FALSE(creds->accountID);

    // R2: no region in the configuration; the credentials carry the (empty) region text.
    click("addDestination");
    sheet = view->addSheet();
    EXPECT_TRUE(sheet->accountIDField()->text().isEmpty());
    QTest::keyClicks(sheet->accountIDField(), "abc123");
    QTest::keyClicks(sheet->bucketField(), "r2-bucket");
    QTest::keyClicks(sheet->accessKeyIDField(), "KEY");
    QTest::keyClicks(sheet->secretKeyField(), "r2-secret");
    QTest::mouseClick(sheet->addButton(), Qt::LeftButton);
    ASSERT_TRUE(settleBackup());
    ASSERT_EQ(backup->destinationsModel().destinations().size(), 2u);
    EXPECT_FALSE(backup->destinationsModel().destinations()[1].region);
    EXPECT_EQ(TreskKeychain().credentials(backup->destinationsModel().destinations()[1].id)->region, "");
    EXPECT_EQ(TreskKeychain().credentials(backup->destinationsModel().destinations()[1].id)->accountID, "abc123");

    // A folder: the warning, a typed path that does not exist, no credentials.
    click("addDestination");
    sheet = view->addSheet();
    sheet->setKind(Kind::localVolume);
    EXPECT_TRUE(visible(sheet->folderField()));
    EXPECT_FALSE(visible(sheet->bucketField()));
    EXPECT_EQ(AddDestinationView::folderWarning(Kind::localVolume),
              QStringLiteral("Stored on or attached to this Mac. Lost if the Mac is lost, stolen or fails. Use it "
                             "alongside an independent backup, not instead of one."));
    EXPECT_TRUE(AddDestinationView::folderWarning(Kind::iCloudDrive)
                    .endsWith(QStringLiteral(
                        " Your messages already sync to iCloud, so this adds less than it appears to. Use it alongside "
                        "another destination, not instead of one.")));
    EXPECT_NE(find<QWidget>("folderWarning"), nullptr);
    nextFolder = QString::fromStdString((home / "chosen").string());
    QTest::mouseClick(sheet->chooseButton(), Qt::LeftButton);
    EXPECT_EQ(sheet->folderField()->text(), nextFolder);
    sheet->folderField()->setText(QStringLiteral("/media/not plugged in"));
    const size_t writes = secrets->writeCount;
    QTest::mouseClick(sheet->addButton(), Qt::LeftButton);
    ASSERT_TRUE(settleBackup());
    ASSERT_EQ(backup->destinationsModel().destinations().size(), 3u);
    EXPECT_EQ(backup->destinationsModel().destinations()[2].localRoot, "/media/not plugged in");
    EXPECT_EQ(secrets->writeCount, writes);

    // Cancel stores nothing.
    click("addDestination");
    sheet = view->addSheet();
    sheet->setKind(Kind::dropboxFolder);
    sheet->folderField()->setText(QStringLiteral("/x"));
    QTest::mouseClick(sheet->cancelButton(), Qt::LeftButton);
    EXPECT_EQ(backup->destinationsModel().destinations().size(), 3u);
    EXPECT_EQ(rows().size(), 3u);
    for (const QString& s : sentences) EXPECT_FALSE(s.contains(QStringLiteral("secret"))) << s.toStdString();
}

TEST_F(BackupScreen, RowsTheirActionsAndSharedStatus) {
    start();
    makeBackup(QStringLiteral("sam"));
    readyKey(*backup);
    stdfs::create_directories(home / "drive");
    addDestination(backup->destinationsModel(), folderDestination("DRIVE", home / "drive"), std::nullopt);
    addDestination(backup->destinationsModel(), storeDestination("R2", Kind::cloudflareR2), std::nullopt);
    auto counting = std::make_shared<CountingSecretStore>(secrets);
    setDefaultSecretStoreForTesting(counting);
    showScreen();
    ASSERT_EQ(rows().size(), 2u);
    DestinationRow* drive = rows()[0];
    DestinationRow* r2 = rows()[1];
    ASSERT_TRUE(settleBackup()); // the rows' caveats were worked out

    EXPECT_EQ(findIn<QLabel>(drive, "verifiedLabel")->text(), QStringLiteral("Never verified"));
    EXPECT_EQ(drive->accessibleName(), QStringLiteral("External drive or NAS destination, never verified"));
    EXPECT_NE(findIn<QLabel>(drive, "caveatLabel"), nullptr);
    // Credentials missing: no caveat line, and nothing said.
    EXPECT_EQ(findIn<QLabel>(r2, "caveatLabel"), nullptr);
    EXPECT_TRUE(backup->lastError().isNull());

    // The caveat was read once per row; repainting asks the keyring nothing.
    const int reads = counting->reads;
    for (int i = 0; i < 5; ++i) {
        drive->repaint();
        r2->repaint();
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(counting->reads, reads);

    // No sources: only Test Connection and Disconnect.
    EXPECT_TRUE(drive->testButton()->isEnabled());
    EXPECT_FALSE(drive->backUpButton()->isEnabled());
    EXPECT_FALSE(drive->sharedStatusButton()->isEnabled());
    EXPECT_TRUE(drive->disconnectButton()->isEnabled());

    // Sources for jorin only: Shared Status yes, the menu no.
    model->mutableRegistry().add(folderSource("j", "jorin", home / "j"));
    emit model->registryChanged();
    EXPECT_FALSE(drive->backUpButton()->isEnabled());
    EXPECT_TRUE(drive->sharedStatusButton()->isEnabled());
    // And for sam: the menu holds sam, a divider and the line about jorin.
    model->mutableRegistry().add(folderSource("s", "sam", home / "s"));
    emit model->registryChanged();
    EXPECT_TRUE(drive->backUpButton()->isEnabled());
    emit drive->backUpMenu()->aboutToShow();
    const auto actions = drive->backUpMenu()->actions();
    ASSERT_EQ(actions.size(), 3);
    EXPECT_EQ(actions[0]->text(), QStringLiteral("sam"));
    EXPECT_TRUE(actions[1]->isSeparator());
    EXPECT_EQ(actions[2]->text(), QStringLiteral("jorin: backed up from their own Mac, with their own key"));
    EXPECT_FALSE(actions[2]->isEnabled());
    EXPECT_EQ(DestinationRow::otherOwnersLine({"a", "b", "c"}, "b"),
              QStringLiteral("a, c: backed up from their own Mac, with their own key"));
    EXPECT_TRUE(DestinationRow::otherOwnersLine({"b"}, "b").isNull());

    // A connection test: everything but Disconnect waits; no progress box.
    QTest::mouseClick(drive->testButton(), Qt::LeftButton);
    EXPECT_TRUE(backup->isBusy());
    EXPECT_FALSE(drive->testButton()->isEnabled());
    EXPECT_FALSE(r2->backUpButton()->isEnabled());
    EXPECT_FALSE(r2->sharedStatusButton()->isEnabled());
    EXPECT_TRUE(r2->disconnectButton()->isEnabled());
    EXPECT_EQ(find<QWidget>("progressBox"), nullptr);
    EXPECT_TRUE(settleBackup());
    EXPECT_TRUE(backup->lastResult().startsWith(QStringLiteral("External drive or NAS works.")));
    // A passed test replaces the row; with no backup there yet it is still unverified.
    ASSERT_EQ(rows().size(), 2u);
    EXPECT_EQ(findIn<QLabel>(rows()[0], "verifiedLabel")->text(), QStringLiteral("Never verified"));
    EXPECT_EQ(rows()[0]->accessibleName(), QStringLiteral("External drive or NAS destination, never verified"));

    // Shared status from one row shows on every row.
    QTest::mouseClick(rows()[0]->sharedStatusButton(), Qt::LeftButton);
    EXPECT_TRUE(settleBackup());
    ASSERT_EQ(backup->runs().hostHealth().size(), 2u);
    for (DestinationRow* r : rows()) {
        ASSERT_FALSE(r->sharedStatusBlock()->isHidden());
        QStringList texts;
        for (auto* l : r->sharedStatusBlock()->findChildren<QLabel*>("sharedStatusText")) texts << l->text();
        // The core says why there is no record; that sentence is shown as it stands.
        EXPECT_EQ(texts.filter(QStringLiteral("status unavailable: no status record yet")).size(), 2)
            << texts.join("|").toStdString();
    }

    // Disconnect: gone from the list, the file and the screen; nothing deleted on the drive.
    stdfs::create_directories(home / "drive/kelvara/keep");
    writeAll(home / "drive/kelvara/keep/file", "x");
    QTest::mouseClick(rows()[0]->disconnectButton(), Qt::LeftButton);
    ASSERT_TRUE(settleBackup());
    ASSERT_EQ(rows().size(), 1u);
    EXPECT_EQ(rows()[0]->config().id, "R2");
    EXPECT_TRUE(stdfs::exists(home / "drive/kelvara/keep/file"));
}

TEST_F(BackupScreen, ABackupFromTheScreenShowsProgressThenTheResult) {
    start();
    makeBackup();
    readyKey(*backup);
    // Two files larger than a part of the progress line, and small ones.
    makeArchive(archiveOf("jorin"), 400, {9'000'000, 9'000'000, 300000, 1000}, 21);
    model->mutableRegistry().add(folderSource("j", "jorin", home / "j"));
    emit model->registryChanged();
    stdfs::create_directories(home / "drive");
    addDestination(backup->destinationsModel(), folderDestination("DRIVE", home / "drive"), std::nullopt);
    showScreen();

    bool boxSeen = false;
    QStringList texts;
    // What the box showed at each change: the label's text and the bar (0 to 1000).
    std::vector<std::pair<QString, int>> shownPairs;
    QObject::connect(&backup->runs(), &BackupRunsModel::progressTextChanged, [&] {
        QWidget* box = find<QWidget>("progressBox");
        if (!backup->runs().progressText().isNull()) texts << backup->runs().progressText();
        if (box && !backup->runs().progressText().isNull()) {
            boxSeen = true;
            shownPairs.emplace_back(box->findChild<QLabel*>("progressText")->text(),
                                    box->findChild<QProgressBar*>()->value());
        }
    });
    DestinationRow* row = rows()[0];
    backUpFrom(row);
    EXPECT_TRUE(backup->isBusy());
    EXPECT_NE(find<QWidget>("progressBox"), nullptr);
    // The box opens on "Preparing…"; the worker's first progress may already
    // have replaced it on a busy machine, so the order is what is checked.
    // find() lets queued progress in, so the label is read before the texts.
    const QString shown = find<QLabel>("progressText")->text();
    ASSERT_FALSE(texts.isEmpty());
    EXPECT_EQ(texts.first(), QStringLiteral("Preparing…"));
    EXPECT_EQ(shown, texts.last());
    EXPECT_TRUE(settleBackup());
    EXPECT_TRUE(boxSeen);
    // The part named and the bar beside it tell the same amount.
    const QRegularExpression partOf(QStringLiteral("^Uploading part (\\d+) of (\\d+)$"));
    int mostParts = 0;
    for (const auto& [text, bar] : shownPairs) {
        if (text == QStringLiteral("Preparing…")) continue;
        const QRegularExpressionMatch m = partOf.match(text);
        ASSERT_TRUE(m.hasMatch()) << text.toStdString();
        const int part = m.captured(1).toInt(), parts = m.captured(2).toInt();
        mostParts = std::max(mostParts, parts);
        EXPECT_GE(bar, (part - 1) * 1000 / parts - 1) << text.toStdString() << " at " << bar;
        EXPECT_LE(bar, part * 1000 / parts + 1) << text.toStdString() << " at " << bar;
    }
    EXPECT_GE(mostParts, 2);
    EXPECT_EQ(find<QWidget>("progressBox"), nullptr);
    EXPECT_EQ(find<QLabel>("lastResultText")->text(),
              QStringLiteral("jorin's archive is backed up to External drive or NAS, encrypted and verified."));
    EXPECT_EQ(find<QWidget>("lastError"), nullptr);
    // The places panel now counts the drive as current.
    QStringList statuses;
    for (auto* l : window->findChildren<QLabel*>("placeStatus"))
        if (!l->isHidden()) statuses << l->text();
    EXPECT_TRUE(statuses.contains(QStringLiteral("Current"))) << statuses.join("|").toStdString();
}

TEST_F(BackupScreen, APlaceCountsOnceItHoldsABackupAndItsRowsSayWhatThePanelSays) {
    start();
    makeBackup();
    readyKey(*backup);
    makeArchive(archiveOf("jorin"), 50, {1000}, 3);
    model->mutableRegistry().add(folderSource("j", "jorin", home / "j"));
    emit model->registryChanged();
    stdfs::create_directories(home / "drive");
    const DestinationConfig drive = folderDestination("DRIVE", home / "drive");
    addDestination(backup->destinationsModel(), drive, std::nullopt);
    // The same folder again, written another way: still one place.
    addDestination(backup->destinationsModel(), folderDestination("TWIN", home / "drive/"), std::nullopt);
    showScreen();
    auto summary = [&] { return find<QLabel>("locationsSummary")->text(); };
    auto statuses = [&] {
        QStringList out;
        for (auto* l : window->findChildren<QLabel*>("placeStatus"))
            if (!l->isHidden()) out << l->text();
        return out;
    };
    auto rowWords = [&] {
        QStringList out;
        for (DestinationRow* r : rows()) out << r->findChild<QLabel*>(QStringLiteral("verifiedLabel"))->text();
        return out;
    };

    // A passed connection test proves a copy could be written, not that one is
    // there: the panel and the row both say so.
    backup->destinationsModel().testConnection(drive);
    ASSERT_TRUE(settleBackup());
    ASSERT_TRUE(backup->destinationsModel().destinations()[0].lastVerifiedAt);
    EXPECT_EQ(summary(), QStringLiteral("Your archive exists only on this computer. 1 destination holds no copy yet. "
                                        "Run a backup so losing this computer does not lose the archive."));
    EXPECT_EQ(statuses(), (QStringList{QStringLiteral("Working copy"), QStringLiteral("Never verified")}));
    EXPECT_EQ(rowWords(), (QStringList{QStringLiteral("Never verified"), QStringLiteral("Never verified")}));
    EXPECT_EQ(rows()[0]->accessibleName(), QStringLiteral("External drive or NAS destination, never verified"));
    EXPECT_NE(find<QLabel>("shieldAttention"), nullptr);
    snapshot(*window, QStringLiteral("backup-tested-not-backed-up"));

    backUpFrom(rows()[0]);
    ASSERT_TRUE(settleBackup());
    ASSERT_TRUE(backup->lastError().isNull()) << backup->lastError().toStdString();
    EXPECT_EQ(summary(), QStringLiteral("Your archive exists in 2 places: this computer and 1 drive beside this "
                                        "computer. No independent backup is current."));
    EXPECT_EQ(statuses(), (QStringList{QStringLiteral("Working copy"), QStringLiteral("Current")}));
    // The backup is recorded in the file, and read back as such.
    const std::vector<DestinationConfig> before = backup->destinationsModel().destinations();
    ASSERT_TRUE(before[0].lastBackupAt);
    EXPECT_FALSE(before[1].lastBackupAt);
    // Both entries name the folder that now holds it, so both rows say when.
    const QString verifiedAt = QStringLiteral("Verified ") + abbreviatedDateTime(*before[0].lastBackupAt);
    EXPECT_EQ(rowWords(), (QStringList{verifiedAt, verifiedAt}));
    EXPECT_EQ(rows()[1]->accessibleName(), QStringLiteral("External drive or NAS destination, verified"));
    window.reset();
    backup.reset();
    EXPECT_EQ(makeBackup().destinationsModel().destinations(), before);

    // A backup 40 days old, tested today: out of date in the panel, and the row
    // gives the backup's date, not the test's.
    std::vector<DestinationConfig> old = {before[0]};
    old[0].lastBackupAt = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()) -
                          std::chrono::hours(24 * 40);
    writeAll(destinationsFile(), encodeDestinations(old).dump());
    backup.reset();
    makeBackup();
    readyKey(*backup);
    showScreen();
    backup->destinationsModel().testConnection(drive);
    ASSERT_TRUE(settleBackup());
    ASSERT_GT(*backup->destinationsModel().destinations()[0].lastVerifiedAt, *old[0].lastBackupAt);
    EXPECT_EQ(statuses(), (QStringList{QStringLiteral("Working copy"), QStringLiteral("Out of date")}));
    EXPECT_EQ(rowWords(), (QStringList{QStringLiteral("Verified ") + abbreviatedDateTime(*old[0].lastBackupAt)}));
}

TEST_F(BackupScreen, ARefusalLineGoesWhenALaterActionSucceeds) {
    start();
    makeBackup();
    backup->keys().createKey();
    ASSERT_TRUE(drain(*backup));
    stdfs::create_directories(home / "drive");
    const DestinationConfig drive = folderDestination("DRIVE", home / "drive");
    addDestination(backup->destinationsModel(), drive, std::nullopt);
    showScreen();
    auto errorShown = [&] {
        auto* box = find<QWidget>("lastError");
        return box ? box->findChild<QLabel*>(QStringLiteral("lastErrorText"))->text() : QString();
    };

    backup->runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), drive);
    ASSERT_TRUE(settleBackup());
    EXPECT_TRUE(errorShown().startsWith(QStringLiteral("Save jorin's recovery key first.")))
        << errorShown().toStdString();
    backup->keys().confirmRecoverySaved();
    ASSERT_TRUE(drain(*backup));
    EXPECT_TRUE(errorShown().isEmpty()) << errorShown().toStdString();

    backup->runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), drive);
    ASSERT_TRUE(settleBackup());
    EXPECT_EQ(errorShown(), QStringLiteral("There is no tresk for jorin yet. Run a scan first."));
    backup->destinationsModel().testConnection(drive);
    ASSERT_TRUE(settleBackup());
    EXPECT_TRUE(errorShown().isEmpty()) << errorShown().toStdString();
    EXPECT_TRUE(find<QLabel>("lastResultText")->text().startsWith(QStringLiteral("External drive or NAS works.")));
}

// Backing up an archive that a run made and that is gone is refused with what
// every screen says of it, not with a request for a first scan.
TEST_F(BackupScreen, BackingUpAnArchiveThatIsGoneSaysItIsMissing) {
    start();
    makeBackup();
    readyKey(*backup);
    // jorin's archive, as a run leaves it and records it.
    makeArchive(archiveOf("jorin"), 40, {1000}, 3);
    CoverageReport run;
    run.owners.push_back({"jorin", "jorin", 40, 40});
    writeAll(defaultRoot() / "STATUS.json", run.toJson());
    model->refreshReport();
    stdfs::create_directories(home / "drive");
    addDestination(backup->destinationsModel(), folderDestination("DRIVE", home / "drive"), std::nullopt);
    showScreen();
    const auto refusal = [&](const stdfs::path& gone) {
        stdfs::rename(gone, home / "moved-away");
        backUpFrom(rows()[0]);
        EXPECT_TRUE(settleBackup());
        auto* box = find<QWidget>("lastError");
        const QString said = box ? box->findChild<QLabel*>(QStringLiteral("lastErrorText"))->text() : QString();
        stdfs::rename(home / "moved-away", gone);
        return said;
    };
    const QString root = QString::fromStdString(defaultRoot().string());
    EXPECT_EQ(refusal(archiveOf("jorin")),
              "Archive drive not found. Kelvara cannot find the archive of jorin at " + root +
                  "/jorin, although a run archived into it. If you moved that folder, put it back; if the whole "
                  "archive now lives elsewhere, choose its place in Settings.");
    EXPECT_TRUE(refusal(defaultRoot())
                    .startsWith("Archive drive not found. Kelvara cannot find the archive folder at " + root + "."));
    EXPECT_TRUE(stdfs::is_empty(home / "drive"));
}

TEST_F(BackupScreen, ThePlacesPanelAsksTheCore) {
    start();
    makeBackup();
    DestinationConfig off = folderDestination("OFF", home / "off", Kind::dropboxFolder);
    off.enabled = false;
    off.lastBackupAt = std::chrono::system_clock::now();
    DestinationConfig old = storeDestination("OLD");
    old.lastBackupAt = std::chrono::system_clock::now() - std::chrono::hours(24 * 40);
    DestinationConfig fresh = storeDestination("NEW", Kind::backblazeB2);
    fresh.bucket = "";
    fresh.lastBackupAt = std::chrono::system_clock::now();
    const kx::Date now = std::chrono::system_clock::now();
    for (const auto& d : {off, old, fresh}) addDestination(backup->destinationsModel(), d, std::nullopt);
    const auto places = WhereMyArchiveLivesPanel::locations(*model, *backup);
    ASSERT_EQ(places.locations.size(), 3u);
    EXPECT_EQ(WhereMyArchiveLivesPanel::statusWord(places.locations[0], now), QStringLiteral("Off"));
    EXPECT_EQ(WhereMyArchiveLivesPanel::statusWord(places.locations[1], now), QStringLiteral("Out of date"));
    EXPECT_EQ(WhereMyArchiveLivesPanel::statusWord(places.locations[2], now), QStringLiteral("Current"));
    EXPECT_EQ(places.locations[0].detail, (home / "off").string());
    EXPECT_EQ(places.locations[1].detail, S3Server::kBucket);
    EXPECT_EQ(places.workingCopy, model->destinationRoot().toStdString());
    showScreen();
    QStringList details;
    for (auto* l : window->findChildren<QLabel*>("placeDetail")) details << l->toolTip();
    // An empty bucket shows the class instead.
    EXPECT_TRUE(details.contains(QStringLiteral("Independent backup"))) << details.join("|").toStdString();
    EXPECT_NE(find<QLabel>("shieldAttention"), nullptr);
}
