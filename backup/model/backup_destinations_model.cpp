// The destination list, its credentials and connection tests.
#include "backup/model/backup_destinations_model.h"

#include "app/model/publish.h"
#include "backup/model/backup_keys_model.h"
#include "backup/model/backup_model.h"
#include "core/backup/backup_engine.h"
#include "core/backup/config_file.h"
#include "core/backup/local_destination.h"
#include "core/backup/s3_destination.h"
#include "core/keys/wipe.h"
#include "core/platform/config_layout.h"

#include <QPointer>
#include <QUuid>

#include <mutex>

namespace {

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

// The caller's completion, run only while its context lives (always, without one).
DestinationList::Completion guarded(const QObject* context, DestinationList::Completion done) {
    if (!context || !done) return done;
    return [caller = QPointer<const QObject>(context), done = std::move(done)](const std::optional<QString>& failure) {
        if (caller) done(failure);
    };
}

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

BackupDestinationsModel::BackupDestinationsModel(BackupModel& backup)
    : backup_(backup),
      configPath_(QString::fromStdString(kx::ConfigLayout(backup.configDir().toStdString()).destinations())) {
    loadDestinations();
}

void BackupDestinationsModel::setDestinations(std::vector<DestinationConfig> list) {
    publish(this, destinations_, list, &BackupDestinationsModel::destinationsChanged);
}

// ---- The destinations file ----

void BackupDestinationsModel::loadDestinations() {
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
        loadProblem_ = QStringLiteral("Your backup destination list at ") + configPath_ +
                       QStringLiteral(" could not be read (") + q(outcome.reason) +
                       QStringLiteral("). Your destinations are NOT shown and will NOT be changed until that file is "
                                      "repaired or moved aside. Backups already stored are untouched.");
        backup_.setLastError(loadProblem_);
        break;
    case Kind::missing:
        loadFailed_ = false;
        setDestinations({});
        break;
    }
}

std::optional<QString> BackupDestinationsModel::saveDestinations() {
    try {
        kx::ConfigFile::save(encodeDestinations(destinations_), configPath_.toStdString(), loadFailed_,
                             kx::ConfigFile::defaultEncoder());
    } catch (const kx::Error& e) {
        return QStringLiteral("Could not save your destination list: ") + q(e.localizedDescription());
    }
    return std::nullopt;
}

// ---- Destinations ----

void BackupDestinationsModel::addDestination(
    const DestinationConfig& config, const std::optional<kx::TreskKeychain::DestinationCredentials>& credentials,
    const QObject* context, Completion done) {
    backup_.tasks().start(this, TaskPriority::userInitiated,
                          [this, secrets = backup_.secrets(), config, credentials = credentials,
                           done = guarded(context, std::move(done))]() mutable -> TaskRunner::Publish {
                              std::optional<QString> refusal;
                              if (credentials) {
                                  try {
                                      kx::TreskKeychain(kx::kKeychainService, secrets.get())
                                          .setCredentials(*credentials, config.id);
                                  } catch (const std::exception& e) {
                                      refusal = QStringLiteral("Could not store the credentials securely: ") +
                                                q(e.what()) + QStringLiteral(". The destination was not added.");
                                  }
                                  kx::wipe(credentials);
                              }
                              return [this, config, refusal, done] {
                                  std::optional<QString> failure = refusal;
                                  if (!failure) {
                                      std::vector<DestinationConfig> list = destinations_;
                                      list.push_back(config);
                                      setDestinations(std::move(list));
                                      failure = saveDestinations();
                                  }
                                  if (done) done(failure);
                              };
                          });
}

void BackupDestinationsModel::removeDestination(const DestinationConfig& config, const QObject* context,
                                                Completion done) {
    backup_.tasks().start(
        this, TaskPriority::userInitiated,
        [secrets = backup_.secrets(), id = config.id]() -> TaskRunner::Publish {
            try {
                kx::TreskKeychain(kx::kKeychainService, secrets.get()).removeCredentials(id);
            } catch (const std::exception&) {
                // The destination goes anyway; stale credentials under an unused id harm nothing.
            }
            return {};
        },
        [this, id = config.id, done = guarded(context, std::move(done))] {
            std::vector<DestinationConfig> list = destinations_;
            std::erase_if(list, [&](const DestinationConfig& d) { return d.id == id; });
            setDestinations(std::move(list));
            const std::optional<QString> failure = saveDestinations();
            if (done) done(failure);
        });
}

