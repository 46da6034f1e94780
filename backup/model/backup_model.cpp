#include "backup/model/backup_model.h"

#include "app/model/publish.h"
#include "core/archive/archive_identity.h"
#include "core/backup/carried_head.h"
#include "core/backup/config_file.h"
#include "core/backup/generation_memory.h"
#include "core/backup/local_destination.h"
#include "core/backup/s3_destination.h"
#include "core/household/machine_identity.h"
#include "core/keys/key_material.h"
#include "core/keys/time_limited_secrets.h"
#include "core/platform/config_layout.h"
#include "core/platform/fs.h"

#include <QDir>
#include <QFileInfo>
#include <QUuid>

#include <mutex>

namespace {

constexpr const char* kPrefix = "kelvara";

const char* kICloudCaveat =
    "Convenience only. This does NOT protect against losing your Apple ID, which is the main risk it looks like it "
    "solves. Your messages already sync to iCloud, so a copy stored there is lost with the same account. Use this "
    "alongside a real off-account destination, never instead of one.";

std::mutex endpointMutex;
std::string& endpointOverride() {
    static std::string endpoint;
    return endpoint;
}

QString q(const std::string& text) { return QString::fromStdString(text); }
QString label(const DestinationConfig& config) { return QString::fromUtf8(kindLabel(config.kind)); }
QString freshUuid() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); }

// The same destination pointed at the test endpoint, keeping what the kind's
// own factory checked and chose (id, label, region, keys, storage class).
kx::S3Destination retarget(kx::S3Destination dest, const std::string& endpoint) {
    kx::S3Destination::Settings s = dest.settings();
    const kx::S3Destination::Settings local =
        kx::S3Destination::compatible(endpoint, "us-east-1", s.accessKeyID, s.secretAccessKey, s.bucket).settings();
    s.scheme = local.scheme;
    s.host = local.host;
    s.pathStyle = local.pathStyle;
    return kx::S3Destination(std::move(s));
}

} // namespace

BackupModel::BackupModel(const QString& configDir, const QString& owner, QObject* parent)
    : QObject(parent), secrets_(std::make_unique<kx::TimeLimitedSecretStore>()),
      keychain_(kx::kKeychainService, secrets_.get()), keyStore_(kx::kKeychainService, secrets_.get()),
      configDir_(configDir),
      configPath_(QString::fromStdString(kx::ConfigLayout(configDir.toStdString()).destinations())),
      tasks_(std::make_unique<TaskRunner>()) {
    owner_ = normalizeOwner(owner);
    loadDestinations();
    refreshKeyState();
}

BackupModel::~BackupModel() = default;

QString BackupModel::resumeStatePath() const {
    return QString::fromStdString(kx::ConfigLayout(configDir_.toStdString()).resumeState());
}

QString BackupModel::normalizeOwner(const QString& name) {
    return q(kx::ArchiveIdentity::normalize(name.toStdString()));
}

// ---- Published setters ----

void BackupModel::setDestinations(std::vector<DestinationConfig> list) {
    publish(this, destinations_, list, &BackupModel::destinationsChanged);
}
void BackupModel::setBusy(bool busy) { publish(this, isBusy_, busy, &BackupModel::isBusyChanged); }
void BackupModel::setLastError(const QString& text) {
    if (lastError_ == text && lastError_.isNull() == text.isNull()) return;
    lastError_ = text;
    emit lastErrorChanged();
}
void BackupModel::setLastResult(const QString& text) {
    if (lastResult_ == text && lastResult_.isNull() == text.isNull()) return;
    lastResult_ = text;
    emit lastResultChanged();
}
void BackupModel::setProgressText(const QString& text) {
    if (progressText_ == text && progressText_.isNull() == text.isNull()) return;
    progressText_ = text;
    emit progressTextChanged();
}
void BackupModel::setProgressFraction(double fraction) {
    publish(this, progressFraction_, fraction, &BackupModel::progressFractionChanged);
}
void BackupModel::setHasKey(bool value) { publish(this, hasKey_, value, &BackupModel::hasKeyChanged); }
void BackupModel::setRecoveryConfirmed(bool value) {
    publish(this, recoveryConfirmed_, value, &BackupModel::recoveryConfirmedChanged);
}
void BackupModel::setPendingRecoveryPhrase(const QString& phrase) {
    if (pendingRecoveryPhrase_ == phrase && pendingRecoveryPhrase_.isNull() == phrase.isNull()) return;
    pendingRecoveryPhrase_ = phrase;
    emit pendingRecoveryPhraseChanged();
}
void BackupModel::setHasLegacyKey(bool value) {
    publish(this, hasLegacyKey_, value, &BackupModel::hasLegacyKeyChanged);
}
void BackupModel::setKeyReadFailed(bool value) {
    publish(this, keyReadFailed_, value, &BackupModel::keyReadFailedChanged);
}
void BackupModel::setHostHealth(std::vector<kx::HostHealthRow> rows) {
    if (hostHealth_.size() == rows.size() &&
        std::equal(rows.begin(), rows.end(), hostHealth_.begin(), [](const auto& a, const auto& b) {
            return a.owner == b.owner && a.record == b.record && a.error == b.error;
        }))
        return;
    hostHealth_ = std::move(rows);
    emit hostHealthChanged();
}

