// Backup screen benchmark: how free the GUI thread stays while the backup
// screen runs a large backup, and whether its progress bar moves.
//
// An archive of about S megabytes (default 1024: a small database and
// attachment files of 64 MB) is backed up from the backup screen to a folder
// destination on this computer, exactly as the "Back Up Archive" menu does.
// While it runs, a 5 ms timer on the GUI thread notes every tick; the figure
// is the longest gap between two ticks (the longest time the window could not
// have answered), with the ticks, the progress reports the screen showed and
// the distinct values its progress bar took.
//
//   bench_backup_screen [megabytes]
//
// Runs on the offscreen platform with a private home folder and an in-memory
// keyring, so nothing of the user's is read or written.
#include "app/model/app_model.h"
#include "backup/backup_view.h"
#include "backup/destination_row.h"
#include "backup/model/backup_destinations_model.h"
#include "backup/model/backup_keys_model.h"
#include "backup/model/backup_model.h"
#include "backup/model/backup_runs_model.h"
#include "core/keys/secret_store.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/support/secret_store_double.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <set>
#include <unistd.h>

namespace stdfs = std::filesystem;

namespace {

// Attachment files of `fileMB` megabytes of pseudo-random bytes (incompressible,
// like photos), `count` of them, under the archive's attachment folder.
void writeAttachments(const stdfs::path& owner, int count, int fileMB) {
    std::mt19937_64 rng(42);
    std::vector<uint64_t> block(1 << 17); // 1 MiB
    for (int i = 0; i < count; ++i) {
        const stdfs::path dir = owner / "attachments" / (std::to_string(10 + i % 80));
        stdfs::create_directories(dir);
        std::ofstream out(dir / ("bench-" + std::to_string(i)), std::ios::binary);
        for (int mb = 0; mb < fileMB; ++mb) {
            for (auto& v : block) v = rng();
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const int megabytes = argc > 1 ? std::max(64, std::atoi(argv[1])) : 1024;
    const stdfs::path home = stdfs::temp_directory_path() / ("kx-bench-backup-" + std::to_string(::getpid()));
    stdfs::create_directories(home);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home / ".cache").c_str(), 1);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    kx::setDefaultSecretStoreForTesting(std::make_shared<kx::InMemorySecretStore>());

    int rc = 0;
    {
        QApplication app(argc, argv);
        AppModel model;
        BackupModel backup(QString::fromStdString((home / ".local/share/Kelvara").string()), QStringLiteral("bench"));
        const auto settle = [&backup] {
            while (!backup.idle()) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        };
        settle();
        backup.keys().createKey();
        settle();
        backup.keys().confirmRecoverySaved();
        settle();

        const stdfs::path owner = stdfs::path(model.destinationRoot().toStdString()) / "bench";
        kx::test::makeArchive(owner, 2000, {}, 7);
        writeAttachments(owner, megabytes / 64, 64);
        kx::Source source;
        source.id = "bench";
        source.owner = "bench";
        source.path = (home / "src").string();
        source.format = kx::SourceFormat::macosMessagesFolder;
        model.mutableRegistry().add(source);
        emit model.registryChanged();
        stdfs::create_directories(home / "drive");
        DestinationConfig drive;
        drive.id = "DRIVE";
        drive.kind = DestinationConfig::Kind::localVolume;
        drive.localRoot = (home / "drive").string();
        backup.destinationsModel().addDestination(drive, std::nullopt, nullptr, {});
        settle();

        QWidget window;
        window.resize(820, 900);
        auto* layout = new QVBoxLayout(&window);
        auto* view = new BackupView(model, backup, &window);
        layout->addWidget(view);
        window.show();
        QApplication::processEvents();

        QElapsedTimer clock;
        qint64 last = 0, longest = 0, ticks = 0;
        QTimer tick;
        tick.setInterval(5);
        QObject::connect(&tick, &QTimer::timeout, [&] {
            const qint64 now = clock.nsecsElapsed();
            longest = std::max(longest, now - last);
            last = now;
            ++ticks;
        });
        int reports = 0;
        std::set<int> barValues;
        auto* bar = view->findChild<QProgressBar*>(QStringLiteral("progressBar"));
        QObject::connect(&backup.runs(), &BackupRunsModel::progressTextChanged, [&] {
            ++reports;
            barValues.insert(bar->value());
        });
        QObject::connect(&backup.runs(), &BackupRunsModel::progressFractionChanged,
                         [&] { barValues.insert(bar->value()); });

        auto* row = view->findChild<DestinationRow*>();
        emit row->backUpMenu()->aboutToShow();
        clock.start();
        tick.start();
        row->backUpMenu()->actions().first()->trigger();
        while (backup.isBusy() || !backup.idle()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        tick.stop();
        const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;

        std::cout << "archive                 " << megabytes << " MB of attachments and a small database\n"
                  << "backup                  " << seconds << " s, " << (megabytes / seconds) << " MB/s\n"
                  << "result                  " << backup.lastResult().toStdString() << backup.lastError().toStdString()
                  << "\n"
                  << "longest GUI-thread gap  " << static_cast<double>(longest) / 1e6 << " ms (5 ms timer, " << ticks
                  << " ticks)\n"
                  << "progress reports shown  " << reports << ", distinct bar values " << barValues.size() << "\n";
        rc = backup.lastError().isNull() ? 0 : 1;
    }
    std::error_code ec;
    stdfs::remove_all(home, ec);
    return rc;
}
