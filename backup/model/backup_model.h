#pragma once
// BackupModel: the backup side's model (destinations, credentials, the owner's
// encryption key, backup runs). One instance lives as long as the application
// and serves one archive owner at a time.
#include <QObject>
#include <QString>

class BackupModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString owner READ owner NOTIFY ownerChanged)

public:
    // configDir: the configuration directory (its "destinations.json" holds the
    // destination list). owner: the archive owner served at first, normalised.
    BackupModel(const QString& configDir, const QString& owner, QObject* parent = nullptr);

    QString configDir() const { return configDir_; }
    QString owner() const { return owner_; }

    // Serves another owner. The name is normalised first; when it denotes the
    // owner already served nothing happens, otherwise the owner changes and its
    // key state is read again.
    void setOwner(const QString& name);

    // The canonical form of an owner name (kx::ArchiveIdentity::normalize): two
    // names denote the same owner exactly when their normalised forms are equal.
    static QString normalizeOwner(const QString& name);

    // Re-reads the served owner's key state.
    void refreshKeyState();

signals:
    void ownerChanged();

private:
    QString configDir_;
    QString owner_;
};