// ---- The destinations file ----

void BackupModel::loadDestinations() {
    auto outcome = kx::ConfigFile::load<std::vector<DestinationConfig>>(configPath_.toStdString(), decodeDestinations);
    using Kind = kx::ConfigFile::LoadOutcome<std::vector<DestinationConfig>>::Kind;
    switch (outcome.kind) {
    case Kind::loaded:
        loadFailed_ = false;
        setDestinations(std::move(*outcome.value));
        break;
    case Kind::failed:
        loadFailed_ = true;
        setDestinations({});
        setLastError(QStringLiteral("Your backup destination list at ") + configPath_ +
                     QStringLiteral(" could not be read (") + q(outcome.reason) +
                     QStringLiteral("). Your destinations are NOT shown and will NOT be changed until that file is "
                                    "repaired or moved aside. Backups already stored are untouched."));
        break;
    case Kind::missing:
        loadFailed_ = false;
        setDestinations({});
        break;
    }
}

void BackupModel::saveDestinations() {
    try {
        kx::ConfigFile::save(encodeDestinations(destinations_), configPath_.toStdString(), loadFailed_,
                             kx::ConfigFile::defaultEncoder());
    } catch (const kx::Error& e) {
        setLastError(QStringLiteral("Could not save your destination list: ") + q(e.localizedDescription()));
    }
}

// ---- Owner and keys ----

void BackupModel::setOwner(const QString& name) {
    const QString n = normalizeOwner(name);
    if (n == owner_) return;
    // A phrase on screen belongs to the owner it was made for.
    setPendingRecoveryPhrase(QString());
    owner_ = n;
    emit ownerChanged();
    refreshKeyState();
}

void BackupModel::refreshKeyState() {
    const std::string o = owner_.toStdString();
    try {
        const bool key = keyStore_.ownerKey(o).has_value();
        setHasKey(key);
        setHasLegacyKey(keyStore_.hasLegacyMasterKey());
        setKeyReadFailed(false);
    } catch (const std::exception& e) {
        setHasKey(false);
        setHasLegacyKey(false);
        setKeyReadFailed(true);
        setLastError(QStringLiteral("Could not read the Keychain: ") + q(e.what()) +
                     QStringLiteral(". Do not create a new key until this is resolved. A second key would make "
                                    "everything already backed up unreadable."));
    }
    setRecoveryConfirmed(keychain_.hasConfirmedRecoveryKey(o));
}

void BackupModel::createKey() {
    const std::string o = owner_.toStdString();
    std::optional<kx::OwnerKeyStore::LoadOrCreate> made;
    try {
        made = keyStore_.loadOrCreateOwnerKey(o);
    } catch (const std::exception& e) {
        setLastError(QStringLiteral("Could not create the encryption key: ") + q(e.what()));
        return;
    }
    std::string phrase = kx::TreskKeyMaterial::recoveryString(made->key);
    setPendingRecoveryPhrase(q(phrase));
    kx::wipe(phrase);
    setHasKey(true);
    setKeyReadFailed(false);
    bool legacy = false;
    try {
        legacy = keyStore_.hasLegacyMasterKey();
    } catch (const std::exception& e) {
        setLastError(QStringLiteral("Could not create the encryption key: ") + q(e.what()));
        return;
    }
    setHasLegacyKey(legacy);
    if (made->created && legacy) {
        setLastResult(QStringLiteral("This is ") + owner_ + QStringLiteral("'s own key. Only ") + owner_ +
                      QStringLiteral("'s Mac can read what it seals from now on. Your earlier backup was made with "
                                     "the older shared key, which is kept on this Mac so that backup stays readable."));
    } else if (!made->created) {
        setLastResult(owner_ +
                      QStringLiteral(" already had an encryption key. This is that same key, not a new one, so "
                                     "anything already backed up stays readable."));
    }
}

