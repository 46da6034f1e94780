#pragma once
// BackupDestinationsModel: the destination list and its file, each
// destination's credentials in the keyring, building the live destination a
// configuration describes, and connection tests. Its sentences go to
// BackupModel's lastError and lastResult.
#include "backup/model/destination_config.h"
#include "core/backup/destination.h"
#include "core/keys/owner_keys.h"

#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class BackupModel;

class BackupDestinationsModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::vector<DestinationConfig> destinations READ destinations NOTIFY destinationsChanged)

public:
    // Loads the list from the configuration folder's "destinations.json".
    explicit BackupDestinationsModel(BackupModel& backup);

    const std::vector<DestinationConfig>& destinations() const { return destinations_; }
    QString configPath() const { return configPath_; }
    // The file could not be read; it is then never written over.
    bool loadFailed() const { return loadFailed_; }

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

    // Every object-store destination is built for this S3-compatible endpoint
    // (a loopback test server) after the kind's own checks; empty: their real
    // endpoints.
    static void setObjectStoreEndpointForTesting(const std::string& endpoint);

signals:
    void destinationsChanged();

private:
    void loadDestinations();
    void saveDestinations();
    void setDestinations(std::vector<DestinationConfig> list);

    BackupModel& backup_;
    std::vector<DestinationConfig> destinations_;
    QString configPath_;
    bool loadFailed_ = false;
};

Q_DECLARE_METATYPE(std::vector<DestinationConfig>)
