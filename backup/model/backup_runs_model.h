#pragma once
// BackupRunsModel: backup runs of the served owner's archive, their progress,
// and the shared status records owners leave on a destination. Its sentences
// go to BackupModel's lastError and lastResult.
//
// Progress reports arrive on the pool's threads and are handed over one by
// one; a report that arrives after its run ended is dropped.
#include "app/model/destination_config.h"
#include "core/backup/backup_engine.h"
#include "core/backup/health.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <vector>

class BackupModel;

class BackupRunsModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString progressText READ progressText NOTIFY progressTextChanged)
    Q_PROPERTY(double progressFraction READ progressFraction NOTIFY progressFractionChanged)
    Q_PROPERTY(std::vector<kx::HostHealthRow> hostHealth READ hostHealth NOTIFY hostHealthChanged)

public:
    explicit BackupRunsModel(BackupModel& backup);

    QString progressText() const { return progressText_; }
    double progressFraction() const { return progressFraction_; }
    const std::vector<kx::HostHealthRow>& hostHealth() const { return hostHealth_; }

    // Backs up `owner`'s archive file at storePath to the destination. Without
    // that file it refuses: with `archiveGone` when it is the archive a run
    // made and that is gone, else by asking for a first scan.
    void runBackup(const QString& owner, const QString& storePath, const DestinationConfig& config,
                   const QString& archiveGone = QString());
    // The bar counts the bytes sent; the text "Uploading part n of m" counts
    // 8 MiB parts of the same bytes, so the two move together.
    void applyProgress(const kx::BackupProgress& progress);
    // Reads the status records of these owners on the destination.
    void refreshHostHealth(const DestinationConfig& config, const QStringList& owners);

signals:
    void progressTextChanged();
    void progressFractionChanged();
    void hostHealthChanged();

private:
    void setProgressText(const QString& text);
    void setProgressFraction(double fraction);
    void setHostHealth(std::vector<kx::HostHealthRow> rows);
    void finishRun(quint64 run);

    BackupModel& backup_;
    QString progressText_;
    double progressFraction_ = 0;
    std::vector<kx::HostHealthRow> hostHealth_;
    // Each backup run's number; progress reports carry it and are dropped once
    // it is no longer the run under way.
    quint64 currentRun_ = 0;
    bool runActive_ = false;
    // The latest shared-status request; an older one's answer is dropped.
    quint64 currentStatusRead_ = 0;
};

Q_DECLARE_METATYPE(std::vector<kx::HostHealthRow>)