std::shared_ptr<kx::BackupDestination> BackupDestinationsModel::makeDestination(const DestinationConfig& config) const {
    return makeDestination(config, kx::TreskKeychain(kx::kKeychainService, backup_.secrets().get()));
}

std::shared_ptr<kx::BackupDestination> BackupDestinationsModel::makeDestination(const DestinationConfig& config,
                                                                                const kx::TreskKeychain& keychain) {
    using Kind = DestinationConfig::Kind;
    const auto credentials = keychain.credentials(config.id);
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

void BackupDestinationsModel::caveat(const DestinationConfig& config, const QObject* context,
                                     std::function<void(const QString&)> done) {
    backup_.tasks().start(context, TaskPriority::utility,
                          [secrets = backup_.secrets(), config, done = std::move(done)]() -> TaskRunner::Publish {
                              QString text;
                              try {
                                  const auto live = makeDestination(config, kx::TreskKeychain(kx::kKeychainService,
                                                                                              secrets.get()));
                                  if (auto* local = dynamic_cast<kx::LocalDestination*>(live.get()))
                                      text = q(local->caveat());
                              } catch (const std::exception&) {
                                  // A destination that cannot be built shows no caveat.
                              }
                              return [done, text] { done(text); };
                          });
}

void BackupDestinationsModel::testConnection(const DestinationConfig& config) {
    if (backup_.isBusy()) return;
    backup_.clearSentences();
    backup_.setBusy(true);
    const QString name = label(config);
    const std::string id = config.id;
    const std::string key = "connection-test/" + freshUuid().toStdString();
    // The keyring is asked here, off the GUI thread, like the destination.
    backup_.tasks().start(
        std::nullopt,
        [this, secrets = backup_.secrets(), owner = backup_.owner(), config, key, name, id]() -> TaskRunner::Publish {
            const kx::TreskKeychain keychain(kx::kKeychainService, secrets.get());
            BackupKeysModel::KeyringCheck check = BackupKeysModel::checkKeyring(kx::OwnerKeyStore(kx::kKeychainService,
                                                                                                  secrets.get()),
                                                                                keychain, owner);
            if (!check.ring) {
                return [this, refusal = check.refusal] {
                    backup_.setLastError(refusal);
                    backup_.setBusy(false);
                };
            }
            try {
                const auto live = makeDestination(config, keychain);
                kx::BackupEngine engine(kx::TreskCrypto(*check.ring), live, BackupModel::kPrefix, std::nullopt);
                const kx::UploadReceipt receipt = engine.roundTrip(key, "Kelvara connection test. Synthetic data.",
                                                                   kx::VerificationLevel::readBack);
                engine.remove(key);
                const quint64 bytes = receipt.bytes;
                return [this, name, id, bytes] {
                    backup_.setLastResult(
                        name + QStringLiteral(" works. Wrote ") + QString::number(bytes) +
                        QStringLiteral(" encrypted bytes, read them back, confirmed they decrypt, and removed "
                                       "the test object."));
                    markVerified(id);
                    backup_.setBusy(false);
                };
            } catch (const std::exception& e) {
                const QString why = q(e.what());
                return [this, name, why] {
                    backup_.setLastError(name + QStringLiteral(" did not work: ") + why);
                    backup_.setBusy(false);
                };
            }
        });
}

void BackupDestinationsModel::markVerified(const std::string& id) { stamp(id, false); }
void BackupDestinationsModel::markBackedUp(const std::string& id) { stamp(id, true); }

void BackupDestinationsModel::stamp(const std::string& id, bool backedUp) {
    std::vector<DestinationConfig> list = destinations_;
    auto it = std::find_if(list.begin(), list.end(), [&](const DestinationConfig& d) { return d.id == id; });
    if (it == list.end()) return;
    // Whole seconds: what the file keeps is what the list shows.
    const kx::Date now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    it->lastVerifiedAt = now;
    if (backedUp) it->lastBackupAt = now;
    setDestinations(std::move(list));
    if (const std::optional<QString> failure = saveDestinations()) backup_.setLastError(*failure);
}

void BackupDestinationsModel::setObjectStoreEndpointForTesting(const std::string& endpoint) {
    std::lock_guard lock(endpointMutex);
    endpointOverride() = endpoint;
}
