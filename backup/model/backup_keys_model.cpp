// The owner's encryption key and recovery phrase, in the keyring.
#include "backup/model/backup_keys_model.h"

#include "app/model/publish.h"
#include "backup/model/backup_model.h"
#include "core/keys/key_material.h"

namespace {
QString q(const std::string& text) { return QString::fromStdString(text); }
} // namespace

BackupKeysModel::BackupKeysModel(BackupModel& backup)
    : backup_(backup), keyStore_(kx::kKeychainService, backup.secrets()) {}

void BackupKeysModel::setHasKey(bool value) { publish(this, hasKey_, value, &BackupKeysModel::hasKeyChanged); }
void BackupKeysModel::setRecoveryConfirmed(bool value) {
    publish(this, recoveryConfirmed_, value, &BackupKeysModel::recoveryConfirmedChanged);
}
void BackupKeysModel::setPendingRecoveryPhrase(const QString& phrase) {
    if (pendingRecoveryPhrase_ == phrase && pendingRecoveryPhrase_.isNull() == phrase.isNull()) return;
    pendingRecoveryPhrase_ = phrase;
    emit pendingRecoveryPhraseChanged();
}
void BackupKeysModel::setHasLegacyKey(bool value) {
    publish(this, hasLegacyKey_, value, &BackupKeysModel::hasLegacyKeyChanged);
}
void BackupKeysModel::setKeyReadFailed(bool value) {
    publish(this, keyReadFailed_, value, &BackupKeysModel::keyReadFailedChanged);
}

void BackupKeysModel::followOwner() {
    // A phrase on screen belongs to the owner it was made for.
    setPendingRecoveryPhrase(QString());
    refreshKeyState();
}

void BackupKeysModel::refreshKeyState() {
    const std::string o = backup_.owner().toStdString();
    try {
        const bool key = keyStore_.ownerKey(o).has_value();
        setHasKey(key);
        setHasLegacyKey(keyStore_.hasLegacyMasterKey());
        setKeyReadFailed(false);
    } catch (const std::exception& e) {
        setHasKey(false);
        setHasLegacyKey(false);
        setKeyReadFailed(true);
        backup_.setLastError(QStringLiteral("Could not read the Keychain: ") + q(e.what()) +
                             QStringLiteral(". Do not create a new key until this is resolved. A second key would "
                                            "make everything already backed up unreadable."));
    }
    setRecoveryConfirmed(backup_.keychain().hasConfirmedRecoveryKey(o));
}

void BackupKeysModel::createKey() {
    backup_.clearSentences();
    const QString owner = backup_.owner();
    std::optional<kx::OwnerKeyStore::LoadOrCreate> made;
    try {
        made = keyStore_.loadOrCreateOwnerKey(owner.toStdString());
    } catch (const std::exception& e) {
        backup_.setLastError(QStringLiteral("Could not create the encryption key: ") + q(e.what()));
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
        backup_.setLastError(QStringLiteral("Could not create the encryption key: ") + q(e.what()));
        return;
    }
    setHasLegacyKey(legacy);
    if (made->created && legacy) {
        backup_.setLastResult(
            QStringLiteral("This is ") + owner + QStringLiteral("'s own key. Only ") + owner +
            QStringLiteral("'s Mac can read what it seals from now on. Your earlier backup was made with the older "
                           "shared key, which is kept on this Mac so that backup stays readable."));
    } else if (!made->created) {
        backup_.setLastResult(owner + QStringLiteral(" already had an encryption key. This is that same key, not a "
                                                     "new one, so anything already backed up stays readable."));
    }
}

void BackupKeysModel::revealRecoveryKey() {
    backup_.clearSentences();
    std::optional<kx::SymmetricKey> key;
    try {
        key = keyStore_.ownerKey(backup_.owner().toStdString());
    } catch (const std::exception& e) {
        backup_.setLastError(QStringLiteral("Could not read the encryption key: ") + q(e.what()));
        return;
    }
    if (!key) {
        backup_.setLastError(QStringLiteral("There is no encryption key for ") + backup_.owner() +
                             QStringLiteral(" yet."));
        return;
    }
    std::string phrase = kx::TreskKeyMaterial::recoveryString(*key);
    setPendingRecoveryPhrase(q(phrase));
    kx::wipe(phrase);
}

void BackupKeysModel::confirmRecoverySaved() {
    backup_.clearSentences();
    try {
        backup_.keychain().confirmRecoveryKeySaved(backup_.owner().toStdString());
    } catch (const std::exception& e) {
        backup_.setLastError(QStringLiteral("Could not record that you saved the recovery key: ") + q(e.what()));
        return;
    }
    setPendingRecoveryPhrase(QString());
    setRecoveryConfirmed(true);
}

void BackupKeysModel::restoreKey(const QString& phrase) {
    backup_.clearSentences();
    const QString owner = backup_.owner();
    const std::string o = owner.toStdString();
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
        backup_.setLastError(QStringLiteral("That recovery key was not accepted: ") + q(e.what()));
        return;
    }
    kx::wipe(text);
    const bool replaced = before && !(*before == *restored);
    // A phrase still on screen would be the replaced key's.
    if (replaced) setPendingRecoveryPhrase(QString());
    refreshKeyState();
    QString sentence = owner + QStringLiteral("'s encryption key was restored. Backups made with that key are "
                                              "readable again. This does not unlock any other person's archive.");
    if (replaced)
        sentence += QStringLiteral(" The different key this Mac held for ") + owner +
                    QStringLiteral(" before is kept as an older key, so anything sealed with it stays readable.");
    backup_.setLastResult(sentence);
}

std::optional<kx::OwnerKeyring> BackupKeysModel::requireKeyring() {
    const QString owner = backup_.owner();
    const std::string o = owner.toStdString();
    std::optional<kx::OwnerKeyring> ring;
    try {
        ring = keyStore_.existingKeyring(o);
    } catch (const std::exception& e) {
        backup_.setLastError(QStringLiteral("Could not read the encryption key: ") + q(e.what()));
        return std::nullopt;
    }
    if (!ring) {
        backup_.setLastError(QStringLiteral("Create ") + owner + QStringLiteral("'s encryption key first."));
        return std::nullopt;
    }
    if (!backup_.keychain().hasConfirmedRecoveryKey(o)) {
        backup_.setLastError(QStringLiteral("Save ") + owner +
                             QStringLiteral("'s recovery key first. Without it, nobody (including us) can ever read "
                                            "this backup again."));
        return std::nullopt;
    }
    return ring;
}