void BackupModel::revealRecoveryKey() {
    std::optional<kx::SymmetricKey> key;
    try {
        key = keyStore_.ownerKey(owner_.toStdString());
    } catch (const std::exception& e) {
        setLastError(QStringLiteral("Could not read the encryption key: ") + q(e.what()));
        return;
    }
    if (!key) {
        setLastError(QStringLiteral("There is no encryption key for ") + owner_ + QStringLiteral(" yet."));
        return;
    }
    std::string phrase = kx::TreskKeyMaterial::recoveryString(*key);
    setPendingRecoveryPhrase(q(phrase));
    kx::wipe(phrase);
}

void BackupModel::confirmRecoverySaved() {
    try {
        keychain_.confirmRecoveryKeySaved(owner_.toStdString());
    } catch (const std::exception& e) {
        setLastError(QStringLiteral("Could not record that you saved the recovery key: ") + q(e.what()));
        return;
    }
    setPendingRecoveryPhrase(QString());
    setRecoveryConfirmed(true);
}

void BackupModel::restoreKey(const QString& phrase) {
    const std::string o = owner_.toStdString();
    std::optional<kx::SymmetricKey> before;
    try {
        before = keyStore_.ownerKey(o);
    } catch (const std::exception&) {
        // The restore reads the keyring again and says what is wrong.
    }
    std::string text = phrase.toStdString();
    std::optional<kx::SymmetricKey> restored;
    try {
        restored = keyStore_.restoreOwnerKey(o, text);
    } catch (const std::exception& e) {
        kx::wipe(text);
        setLastError(QStringLiteral("That recovery key was not accepted: ") + q(e.what()));
        return;
    }
    kx::wipe(text);
    const bool replaced = before && !(*before == *restored);
    // A phrase still on screen would be the replaced key's.
    if (replaced) setPendingRecoveryPhrase(QString());
    refreshKeyState();
    QString sentence = owner_ + QStringLiteral("'s encryption key was restored. Backups made with that key are "
                                               "readable again. This does not unlock any other person's archive.");
    if (replaced)
        sentence += QStringLiteral(" The different key this Mac held for ") + owner_ +
                    QStringLiteral(" before is kept as an older key, so anything sealed with it stays readable.");
    setLastResult(sentence);
}

std::optional<kx::OwnerKeyring> BackupModel::requireKeyring() {
    const std::string o = owner_.toStdString();
    std::optional<kx::OwnerKeyring> ring;
    try {
        ring = keyStore_.existingKeyring(o);
    } catch (const std::exception& e) {
        setLastError(QStringLiteral("Could not read the encryption key: ") + q(e.what()));
        return std::nullopt;
    }
    if (!ring) {
        setLastError(QStringLiteral("Create ") + owner_ + QStringLiteral("'s encryption key first."));
        return std::nullopt;
    }
    if (!keychain_.hasConfirmedRecoveryKey(o)) {
        setLastError(QStringLiteral("Save ") + owner_ +
                     QStringLiteral("'s recovery key first. Without it, nobody (including us) can ever read this "
                                    "backup again."));
        return std::nullopt;
    }
    return ring;
}

// ---- Destinations ----

void BackupModel::addDestination(const DestinationConfig& config,
                                 const std::optional<kx::TreskKeychain::DestinationCredentials>& credentials) {
    if (credentials) {
        try {
            keychain_.setCredentials(*credentials, config.id);
        } catch (const std::exception& e) {
            setLastError(QStringLiteral("Could not store the credentials securely: ") + q(e.what()) +
                         QStringLiteral(". The destination was not added."));
            return;
        }
    }
    std::vector<DestinationConfig> list = destinations_;
    list.push_back(config);
    setDestinations(std::move(list));
    saveDestinations();
}

