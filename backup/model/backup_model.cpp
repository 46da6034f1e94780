#include "backup/model/backup_model.h"

#include "core/archive/archive_identity.h"

BackupModel::BackupModel(const QString& configDir, const QString& owner, QObject* parent)
    : QObject(parent), configDir_(configDir), owner_(normalizeOwner(owner)) {
    refreshKeyState();
}

QString BackupModel::normalizeOwner(const QString& name) {
    return QString::fromStdString(kx::ArchiveIdentity::normalize(name.toStdString()));
}

void BackupModel::setOwner(const QString& name) {
    const QString normalized = normalizeOwner(name);
    if (normalized == owner_) return;
    owner_ = normalized;
    emit ownerChanged();
    refreshKeyState();
}

void BackupModel::refreshKeyState() {
    // The key state (key present, recovery phrase saved, legacy key) is read
    // from the key store here once keys exist.
}
