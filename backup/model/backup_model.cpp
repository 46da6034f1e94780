#include "backup/model/backup_model.h"

#include "app/model/publish.h"
#include "backup/model/backup_destinations_model.h"
#include "backup/model/backup_keys_model.h"
#include "backup/model/backup_runs_model.h"
#include "core/archive/archive_identity.h"
#include "core/keys/time_limited_secrets.h"
#include "core/platform/config_layout.h"

BackupModel::BackupModel(const QString& configDir, const QString& owner, QObject* parent)
    : QObject(parent), owner_(normalizeOwner(owner)), configDir_(configDir),
      secrets_(std::make_shared<kx::TimeLimitedSecretStore>()), keys_(std::make_unique<BackupKeysModel>(*this)),
      destinations_(std::make_unique<BackupDestinationsModel>(*this)), runs_(std::make_unique<BackupRunsModel>(*this)),
      tasks_(std::make_unique<TaskRunner>()) {
    keys_->refreshKeyState();
}

BackupModel::~BackupModel() {
    // The parts' tasks read the parts: none may still run once they go.
    tasks_->closeAndWait();
}

QString BackupModel::resumeStatePath() const {
    return QString::fromStdString(kx::ConfigLayout(configDir_.toStdString()).resumeState());
}

QString BackupModel::normalizeOwner(const QString& name) {
    return QString::fromStdString(kx::ArchiveIdentity::normalize(name.toStdString()));
}

void BackupModel::setBusy(bool busy) { publish(this, isBusy_, busy, &BackupModel::isBusyChanged); }
void BackupModel::setLastError(const QString& text) {
    if (lastError_ == text && lastError_.isNull() == text.isNull()) return;
    lastError_ = text;
    emit lastErrorChanged();
}
void BackupModel::setLastResult(const QString& text) {
    if (lastResult_ == text && lastResult_.isNull() == text.isNull()) return;
    lastResult_ = text;
    emit lastResultChanged();
}

void BackupModel::clearSentences() {
    setLastError(destinations_->loadProblem());
    setLastResult(QString());
}

void BackupModel::setOwner(const QString& name) {
    const QString n = normalizeOwner(name);
    if (n == owner_) return;
    owner_ = n;
    keys_->followOwner();
    emit ownerChanged();
}

bool BackupModel::idle() const { return tasks_->idle(); }
