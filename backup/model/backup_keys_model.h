#pragma once
// BackupKeysModel: the served owner's encryption key and recovery phrase. Its
// sentences go to BackupModel's lastError and lastResult.
//
// A recovery phrase shown for one owner belongs to that owner: changing the
// owner takes it away, so it is never shown or confirmed under another name.
#include "core/keys/owner_keys.h"

#include <QObject>
#include <QString>

#include <optional>

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
    // keyring says); otherwise nothing and lastError says why.
    std::optional<kx::OwnerKeyring> requireKeyring();

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

    BackupModel& backup_;
    kx::OwnerKeyStore keyStore_;
    bool hasKey_ = false;
    bool recoveryConfirmed_ = false;
    QString pendingRecoveryPhrase_;
    bool hasLegacyKey_ = false;
    bool keyReadFailed_ = false;
};