void BackupModel::removeDestination(const DestinationConfig& config) {
    try {
        keychain_.removeCredentials(config.id);
    } catch (const std::exception&) {
        // The destination goes anyway; stale credentials under an unused id harm nothing.
    }
    std::vector<DestinationConfig> list = destinations_;
    std::erase_if(list, [&](const DestinationConfig& d) { return d.id == config.id; });
    setDestinations(std::move(list));
    saveDestinations();
}

std::shared_ptr<kx::BackupDestination> BackupModel::makeDestination(const DestinationConfig& config) const {
    using Kind = DestinationConfig::Kind;
    const auto credentials = keychain_.credentials(config.id);
    const auto c = credentials.value_or(kx::TreskKeychain::DestinationCredentials{});
    std::string endpoint;
    {
        std::lock_guard lock(endpointMutex);
        endpoint = endpointOverride();
    }
    auto store = [&](kx::S3Destination dest) -> std::shared_ptr<kx::BackupDestination> {
        if (!endpoint.empty()) return std::make_shared<kx::S3Destination>(retarget(std::move(dest), endpoint));
        return std::make_shared<kx::S3Destination>(std::move(dest));
    };
    const bool keys = c.accessKeyID && c.secretAccessKey;
    switch (config.kind) {
    case Kind::cloudflareR2:
        if (!keys || !c.accountID || !config.bucket)
            throw kx::BackupError("Cloudflare R2 is missing its account id, keys, or bucket");
        return store(kx::S3Destination::cloudflareR2(*c.accountID, *c.accessKeyID, *c.secretAccessKey, *config.bucket));
    case Kind::awsS3:
    case Kind::awsGlacierDeepArchive:
        if (!keys || !config.bucket || !config.region)
            throw kx::BackupError("AWS S3 is missing its keys, bucket, or region");
        return store(kx::S3Destination::awsS3(*config.region, *c.accessKeyID, *c.secretAccessKey, *config.bucket,
                                              config.kind == Kind::awsGlacierDeepArchive));
    case Kind::backblazeB2:
        if (!keys || !config.bucket || !config.region)
            throw kx::BackupError("Backblaze B2 is missing its keys, bucket, or region");
        return store(
            kx::S3Destination::backblazeB2(*config.region, *c.accessKeyID, *c.secretAccessKey, *config.bucket));
    case Kind::localVolume:
    case Kind::iCloudDrive:
    case Kind::dropboxFolder:
    case Kind::googleDriveFolder: break;
    }
    if (!config.localRoot) throw kx::BackupError("no folder chosen");
    const std::string& root = *config.localRoot;
    switch (config.kind) {
    case Kind::localVolume:
        return std::make_shared<kx::LocalDestination>(kx::LocalDestination::volume(root, kindLabel(config.kind)));
    case Kind::iCloudDrive:
        return std::make_shared<kx::LocalDestination>("icloud-drive", "iCloud Drive", kICloudCaveat, root);
    case Kind::dropboxFolder:
        return std::make_shared<kx::LocalDestination>(kx::LocalDestination::syncedFolder(root, "Dropbox"));
    default: return std::make_shared<kx::LocalDestination>(kx::LocalDestination::syncedFolder(root, "Google Drive"));
    }
}

QString BackupModel::caveat(const DestinationConfig& config) const {
    try {
        auto live = makeDestination(config);
        if (auto* local = dynamic_cast<kx::LocalDestination*>(live.get())) return q(local->caveat());
    } catch (const std::exception&) {
        // A destination that cannot be built shows no caveat.
    }
    return QString();
}

void BackupModel::testConnection(const DestinationConfig& config) {
    if (isBusy_) return;
    auto ring = requireKeyring();
    if (!ring) return;
    setBusy(true);
    setLastError(QString());
    setLastResult(QString());
    const QString name = label(config);
    std::shared_ptr<kx::BackupDestination> live;
    try {
        live = makeDestination(config);
    } catch (const std::exception& e) {
        setLastError(name + QStringLiteral(" did not work: ") + q(e.what()));
        setBusy(false);
        return;
    }
    const std::string id = config.id;
    const std::string key = "connection-test/" + freshUuid().toStdString();
    tasks_->start(std::nullopt, [this, ring = *ring, live, key, name, id]() -> TaskRunner::Publish {
        try {
            kx::BackupEngine engine(kx::TreskCrypto(ring), live, kPrefix, std::nullopt);
            const kx::UploadReceipt receipt = engine.roundTrip(key, "Kelvara connection test. Synthetic data.",
                                                               kx::VerificationLevel::readBack);
            engine.remove(key);
            const quint64 bytes = receipt.bytes;
            return [this, name, id, bytes] {
                setLastResult(name + QStringLiteral(" works. Wrote ") + QString::number(bytes) +
                              QStringLiteral(" encrypted bytes, read them back, confirmed they decrypt, and removed "
                                             "the test object."));
                markVerified(id);
                setBusy(false);
            };
        } catch (const std::exception& e) {
            const QString why = q(e.what());
            return [this, name, why] {
                setLastError(name + QStringLiteral(" did not work: ") + why);
                setBusy(false);
            };
        }
    });
}

