// Pictures of the backup screen and its sheets in each state, for looking at.
// Runs only when KX_SNAPSHOT_DIR names a folder; each state is one PNG there.
#include "backup/add_destination_view.h"
#include "backup/backup_view.h"
#include "backup/destination_row.h"
#include "backup/restore_key_view.h"
#include "tests/backup/backup_test_support.h"
#include "tests/support/snapshots.h"

#include <QLineEdit>
#include <QPlainTextEdit>

using namespace kx;
using namespace kx::test;
using Kind = DestinationConfig::Kind;
namespace stdfs = std::filesystem;

namespace {

class BackupScreenshots : public BackupTest {
protected:
    void SetUp() override {
        if (snapshotFolder().isEmpty()) GTEST_SKIP() << "set KX_SNAPSHOT_DIR to take the pictures";
        stdfs::create_directories(snapshotFolder().toStdString());
        BackupTest::SetUp();
        start();
        makeBackup();
    }
    BackupView* showScreen(QSize size = QSize(820, 900)) {
        view = show<BackupView>([this](QWidget* parent) { return new BackupView(*model, *backup, parent); }, size);
        return view;
    }
    // Widgets rebuilt since the last picture are gone from it.
    static void snap(QWidget* w, const QString& name) {
        settleWidgets();
        snapshot(*w, name);
    }
    BackupView* view = nullptr;
};

} // namespace

TEST_F(BackupScreenshots, KeyStates) {
    showScreen(QSize(820, 760));
    snap(window.get(), "01-no-key");
    backup->keys().createKey();
    ASSERT_TRUE(drain(*backup));
    snap(window.get(), "02-phrase-pending");
    window.reset();
    backup->setOwner(QStringLiteral("sam"));
    ASSERT_TRUE(drain(*backup));
    backup->setOwner(QStringLiteral("jorin"));
    ASSERT_TRUE(drain(*backup));
    showScreen(QSize(820, 760));
    snap(window.get(), "03-recovery-not-confirmed");
    backup->keys().revealRecoveryKey();
    ASSERT_TRUE(drain(*backup));
    backup->keys().confirmRecoverySaved();
    ASSERT_TRUE(drain(*backup));
    secrets->items[{kKeychainService, "master-key"}] = std::string(64, 'c');
    backup->keys().refreshKeyState();
    ASSERT_TRUE(drain(*backup));
    snap(window.get(), "04-all-set-legacy-key");
    window.reset();
    secrets->failReads = true;
    backup->keys().refreshKeyState();
    ASSERT_TRUE(drain(*backup));
    showScreen(QSize(820, 760));
    snap(window.get(), "05-keyring-locked");
    secrets->failReads = false;
}

