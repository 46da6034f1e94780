// The owner's encryption key and recovery phrase, in the keyring.
#include "backup/model/backup_keys_model.h"

#include "app/model/publish.h"
#include "backup/model/backup_model.h"
#include "core/keys/key_material.h"
#include "core/keys/wipe.h"

namespace {
QString q(const std::string& text) { return QString::fromStdString(text); }
} // namespace

BackupKeysModel::BackupKeysModel(BackupModel& backup) : backup_(backup) {}

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

void BackupKeysModel::startKeyTask(bool writes, KeyWork work) {
    const QString owner = backup_.owner();
    const quint64 read = ++currentRead_; // a write too replaces the reads before it
    if (writes) {
        writing_ = true;
        backup_.setBusy(true);
    }
    backup_.tasks().start(
        this, TaskPriority::userInitiated,
        [this, secrets = backup_.secrets(), work = std::move(work), owner, read, writes]() -> TaskRunner::Publish {
            kx::OwnerKeyStore keys(kx::kKeychainService, secrets.get());
            kx::TreskKeychain keychain(kx::kKeychainService, secrets.get());
            TaskRunner::Publish publish = work(keys, keychain);
            // Runs on the GUI thread: an answer for an owner no longer served, or
            // a read that a later one replaced, is not shown.
            return [this, publish = std::move(publish), owner, read, writes] {
                if (publish && backup_.owner() == owner && (writes || read == currentRead_)) publish();
            };
        },
        [this, writes] {
            if (!writes) return;
            writing_ = false;
            backup_.setBusy(false);
            if (refreshAfterWrite_) {
                refreshAfterWrite_ = false;
                refreshKeyState();
            }
        });
}

BackupKeysModel::KeyState BackupKeysModel::readKeyState(const kx::OwnerKeyStore& keys,
                                                        const kx::TreskKeychain& keychain, const std::string& owner) {
    KeyState state;
    try {
        state.hasKey = keys.ownerKey(owner).has_value();
        state.hasLegacyKey = keys.hasLegacyMasterKey();
    } catch (const std::exception& e) {
        state.hasKey = false;
        state.hasLegacyKey = false;
        state.failure = e.what();
    }
    state.recoveryConfirmed = keychain.hasConfirmedRecoveryKey(owner);
    return state;
}

void BackupKeysModel::applyKeyState(const KeyState& state) {
    setHasKey(state.hasKey);
    setHasLegacyKey(state.hasLegacyKey);
    setKeyReadFailed(state.failure.has_value());
    if (state.failure)
        backup_.setLastError(QStringLiteral("Could not read the Keychain: ") + q(*state.failure) +
                             QStringLiteral(". Do not create a new key until this is resolved. A second key would "
                                            "make everything already backed up unreadable."));
    setRecoveryConfirmed(state.recoveryConfirmed);
}

void BackupKeysModel::refreshKeyState() {
    if (writing_) {
        refreshAfterWrite_ = true;
        return;
    }
    const std::string o = backup_.owner().toStdString();
    startKeyTask(false, [this, o](kx::OwnerKeyStore& keys, kx::TreskKeychain& keychain) -> TaskRunner::Publish {
        const KeyState state = readKeyState(keys, keychain, o);
        return [this, state] { applyKeyState(state); };
    });
}

void BackupKeysModel::createKey() {
    if (writing_ || backup_.isBusy()) return;
    backup_.clearSentences();
    const QString owner = backup_.owner();
    startKeyTask(true, [this, owner](kx::OwnerKeyStore& keys, kx::TreskKeychain&) -> TaskRunner::Publish {
        std::optional<kx::OwnerKeyStore::LoadOrCreate> made;
        try {
            made = keys.loadOrCreateOwnerKey(owner.toStdString());
        } catch (const std::exception& e) {
            return [this, why = q(e.what())] {
                backup_.setLastError(QStringLiteral("Could not create the encryption key: ") + why);
            };
        }
        std::string text = kx::TreskKeyMaterial::recoveryString(made->key);
        const QString phrase = q(text);
        kx::wipe(text);
        std::optional<bool> legacy;
        QString legacyFailure;
        try {
            legacy = keys.hasLegacyMasterKey();
        } catch (const std::exception& e) {
            legacyFailure = q(e.what());
        }
        return [this, owner, phrase, created = made->created, legacy, legacyFailure] {
            setPendingRecoveryPhrase(phrase);
            setHasKey(true);
            setKeyReadFailed(false);
            if (!legacy) {
                backup_.setLastError(QStringLiteral("Could not create the encryption key: ") + legacyFailure);
                return;
            }
            setHasLegacyKey(*legacy);
            if (created && *legacy) {
                backup_.setLastResult(QStringLiteral("This is ") + owner + QStringLiteral("'s own key. Only ") + owner +
                                      QStringLiteral("'s Mac can read what it seals from now on. Your earlier backup "
                                                     "was made with the older shared key, which is kept on this Mac "
                                                     "so that backup stays readable."));
            } else if (!created) {
                backup_.setLastResult(owner +
                                      QStringLiteral(" already had an encryption key. This is that same key, not a "
                                                     "new one, so anything already backed up stays readable."));
            }
        };
    });
}