void BackupModel::markVerified(const std::string& id) {
    std::vector<DestinationConfig> list = destinations_;
    auto it = std::find_if(list.begin(), list.end(), [&](const DestinationConfig& d) { return d.id == id; });
    if (it == list.end()) return;
    // Whole seconds: what the file keeps is what the list shows.
    it->lastVerifiedAt = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    setDestinations(std::move(list));
    saveDestinations();
}

// ---- Backup runs and shared status ----

void BackupModel::runBackup(const QString& ownerName, const QString& storePath, const DestinationConfig& config) {
    if (isBusy_) return;
    const QString n = normalizeOwner(ownerName);
    if (n != owner_) {
        setLastError(QStringLiteral("This Mac holds the key for ") + owner_ + QStringLiteral(", not ") + n +
                     QStringLiteral(". Back up ") + n + QStringLiteral("'s archive from ") + n +
                     QStringLiteral("'s own Mac, so it is sealed with their key and stays readable only by them."));
        return;
    }
    auto ring = requireKeyring();
    if (!ring) return;
    if (!kx::fs::exists(storePath.toStdString())) {
        setLastError(QStringLiteral("There is no tresk for ") + n + QStringLiteral(" yet. Run a scan first."));
        return;
    }
    setBusy(true);
    setLastError(QString());
    setLastResult(QString());
    setProgressFraction(0);
    setProgressText(QStringLiteral("Preparing…"));
    const quint64 run = ++currentRun_;
    runActive_ = true;

    const QString name = label(config);
    std::shared_ptr<kx::BackupDestination> live;
    try {
        live = makeDestination(config);
    } catch (const std::exception& e) {
        // Nothing reached the destination, so no status record is left there.
        setLastError(QStringLiteral("Backup to ") + name + QStringLiteral(" failed: ") + q(e.what()) +
                     QStringLiteral(". Anything already uploaded is kept, so restarting resumes rather than starting "
                                    "over."));
        finishRun(run);
        return;
    }
    const std::string owner = n.toStdString();
    const std::string file = storePath.toStdString();
    const std::string resume = resumeStatePath().toStdString();
    const std::string generations =
        QFileInfo(configPath_).absoluteDir().filePath(QString::fromUtf8(kx::GenerationMemory::kFileName)).toStdString();
    const std::string id = config.id;
    const std::string configDir = QFileInfo(configPath_).absolutePath().toStdString();
    auto back = tasks_->backChannel();
    tasks_->start(std::nullopt,
                  [this, ring = *ring, live, owner, file, resume, generations, id, name, run, back,
                   configDir]() -> TaskRunner::Publish {
                      auto progress = [this, back, run](const kx::BackupProgress& p) {
                          back([this, run, p] {
                              if (runActive_ && run == currentRun_) applyProgress(p);
                          });
                      };
                      kx::OwnerHealthPublisher publisher(owner, kPrefix, live);
                      kx::OwnerHealthRecord record;
                      record.owner = owner;
                      record.version = 1;
                      kx::UploadReceipt receipt;
                      try {
                          kx::BackupEngine::Options options;
                          options.generations = generations;
                          options.manifestHead = kx::headToCarry(owner);
                          try { // this Mac's run report goes with the backup, for the owner's other Macs
                              options.machineID = kx::MachineIdentity::resolve(configDir, kx::makeRandomUUID,
                                                                               std::chrono::system_clock::now());
                          } catch (const std::exception&) {
                          }
                          kx::BackupEngine engine(kx::TreskCrypto(ring), live, kPrefix, resume, options);
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
                              setLastError(
                                  QStringLiteral("Backup to ") + name + QStringLiteral(" failed: ") + why +
                                  QStringLiteral(".") +
                                  (resumes ? QStringLiteral(" ") + q(kx::kRestartResumesSentence) : QString()));
                              finishRun(run);
                          };
                      }
                      record.time = std::chrono::system_clock::now();
                      record.ok = true;
                      record.bytes = static_cast<int64_t>(receipt.bytes);
                      QString note;
                      try {
                          publisher.publish(record);
                      } catch (const std::exception&) {
                          note = QStringLiteral(
                              "The backup itself is fine, but this Mac could not update the shared status record, "
                              "so anyone watching the destination will see it as quiet.");
                      }
                      QString sentence = q(owner) + QStringLiteral("'s archive is backed up to ") + name +
                                         QStringLiteral(", encrypted");
                      sentence += receipt.verification == kx::UploadReceipt::Verification::verified
                                      ? QStringLiteral(" and verified.")
                                      : QStringLiteral(" (NOT verified).");
                      if (receipt.resumed) sentence += QStringLiteral(" Resumed from a previous interrupted upload.");
                      if (receipt.merged)
                          sentence += QStringLiteral(" ") + q(kx::mergedSentence(*receipt.merged, name.toStdString()));
                      if (receipt.rolledBack)
                          sentence += QStringLiteral(" ") +
                                      q(kx::rolledBackAfterBackup(*receipt.rolledBack, name.toStdString()));
                      if (!receipt.damaged.empty()) {
                          QStringList damaged;
                          for (const auto& d : receipt.damaged) damaged << q(d);
                          sentence += QStringLiteral(" Damaged at ") + name + QStringLiteral(" and sent again: ") +
                                      damaged.join(QStringLiteral(", ")) + QStringLiteral(".");
                      }
                      if (!receipt.unrepaired.empty()) {
                          QStringList lost;
                          for (const auto& d : receipt.unrepaired) lost << q(d);
                          sentence += QStringLiteral(" Damaged at ") + name +
                                      QStringLiteral(" and not sent again, because this Mac no longer holds them: ") +
                                      lost.join(QStringLiteral(", ")) + QStringLiteral(".");
                      }
                      if (!note.isEmpty()) sentence += QStringLiteral(" ") + note;
                      return [this, sentence, id, run] {
                          setLastResult(sentence);
                          markVerified(id);
                          finishRun(run);
                      };
                  });
}

