#pragma once
// BackupModel: the backup side's model. One instance lives as long as the
// application and serves one archive owner at a time: the destination list and
// its file, destination credentials in the keyring, the owner's encryption key
// and recovery phrase, connection tests, backup runs and the shared status
// records on a destination. Screens read its published state and call its
// operations; none of them throws: failures become one sentence in lastError,
// successes one in lastResult. A null QString means "none" for every text.
//
// Threading: everything here is used on the GUI thread. Key and credential
// operations are quick keyring calls made there, each under a time limit (a
// keyring that does not answer gives a sentence, not a frozen window).
// Connection tests, backups and shared-status reads build their destination on
// the GUI thread, then do the network or disk work on the thread pool and hand
// their result back in one queued call. Progress reports arrive on the pool's
// threads and are handed over one by one; a report that arrives after its run
// ended is dropped.
//
// A recovery phrase shown for one owner belongs to that owner: changing the
// owner takes it away, so it is never shown or confirmed under another name.
#include "app/model/task_runner.h"
#include "backup/model/destination_config.h"
#include "core/backup/backup_engine.h"
#include "core/backup/health.h"
#include "core/keys/owner_keys.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

class BackupModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::vector<DestinationConfig> destinations READ destinations NOTIFY destinationsChanged)
    Q_PROPERTY(bool isBusy READ isBusy NOTIFY isBusyChanged)
    Q_PROPERTY(QString lastError READ lastError WRITE setLastError NOTIFY lastErrorChanged)
    Q_PROPERTY(QString lastResult READ lastResult NOTIFY lastResultChanged)
    Q_PROPERTY(QString progressText READ progressText NOTIFY progressTextChanged)
    Q_PROPERTY(double progressFraction READ progressFraction NOTIFY progressFractionChanged)
    Q_PROPERTY(bool hasKey READ hasKey NOTIFY hasKeyChanged)
    Q_PROPERTY(bool recoveryConfirmed READ recoveryConfirmed NOTIFY recoveryConfirmedChanged)
    Q_PROPERTY(QString pendingRecoveryPhrase READ pendingRecoveryPhrase NOTIFY pendingRecoveryPhraseChanged)
    Q_PROPERTY(bool hasLegacyKey READ hasLegacyKey NOTIFY hasLegacyKeyChanged)
    Q_PROPERTY(QString owner READ owner NOTIFY ownerChanged)
    Q_PROPERTY(std::vector<kx::HostHealthRow> hostHealth READ hostHealth NOTIFY hostHealthChanged)
    Q_PROPERTY(bool keyReadFailed READ keyReadFailed NOTIFY keyReadFailedChanged)