TEST_F(BackupScreenshots, DestinationsAndRuns) {
    readyKey(*backup);
    model->mutableRegistry().add(folderSource("j", "jorin", home / "j"));
    model->mutableRegistry().add(folderSource("s", "sam", home / "s"));
    emit model->registryChanged();
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    DestinationConfig r2 = storeDestination("R2", Kind::cloudflareR2);
    r2.bucket = "family-archive";
    DestinationConfig aws = storeDestination("AWS", Kind::awsGlacierDeepArchive);
    aws.bucket = "jorin-messages-backup";
    aws.lastVerifiedAt = now - std::chrono::hours(3);
    DestinationConfig drive = folderDestination("DRIVE",
                                                home /
                                                    "media/Backup Drive/A very long folder name that goes on/Kelvara");
    drive.lastVerifiedAt = now - std::chrono::hours(24 * 41);
    stdfs::create_directories(home / "Dropbox");
    DestinationConfig dropbox = folderDestination("DROPBOX", home / "Dropbox", Kind::dropboxFolder);
    dropbox.enabled = false;
    addDestination(backup->destinationsModel(), r2, std::nullopt);
    addDestination(backup->destinationsModel(), aws, storeCredentials());
    addDestination(backup->destinationsModel(), drive, std::nullopt);
    addDestination(backup->destinationsModel(), dropbox, std::nullopt);
    backup->setLastError(QString());
    showScreen(QSize(820, 1250));
    snap(window.get(), "06-four-destinations");

    // Shared status on the Dropbox folder: one owner with a record, one without.
    makeArchive(archiveOf("jorin"), 200, {100000, 2000000}, 4);
    backup->runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), dropbox);
    ASSERT_TRUE(settleBackup());
    backup->runs().refreshHostHealth(dropbox, model->owners().sourceOwners());
    ASSERT_TRUE(settleBackup());
    snap(window.get(), "07-shared-status");

    // A backup under way.
    stdfs::create_directories(home / "drive2");
    removeDestination(backup->destinationsModel(), r2);
    removeDestination(backup->destinationsModel(), aws);
    backup->runs().refreshHostHealth(dropbox, {});
    DestinationConfig second = folderDestination("DRIVE2", home / "drive2");
    addDestination(backup->destinationsModel(), second, std::nullopt);
    makeArchive(archiveOf("jorin"), 400, {30u << 20, 30u << 20, 30u << 20}, 5);
    bool taken = false;
    QObject::connect(&backup->runs(), &BackupRunsModel::progressFractionChanged, [&] {
        if (!taken && backup->runs().progressFraction() > 0) {
            taken = true;
            snap(window.get(), "08-backup-running");
        }
    });
    backup->runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), second);
    ASSERT_TRUE(settleBackup());
    EXPECT_TRUE(taken);
    snap(window.get(), "09-backup-finished");

    // Damage at rest, found by the next run and sent again.
    for (const auto& e : stdfs::recursive_directory_iterator(home / "drive2/kelvara/jorin/objects")) {
        if (!e.is_regular_file() || e.path().filename().string()[0] == '.') continue;
        std::string bytes = readAll(e.path());
        bytes[bytes.size() / 2] ^= 0x04;
        writeAll(e.path(), bytes);
    }
    backup->runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), second);
    ASSERT_TRUE(settleBackup());
    snap(window.get(), "09b-damage-sent-again");

    // A failure: the drive is not plugged in.
    backup->runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), drive);
    ASSERT_TRUE(settleBackup());
    snap(window.get(), "10-backup-failed");

    // A connection test that fails and one that passes.
    backup->destinationsModel().testConnection(drive);
    ASSERT_TRUE(settleBackup());
    snap(window.get(), "11-test-failed");
    backup->destinationsModel().testConnection(second);
    ASSERT_TRUE(settleBackup());
    snap(window.get(), "12-test-passed");
}

TEST_F(BackupScreenshots, Sheets) {
    readyKey(*backup);
    showScreen();
    view->presentAddDestination();
    AddDestinationView* sheet = view->addSheet();
    ASSERT_NE(sheet, nullptr);
    sheet->setKind(Kind::awsS3);
    sheet->regionField()->setText(QStringLiteral("eu-west-1"));
    sheet->bucketField()->setText(QStringLiteral("Jorin_Backup"));
    sheet->accessKeyIDField()->setText(QStringLiteral("AKIAEXAMPLE"));
    sheet->secretKeyField()->setText(QStringLiteral("secret"));
    snap(sheet, "13-add-object-store-refused-bucket");
    sheet->bucketField()->setText(QStringLiteral("jorin-backup"));
    snap(sheet, "14-add-object-store");
    sheet->setKind(Kind::cloudflareR2);
    snap(sheet, "15-add-cloudflare");
    sheet->setKind(Kind::iCloudDrive);
    sheet->folderField()->setText(QStringLiteral("/home/jorin/iCloud Drive/Kelvara"));
    snap(sheet, "16-add-folder-icloud");
    sheet->setKind(Kind::localVolume);
    snap(sheet, "17-add-folder-drive");
    sheet->reject();

    window.reset();
    backup->setOwner(QStringLiteral("sam"));
    ASSERT_TRUE(drain(*backup));
    showScreen();
    view->presentRestoreKey();
    RestoreKeyView* restore = view->restoreSheet();
    ASSERT_NE(restore, nullptr);
    restore->phraseEditor()->setPlainText(QStringLiteral("7K2M-QX9D-"));
    snap(restore, "18-restore-sheet");
    restore->reject();
}
