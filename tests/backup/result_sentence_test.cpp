// The sentence a backup run leaves on the backup screen when it took in what
// another computer of the owner had backed up to the same drive.
#include "app/ui/symbol_title.h"
#include "backup/backup_view.h"
#include "core/backup/local_destination.h"
#include "tests/backup/backup_test_support.h"
#include "tests/core/evidence/archive_builder.h"
#include "tests/support/snapshots.h"

using namespace kx;
using namespace kx::test;
namespace stdfs = std::filesystem;

TEST_F(BackupTest, TheRunThatTookInAnotherComputersBackupSaysWhenItWasMadeAsTheScreenWritesDates) {
    start();
    BackupModel& m = makeBackup();
    readyKey(m);
    stdfs::create_directories(archiveOf("jorin"));
    addMessages(archiveOf("jorin") / "tresk.db", ArchiveSpec{.guidPrefix = "HERE", .count = 4});

    // jorin's other computer backed its own messages up to the drive first.
    TempDir other;
    stdfs::create_directories(other / "jorin");
    addMessages(other / "jorin/tresk.db", ArchiveSpec{.guidPrefix = "THERE", .count = 7});
    stdfs::create_directories(home / "drive");
    auto drive = std::make_shared<LocalDestination>(LocalDestination::volume((home / "drive").string(), "drive"));
    const auto ring = OwnerKeyStore().existingKeyring("jorin");
    ASSERT_TRUE(ring);
    BackupEngine(TreskCrypto(*ring), drive, "kelvara", std::nullopt)
        .backup("jorin/tresk.db", other / "jorin/tresk.db", VerificationLevel::readBack);
    TempDir seen;
    const RestoreReport theirs =
        BackupEngine(TreskCrypto(*ring), drive, "kelvara", std::nullopt).restore("jorin/tresk.db", seen / "jorin");
    ASSERT_TRUE(theirs.backedUpAt);

    DestinationConfig d = folderDestination("DRIVE", home / "drive");
    ASSERT_EQ(addDestination(m.destinationsModel(), d, std::nullopt), std::nullopt);
    show<BackupView>([&](QWidget* parent) { return new BackupView(*model, m, parent); }, QSize(820, 900));
    m.runs().runBackup(QStringLiteral("jorin"), storePath("jorin"), d);
    ASSERT_TRUE(settleBackup());
    QLabel* shown = find<QLabel>("lastResultText");
    ASSERT_NE(shown, nullptr) << m.lastError().toStdString();
    EXPECT_EQ(shown->text(), QStringLiteral("jorin's archive is backed up to External drive or NAS, encrypted and "
                                            "verified. Before backing up, this archive took in what only the backup "
                                            "at External drive or NAS (made ") +
                                 abbreviatedDateTime(*theirs.backedUpAt) +
                                 QStringLiteral(") held: 7 messages it brought back."));
    snapshot(*window, "backup-took-in-another-computers-backup");
    expectNothingClipped(*window, "backup-took-in-another-computers-backup");
}