public:
    using DestinationConfig = ::DestinationConfig;

    // configDir: the configuration directory (its "destinations.json" holds the
    // destination list, "resume-state.json" the engine's resume state). owner:
    // the archive owner served at first. Loads the list and the key state.
    BackupModel(const QString& configDir, const QString& owner, QObject* parent = nullptr);
    ~BackupModel() override;

    // ---- Published state ----
    const std::vector<DestinationConfig>& destinations() const { return destinations_; }
    bool isBusy() const { return isBusy_; }
    QString lastError() const { return lastError_; }
    QString lastResult() const { return lastResult_; }
    QString progressText() const { return progressText_; }
    double progressFraction() const { return progressFraction_; }
    bool hasKey() const { return hasKey_; }
    bool recoveryConfirmed() const { return recoveryConfirmed_; }
    QString pendingRecoveryPhrase() const { return pendingRecoveryPhrase_; }
    bool hasLegacyKey() const { return hasLegacyKey_; }
    QString owner() const { return owner_; }
    const std::vector<kx::HostHealthRow>& hostHealth() const { return hostHealth_; }
    // The last read of the owner's key failed: whether a key exists is unknown,
    // so nothing may offer to create one.
    bool keyReadFailed() const { return keyReadFailed_; }

    QString configDir() const { return configDir_; }
    QString configPath() const { return configPath_; }
    QString resumeStatePath() const;
    bool loadFailed() const { return loadFailed_; }

    // Screens write here only the sentences of their own failures (a recovery
    // key file that could not be saved).
    void setLastError(const QString& text);

    // ---- Owner and keys ----
    // Serves another owner (normalised first). The same owner again does nothing.
    void setOwner(const QString& name);
    static QString normalizeOwner(const QString& name);
    void refreshKeyState();
    // Creates the owner's key, or finds the existing one, and shows its phrase.
    void createKey();
    // Shows the existing key's phrase again.
    void revealRecoveryKey();
    // Records that the phrase was saved; clears the pending phrase.
    void confirmRecoverySaved();
    // Stores the key a phrase encodes as the owner's key (phrase as typed).
    void restoreKey(const QString& phrase);
    // The owner's keyring when it may be used (key present, phrase saved, as the
    // keyring says); otherwise nothing and lastError says why.
    std::optional<kx::OwnerKeyring> requireKeyring();

    // ---- Destinations ----
    // Stores the credentials (when given), then appends and saves.
    void addDestination(const DestinationConfig& config,
                        const std::optional<kx::TreskKeychain::DestinationCredentials>& credentials);
    // Removes every entry with config's id and its credentials, then saves.
    void removeDestination(const DestinationConfig& config);
    // The live destination a configuration describes. Throws kx::BackupError
    // with the kind's missing-field sentence, or what the keyring or the
    // destination's own checks throw.
    std::shared_ptr<kx::BackupDestination> makeDestination(const DestinationConfig& config) const;
    // The destination's own caveat, or empty text when it cannot be built.
    QString caveat(const DestinationConfig& config) const;
    // Writes, reads back, opens and removes a small test object.
    void testConnection(const DestinationConfig& config);
    // Sets the first matching entry's lastVerifiedAt to now and saves.
    void markVerified(const std::string& id);

    // ---- Backup runs and shared status ----
    // Backs up `owner`'s archive file at storePath to the destination.
    void runBackup(const QString& owner, const QString& storePath, const DestinationConfig& config);
    void applyProgress(const kx::BackupProgress& progress);
    // Reads the status records of these owners on the destination.
    void refreshHostHealth(const DestinationConfig& config, const QStringList& owners);

    // ---- Tests ----
    // Every object-store destination is built for this S3-compatible endpoint
    // (a loopback test server) after the kind's own checks; empty: their real
    // endpoints.
    static void setObjectStoreEndpointForTesting(const std::string& endpoint);
    // No background work queued, running or waiting to be handed back.
    bool idle() const;

signals:
    void destinationsChanged();
    void isBusyChanged();
    void lastErrorChanged();
    void lastResultChanged();
    void progressTextChanged();
    void progressFractionChanged();
    void hasKeyChanged();
    void recoveryConfirmedChanged();
    void pendingRecoveryPhraseChanged();
    void hasLegacyKeyChanged();
    void ownerChanged();
    void hostHealthChanged();
    void keyReadFailedChanged();

private:
    void loadDestinations();
    void saveDestinations();
    void setDestinations(std::vector<DestinationConfig> list);
    void setBusy(bool busy);
    void setLastResult(const QString& text);
    void setProgressText(const QString& text);
    void setProgressFraction(double fraction);
    void setHasKey(bool value);
    void setRecoveryConfirmed(bool value);
    void setPendingRecoveryPhrase(const QString& phrase);
    void setHasLegacyKey(bool value);
    void setKeyReadFailed(bool value);
    void setHostHealth(std::vector<kx::HostHealthRow> rows);
    void finishRun(quint64 run);

    std::vector<DestinationConfig> destinations_;
    bool isBusy_ = false;
    QString lastError_;
    QString lastResult_;
    QString progressText_;
    double progressFraction_ = 0;
    bool hasKey_ = false;
    bool recoveryConfirmed_ = false;
    QString pendingRecoveryPhrase_;
    bool hasLegacyKey_ = false;
    QString owner_;
    std::unique_ptr<kx::SecretStore> secrets_; // the time-limited keyring both stores use
    kx::TreskKeychain keychain_;
    kx::OwnerKeyStore keyStore_;
    QString configDir_;
    QString configPath_;
    bool loadFailed_ = false;
    std::vector<kx::HostHealthRow> hostHealth_;
    bool keyReadFailed_ = false;

    // Each backup run's number; progress reports carry it and are dropped once
    // it is no longer the run under way.
    quint64 currentRun_ = 0;
    bool runActive_ = false;
    // The latest shared-status request; an older one's answer is dropped.
    quint64 currentStatusRead_ = 0;
    // Declared last: closed first, so no result reaches a half-destroyed model.
    std::unique_ptr<TaskRunner> tasks_;
};

Q_DECLARE_METATYPE(std::vector<DestinationConfig>)
Q_DECLARE_METATYPE(std::vector<kx::HostHealthRow>)
