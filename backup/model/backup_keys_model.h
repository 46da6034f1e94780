#pragma once
// BackupKeysModel: the served owner's encryption key and recovery phrase. Its
// sentences go to BackupModel's lastError and lastResult.
//
// A recovery phrase shown for one owner belongs to that owner: changing the
// owner takes it away, so it is never shown or confirmed under another name.
//
// Every operation asks the keyring on the thread pool and publishes what it
// found on the GUI thread, for the owner it was asked for only. Those that write (create, confirm, restore) hold
// BackupModel's busy flag while they run and do nothing while it is set. Of the reads, only the latest answer is shown;
// a key state asked for while a write runs is read when it has ended, a phrase asked for then is not shown.
#include "core/keys/owner_keys.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class BackupModel;

class BackupKeysModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasKey READ hasKey NOTIFY hasKeyChanged)
    Q_PROPERTY(bool recoveryConfirmed READ recoveryConfirmed NOTIFY recoveryConfirmedChanged)
    Q_PROPERTY(QString pendingRecoveryPhrase READ pendingRecoveryPhrase NOTIFY pendingRecoveryPhraseChanged)
    Q_PROPERTY(bool hasLegacyKey READ hasLegacyKey NOTIFY hasLegacyKeyChanged)
    Q_PROPERTY(bool keyReadFailed READ keyReadFailed NOTIFY keyReadFailedChanged)

public:
    explicit BackupKeysModel(BackupModel& backup);

    bool hasKey() const { return hasKey_; }
    bool recoveryConfirmed() const { return recoveryConfirmed_; }
    QString pendingRecoveryPhrase() const { return pendingRecoveryPhrase_; }
    bool hasLegacyKey() const { return hasLegacyKey_; }
    // The last read of the owner's key failed: whether a key exists is unknown,
    // so nothing may offer to create one.
    bool keyReadFailed() const { return keyReadFailed_; }

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
    // keyring says), or the sentence that says why not. It asks the keyring, so
    // it is called by work off the GUI thread.
    struct KeyringCheck {
        std::optional<kx::OwnerKeyring> ring;
        QString refusal;
    };
    static KeyringCheck checkKeyring(const kx::OwnerKeyStore& keys, const kx::TreskKeychain& keychain,
                                     const QString& owner);

    // BackupModel serves another owner: the phrase on screen was the previous
    // owner's, and the key state is read again for the new one.
    void followOwner();

signals:
    void hasKeyChanged();
    void recoveryConfirmedChanged();
    void pendingRecoveryPhraseChanged();
    void hasLegacyKeyChanged();
    void keyReadFailedChanged();

private:
    void setHasKey(bool value);
    void setRecoveryConfirmed(bool value);
    void setPendingRecoveryPhrase(const QString& phrase);
    void setHasLegacyKey(bool value);
    void setKeyReadFailed(bool value);

    // What the keyring holds for one owner, read off the GUI thread.
    struct KeyState {
        bool hasKey = false;
        bool hasLegacyKey = false;
        bool recoveryConfirmed = false;
        std::optional<std::string> failure; // why the key could not be read
    };
    static KeyState readKeyState(const kx::OwnerKeyStore& keys, const kx::TreskKeychain& keychain,
                                 const std::string& owner);
    void applyKeyState(const KeyState& state);

    using KeyWork = std::function<std::function<void()>(kx::OwnerKeyStore&, kx::TreskKeychain&)>;
    // Runs `work` with the keyring on the thread pool; what it returns runs on
    // the GUI thread while the owner it was started for is still served.
    // Nothing starts while a write runs. A write also waits for the busy flag
    // to be clear and holds it until it has ended.
    void startKeyTask(bool writes, KeyWork work);

    BackupModel& backup_;
    quint64 currentRead_ = 0;        // the latest operation started
    bool writing_ = false;           // a write runs
    bool refreshAfterWrite_ = false; // the key state was asked for meanwhile
    bool hasKey_ = false;
    bool recoveryConfirmed_ = false;
    QString pendingRecoveryPhrase_;
    bool hasLegacyKey_ = false;
    bool keyReadFailed_ = false;
};
