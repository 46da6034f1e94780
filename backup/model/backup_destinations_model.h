#pragma once
// BackupDestinationsModel: the destination list and its file, each
// destination's credentials in the keyring, building the live destination a
// configuration describes, and connection tests. Its sentences go to
// BackupModel's lastError and lastResult.
#include "app/model/destination_config.h"
#include "app/model/destination_list.h"
#include "core/backup/destination.h"
#include "core/keys/owner_keys.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class BackupModel;

class BackupDestinationsModel : public DestinationList {
    Q_OBJECT
    Q_PROPERTY(std::vector<DestinationConfig> destinations READ destinations NOTIFY destinationsChanged)

public:
    // Loads the list from the configuration folder's "destinations.json".
    explicit BackupDestinationsModel(BackupModel& backup);

    const std::vector<DestinationConfig>& destinations() const override { return destinations_; }
    QString configPath() const { return configPath_; }
    // The file could not be read; it is then never written over.
    bool loadFailed() const { return loadFailed_; }
    // The sentence that says so; null when the list loaded. It stands while the
    // model lives, whatever later actions say.
    QString loadProblem() const { return loadProblem_; }

    void addDestination(const DestinationConfig& config,
                        const std::optional<kx::TreskKeychain::DestinationCredentials>& credentials,
                        const QObject* context, Completion done) override;
    void removeDestination(const DestinationConfig& config, const QObject* context, Completion done) override;
    // The live destination a configuration describes. Throws kx::BackupError
    // with the kind's missing-field sentence, or what the keyring or the
    // destination's own checks throw. It asks the keyring on the calling
    // thread: never on the GUI thread.
    std::shared_ptr<kx::BackupDestination> makeDestination(const DestinationConfig& config) const;
    // The same with the credentials read from `keychain`; safe on any thread.
    static std::shared_ptr<kx::BackupDestination> makeDestination(const DestinationConfig& config,
                                                                  const kx::TreskKeychain& keychain);
    // The destination's own caveat, worked out off the GUI thread (building the
    // destination reads the keyring): empty text when it cannot be built, a
    // keyring failure included. `done` runs on the GUI thread, while `context`
    // lives.
    void caveat(const DestinationConfig& config, const QObject* context, std::function<void(const QString&)> done);
    // Writes, reads back, opens and removes a small test object.
    void testConnection(const DestinationConfig& config);
    // Sets the first matching entry's lastVerifiedAt to now and saves; a list
    // that could not be saved is said in lastError.
    void markVerified(const std::string& id);
    // The same after a completed backup run, which also sets lastBackupAt.
    void markBackedUp(const std::string& id);

    // Every object-store destination is built for this S3-compatible endpoint
    // (a loopback test server) after the kind's own checks; empty: their real
    // endpoints.
    static void setObjectStoreEndpointForTesting(const std::string& endpoint);

private:
    void loadDestinations();
    // Nothing when saved, else the sentence.
    std::optional<QString> saveDestinations();
    void setDestinations(std::vector<DestinationConfig> list);
    void stamp(const std::string& id, bool backedUp);

    BackupModel& backup_;
    std::vector<DestinationConfig> destinations_;
    QString configPath_;
    bool loadFailed_ = false;
    QString loadProblem_;
};

Q_DECLARE_METATYPE(std::vector<DestinationConfig>)
