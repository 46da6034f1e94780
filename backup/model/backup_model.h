#pragma once
// BackupModel: the backup side's model. One instance lives as long as the
// application and serves one archive owner at a time. It holds only what the
// backup features share: the owner, the busy flag, the last error and result,
// the configuration folder, the keyring and the task runner. Each feature keeps
// its own state, properties and operations in a class of its own, which
// BackupModel creates and owns:
//
//   keys()               BackupKeysModel          the owner's encryption key and recovery phrase
//   destinationsModel()  BackupDestinationsModel  the destination list, its file, credentials,
//                                                 connection tests
//   runs()               BackupRunsModel          backup runs, their progress, the shared status
//
// (destinationsModel carries the suffix because "destinations" names that
// feature's list.)
//
// Screens read the published state and call the operations; none of them
// throws: failures become one sentence in lastError, successes one in
// lastResult. A null QString means "none" for every text.
//
// Threading: everything here is used on the GUI thread, which never asks the
// keyring itself. The key operations, adding and removing a destination, and
// backups, connection tests and shared-status reads (for the key and the
// credentials they need) ask it on the thread pool and hand their result back
// in one queued call; every keyring call has a time limit (a keyring that does
// not answer gives a sentence).
// Connection tests, backups and shared-status reads build their destination,
// then do the network or disk work, on the thread pool and hand their result
// back in one queued call.
#include "app/model/task_runner.h"
#include "core/keys/owner_keys.h"

#include <QObject>
#include <QString>

#include <memory>

class BackupDestinationsModel;
class BackupKeysModel;
class BackupRunsModel;
namespace kx {
class SecretStore;
}

class BackupModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isBusy READ isBusy NOTIFY isBusyChanged)
    Q_PROPERTY(QString lastError READ lastError WRITE setLastError NOTIFY lastErrorChanged)
    Q_PROPERTY(QString lastResult READ lastResult NOTIFY lastResultChanged)
    Q_PROPERTY(QString owner READ owner NOTIFY ownerChanged)

public:
    // Everything the backup side writes at a destination lives under this prefix.
    static constexpr const char* kPrefix = "kelvara";

    // configDir: the configuration directory (its "destinations.json" holds the
    // destination list, "resume-state.json" the engine's resume state). owner:
    // the archive owner served at first. Loads the list and the key state.
    BackupModel(const QString& configDir, const QString& owner, QObject* parent = nullptr);
    ~BackupModel() override;

    // ---- The features ----
    BackupKeysModel& keys() const { return *keys_; }
    BackupDestinationsModel& destinationsModel() const { return *destinations_; }
    BackupRunsModel& runs() const { return *runs_; }

    // ---- Shared state ----
    bool isBusy() const { return isBusy_; }
    QString lastError() const { return lastError_; }
    QString lastResult() const { return lastResult_; }
    QString owner() const { return owner_; }
    QString configDir() const { return configDir_; }
    QString resumeStatePath() const;

    // Features publish their sentences here; screens only those of their own
    // failures (a recovery key file that could not be saved).
    void setLastError(const QString& text);
    void setLastResult(const QString& text);
    // A new action begins: the sentences of earlier ones no longer stand, so a
    // refusal never stays beside a later success. (A destination list that could
    // not be read is said again: that still stands.)
    void clearSentences();
    void setBusy(bool busy);

    // Serves another owner (normalised first). The same owner again does nothing.
    void setOwner(const QString& name);
    static QString normalizeOwner(const QString& name);

    // The keyring, under the time limit every keyring call here has. Shared
    // with background work, which may outlive this model.
    std::shared_ptr<kx::SecretStore> secrets() const { return secrets_; }
    TaskRunner& tasks() const { return *tasks_; }

    // No background work queued, running or waiting to be handed back.
    bool idle() const;

signals:
    void isBusyChanged();
    void lastErrorChanged();
    void lastResultChanged();
    void ownerChanged();

private:
    bool isBusy_ = false;
    QString lastError_;
    QString lastResult_;
    QString owner_;
    QString configDir_;
    std::shared_ptr<kx::SecretStore> secrets_; // the time-limited keyring every store here uses

    std::unique_ptr<BackupKeysModel> keys_;
    std::unique_ptr<BackupDestinationsModel> destinations_;
    std::unique_ptr<BackupRunsModel> runs_;
    // Declared last: closed first, so no result reaches a half-destroyed model.
    std::unique_ptr<TaskRunner> tasks_;
};
