// Backup runs, their progress, and the shared status on a destination.
#include "backup/model/backup_runs_model.h"

#include "app/model/publish.h"
#include "app/platform/logging.h"
#include "app/ui/symbol_title.h"
#include "backup/model/backup_destinations_model.h"
#include "backup/model/backup_keys_model.h"
#include "backup/model/backup_model.h"
#include "core/backup/backup_story.h"
#include "core/household/machine_identity.h"
#include "core/platform/fs.h"

namespace {
QString q(const std::string& text) { return QString::fromStdString(text); }
QString label(const DestinationConfig& config) { return QString::fromUtf8(kindLabel(config.kind)); }
// The parts the progress line counts: equal shares of what the run sends, so
// the part under way moves with the bar however unequal the objects are.
constexpr int64_t kProgressPartBytes = 8 * 1024 * 1024;
} // namespace

BackupRunsModel::BackupRunsModel(BackupModel& backup) : backup_(backup) {}

void BackupRunsModel::setProgressText(const QString& text) {
    if (progressText_ == text && progressText_.isNull() == text.isNull()) return;
    progressText_ = text;
    emit progressTextChanged();
}
void BackupRunsModel::setProgressFraction(double fraction) {
    publish(this, progressFraction_, fraction, &BackupRunsModel::progressFractionChanged);
}
void BackupRunsModel::setHostHealth(std::vector<kx::HostHealthRow> rows) {
    if (hostHealth_.size() == rows.size() &&
        std::equal(rows.begin(), rows.end(), hostHealth_.begin(), [](const auto& a, const auto& b) {
            return a.owner == b.owner && a.record == b.record && a.error == b.error;
        }))
        return;
    hostHealth_ = std::move(rows);
    emit hostHealthChanged();
}

void BackupRunsModel::runBackup(const QString& ownerName, const QString& storePath, const DestinationConfig& config,
                                const QString& archiveGone) {
    if (backup_.isBusy()) return;
    backup_.clearSentences();
    const QString n = BackupModel::normalizeOwner(ownerName);
    if (n != backup_.owner()) {
        backup_.setLastError(
            QStringLiteral("This Mac holds the key for ") + backup_.owner() + QStringLiteral(", not ") + n +
            QStringLiteral(". Back up ") + n + QStringLiteral("'s archive from ") + n +
            QStringLiteral("'s own Mac, so it is sealed with their key and stays readable only by them."));
        return;
    }
    backup_.setBusy(true);
    setProgressFraction(0);
    setProgressText(QStringLiteral("Preparing…"));
    const quint64 run = ++currentRun_;
    runActive_ = true;

    const QString name = label(config);
    const std::string owner = n.toStdString();
    const std::string file = storePath.toStdString();
    const std::string resume = backup_.resumeStatePath().toStdString();
    const std::string id = config.id;
    auto back = backup_.tasks().backChannel();
    backup_.tasks().start(
        std::nullopt,
        [this, secrets = backup_.secrets(), config, n, owner, file, resume, id, name, run, back, archiveGone,
         configDir = backup_.configDir().toStdString()]() -> TaskRunner::Publish {
            // The keyring is asked here, off the GUI thread: the key, then the
            // destination's credentials.
            const kx::TreskKeychain keychain(kx::kKeychainService, secrets.get());
            BackupKeysModel::KeyringCheck check = BackupKeysModel::checkKeyring(kx::OwnerKeyStore(kx::kKeychainService,
                                                                                                  secrets.get()),
                                                                                keychain, n);
            QString refusal = check.refusal;
            if (check.ring && !kx::fs::exists(file))
                refusal = !archiveGone.isNull() ? archiveGone
                                                : QStringLiteral("There is no tresk for ") + n +
                                                      QStringLiteral(" yet. Run a scan first.");
            std::shared_ptr<kx::BackupDestination> live;
            if (refusal.isNull()) {
                try {
                    live = BackupDestinationsModel::makeDestination(config, keychain);
                } catch (const std::exception& e) {
                    // Nothing reached the destination, so no status record is left there.
                    refusal = QStringLiteral("Backup to ") + name + QStringLiteral(" failed: ") + q(e.what()) +
                              QStringLiteral(". Anything already uploaded is kept, so restarting resumes rather "
                                             "than starting over.");
                }
            }
            if (!refusal.isNull()) {
                return [this, refusal, run] {
                    backup_.setLastError(refusal);
                    finishRun(run);
                };
            }
            const kx::OwnerKeyring ring = std::move(*check.ring);
            auto progress = [this, back, run](const kx::BackupProgress& p) {
                back([this, run, p] {
                    if (runActive_ && run == currentRun_) applyProgress(p);
                });
            };
            kx::OwnerHealthPublisher publisher(owner, BackupModel::kPrefix, live);
            kx::OwnerHealthRecord record;
            record.owner = owner;
            record.version = 1;
            kx::UploadReceipt receipt;
            try {
                std::string machineID;
                try { // this Mac's run report goes with the backup, for the owner's other Macs
                    machineID = kx::MachineIdentity::resolve(configDir, kx::makeRandomUUID,
                                                             std::chrono::system_clock::now());
                } catch (const std::exception& e) {
                    qCWarning(lcBackup, "This Mac's run report does not go with the backup: %s", e.what());
                }
                const kx::BackupEngine::Options options = kx::backupRunOptions(owner, configDir, machineID);
                kx::BackupEngine engine(kx::TreskCrypto(ring), live, BackupModel::kPrefix, resume, options);
                receipt = engine.backup(owner + "/tresk.db", file, kx::VerificationLevel::readBack, progress);
            } catch (const std::exception& e) {
                const QString why = q(e.what());
                const bool resumes = kx::restartResumes(e);
                record.time = std::chrono::system_clock::now();
                record.ok = false;
                record.bytes = 0;
                record.note = "backup did not complete";
                try {
                    publisher.publish(record);
                } catch (const std::exception&) {
                    // The failure itself is what the user must see.
                }
                return [this, name, why, resumes, run] {
                    backup_.setLastError(QStringLiteral("Backup to ") + name + QStringLiteral(" failed: ") + why +
                                         QStringLiteral(".") +
                                         (resumes ? QStringLiteral(" ") + q(kx::kRestartResumesSentence) : QString()));
                    finishRun(run);
                };
            }
            record.time = std::chrono::system_clock::now();
            // Damage found and left unrepaired fails the run, though the backup stands.
            const bool failed = !receipt.unrepaired.empty();
            record.ok = !failed;
            record.bytes = static_cast<int64_t>(receipt.bytes);
            QString note;
            try {
                publisher.publish(record);
            } catch (const std::exception&) {
                note = QStringLiteral(
                    "The backup itself is fine, but this Mac could not update the shared status record, "
                    "so anyone watching the destination will see it as quiet.");
            }
            return [this, receipt, owner, name, note, id, run, failed] {
                // Dates as every other date on the backup screen.
                auto date = [](kx::Date d) { return abbreviatedDateTime(d).toStdString(); };
                const kx::BackupStory story = kx::tellBackup(receipt, {owner, name.toStdString(), "this Mac", date});
                const QString text = q(story.text(false)) + (note.isEmpty() ? QString() : QStringLiteral(" ") + note);
                if (failed) backup_.setLastError(text);
                else backup_.setLastResult(text);
                backup_.destinationsModel().markBackedUp(id);
                finishRun(run);
            };
        });
}