void BackupModel::finishRun(quint64 run) {
    if (run != currentRun_) return;
    runActive_ = false;
    setProgressText(QString());
    setBusy(false);
}

void BackupModel::applyProgress(const kx::BackupProgress& progress) {
    const double fraction = progress.total < 1
                                ? 0.0
                                : std::min(static_cast<double>(progress.done) / static_cast<double>(progress.total),
                                           1.0);
    setProgressFraction(fraction);
    setProgressText(progress.parts >= 1
                        ? QStringLiteral("Uploading part %1 of %2").arg(progress.part).arg(progress.parts)
                        : QStringLiteral("Uploading…"));
}

void BackupModel::refreshHostHealth(const DestinationConfig& config, const QStringList& owners) {
    if (owners.isEmpty()) {
        setHostHealth({});
        return;
    }
    std::shared_ptr<kx::BackupDestination> live;
    try {
        live = makeDestination(config);
    } catch (const std::exception& e) {
        setLastError(QStringLiteral("Could not read the shared status for ") + label(config) + QStringLiteral(": ") +
                     q(e.what()));
        return;
    }
    kx::HostView view;
    for (const QString& o : owners) view.owners.push_back(o.toStdString());
    view.prefix = kPrefix;
    const quint64 read = ++currentStatusRead_;
    tasks_->start(std::nullopt, [this, view, live, read]() -> TaskRunner::Publish {
        std::vector<kx::HostHealthRow> rows = kx::HostAdmin(view, live).read();
        return [this, rows = std::move(rows), read]() mutable {
            // Only the latest request's answer is shown.
            if (read == currentStatusRead_) setHostHealth(std::move(rows));
        };
    });
}

// ---- Tests ----

void BackupModel::setObjectStoreEndpointForTesting(const std::string& endpoint) {
    std::lock_guard lock(endpointMutex);
    endpointOverride() = endpoint;
}

bool BackupModel::idle() const { return tasks_->idle(); }