void BackupKeysModel::revealRecoveryKey() {
    if (writing_) return;
    backup_.clearSentences();
    const QString owner = backup_.owner();
    startKeyTask(false, [this, owner](kx::OwnerKeyStore& keys, kx::TreskKeychain&) -> TaskRunner::Publish {
        std::optional<kx::SymmetricKey> key;
        try {
            key = keys.ownerKey(owner.toStdString());
        } catch (const std::exception& e) {
            return [this, why = q(e.what())] {
                backup_.setLastError(QStringLiteral("Could not read the encryption key: ") + why);
            };
        }
        if (!key) {
            return [this, owner] {
                backup_.setLastError(QStringLiteral("There is no encryption key for ") + owner +
                                     QStringLiteral(" yet."));
            };
        }
        std::string text = kx::TreskKeyMaterial::recoveryString(*key);
        const QString phrase = q(text);
        kx::wipe(text);
        return [this, phrase] { setPendingRecoveryPhrase(phrase); };
    });
}

void BackupKeysModel::confirmRecoverySaved() {
    if (writing_ || backup_.isBusy()) return;
    backup_.clearSentences();
    const std::string o = backup_.owner().toStdString();
    startKeyTask(true, [this, o](kx::OwnerKeyStore&, kx::TreskKeychain& keychain) -> TaskRunner::Publish {
        try {
            keychain.confirmRecoveryKeySaved(o);
        } catch (const std::exception& e) {
            return [this, why = q(e.what())] {
                backup_.setLastError(QStringLiteral("Could not record that you saved the recovery key: ") + why);
            };
        }
        return [this] {
            setPendingRecoveryPhrase(QString());
            setRecoveryConfirmed(true);
        };
    });
}

void BackupKeysModel::restoreKey(const QString& phrase) {
    if (writing_ || backup_.isBusy()) return;
    backup_.clearSentences();
    const QString owner = backup_.owner();
    startKeyTask(true,
                 [this, owner, phrase](kx::OwnerKeyStore& keys, kx::TreskKeychain& keychain) -> TaskRunner::Publish {
                     const std::string o = owner.toStdString();
                     std::optional<kx::SymmetricKey> before;
                     try {
                         before = keys.ownerKey(o);
                     } catch (const std::exception&) {
                         // The restore reads the keyring again and says what is wrong.
                     }
                     std::string text = phrase.toStdString();
                     std::optional<kx::SymmetricKey> restored;
                     try {
                         restored = keys.restoreOwnerKey(o, text);
                     } catch (const std::exception& e) {
                         kx::wipe(text);
                         return [this, why = q(e.what())] {
                             backup_.setLastError(QStringLiteral("That recovery key was not accepted: ") + why);
                         };
                     }
                     kx::wipe(text);
                     const bool replaced = before && !(*before == *restored);
                     const KeyState state = readKeyState(keys, keychain, o);
                     return [this, owner, replaced, state] {
                         // A phrase still on screen would be the replaced key's.
                         if (replaced) setPendingRecoveryPhrase(QString());
                         applyKeyState(state);
                         QString sentence = owner + QStringLiteral(
                                                        "'s encryption key was restored. Backups made with that key "
                                                        "are readable again. This does not unlock any other person's "
                                                        "archive.");
                         if (replaced)
                             sentence += QStringLiteral(" The different key this Mac held for ") + owner +
                                         QStringLiteral(
                                             " before is kept as an older key, so anything sealed with it stays "
                                             "readable.");
                         backup_.setLastResult(sentence);
                     };
                 });
}

BackupKeysModel::KeyringCheck BackupKeysModel::checkKeyring(const kx::OwnerKeyStore& keys,
                                                            const kx::TreskKeychain& keychain, const QString& owner) {
    const std::string o = owner.toStdString();
    std::optional<kx::OwnerKeyring> ring;
    try {
        ring = keys.existingKeyring(o);
    } catch (const std::exception& e) {
        return {std::nullopt, QStringLiteral("Could not read the encryption key: ") + q(e.what())};
    }
    if (!ring) return {std::nullopt, QStringLiteral("Create ") + owner + QStringLiteral("'s encryption key first.")};
    if (!keychain.hasConfirmedRecoveryKey(o))
        return {std::nullopt, QStringLiteral("Save ") + owner +
                                  QStringLiteral("'s recovery key first. Without it, nobody (including us) can ever "
                                                 "read this backup again.")};
    return {std::move(ring), QString()};
}