void BackupRunsModel::finishRun(quint64 run) {
    if (run != currentRun_) return;
    runActive_ = false;
    setProgressText(QString());
    backup_.setBusy(false);
}

void BackupRunsModel::applyProgress(const kx::BackupProgress& progress) {
    const double fraction = progress.total < 1
                                ? 0.0
                                : std::min(static_cast<double>(progress.done) / static_cast<double>(progress.total),
                                           1.0);
    setProgressFraction(fraction);
    if (progress.parts < 1 || progress.total < 1) {
        setProgressText(QStringLiteral("Uploading…"));
        return;
    }
    const int64_t parts = (progress.total + kProgressPartBytes - 1) / kProgressPartBytes;
    const int64_t part = std::min(parts, std::max<int64_t>(progress.done, 0) / kProgressPartBytes + 1);
    setProgressText(QStringLiteral("Uploading part ") + QString::number(part) + QStringLiteral(" of ") +
                    QString::number(parts));
}

void BackupRunsModel::refreshHostHealth(const DestinationConfig& config, const QStringList& owners) {
    if (owners.isEmpty()) {
        setHostHealth({});
        return;
    }
    kx::HostView view;
    for (const QString& o : owners) view.owners.push_back(o.toStdString());
    view.prefix = BackupModel::kPrefix;
    const quint64 read = ++currentStatusRead_;
    backup_.tasks()
        .start(std::nullopt, [this, secrets = backup_.secrets(), config, view, read]() -> TaskRunner::Publish {
            std::shared_ptr<kx::BackupDestination> live;
            try {
                live = BackupDestinationsModel::makeDestination(config,
                                                                kx::TreskKeychain(kx::kKeychainService, secrets.get()));
            } catch (const std::exception& e) {
                return [this, why = QStringLiteral("Could not read the shared status for ") + label(config) +
                                    QStringLiteral(": ") + q(e.what())] { backup_.setLastError(why); };
            }
            std::vector<kx::HostHealthRow> rows = kx::HostAdmin(view, live).read();
            return [this, rows = std::move(rows), read]() mutable {
                // Only the latest request's answer is shown.
                if (read == currentStatusRead_) setHostHealth(std::move(rows));
            };
        });
}
