#pragma once
// OwnersModel: archive owners and reading an owner's archive. Which owners
// exist, the name this machine archives under, whether a name can be archived
// under, where an owner's archive lies, and opening, searching and locating
// attachments in it.
//
// openStore, search and attachmentPath are safe on any thread: they take the
// archive root as an argument (captured on the GUI thread by the caller) and
// read nothing of the model.
#include "core/archive/archive_identity.h"
#include "core/archive/tresk_store.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class AppModel;

class OwnersModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString archiveOwner READ archiveOwner WRITE setArchiveOwner NOTIFY archiveOwnerChanged)

public:
    explicit OwnersModel(AppModel& app);

    // Kept in the user defaults under "archiveOwner"; empty = not chosen.
    QString archiveOwner() const;
    void setArchiveOwner(const QString& owner);

    // Owners of the registered sources, without duplicates, sorted.
    QStringList sourceOwners() const;
    // Those plus the folders of the archive root that hold an archive, sorted.
    QStringList existingOwners() const;
    // This machine's archive owner.
    kx::ArchiveIdentity resolvedOwner() const;
    // Why `owner` cannot be archived under (a sentence), or null when it can:
    // blank, ".", "..", a NUL character, or the folder of a different owner.
    QString ownerProblem(const QString& owner) const;

    // The owner's archive database and attachment folder under `root`; null for
    // an owner that cannot name a folder.
    static QString archiveDatabasePath(const QString& root, const QString& owner);
    static QString attachmentRootPath(const QString& root, const QString& owner);
    // The owner's archive under `root` opened for reading; null when it does not
    // exist (nothing said) or does not open (a sentence reaches lastError on the
    // GUI thread).
    std::unique_ptr<kx::TreskStore> openStore(const QString& root, const QString& owner) const;
    // Full-text search in one owner's archive; empty on any failure.
    std::vector<kx::TreskStore::SearchHit> search(const QString& root, const QString& query, const QString& owner,
                                                  int64_t limit) const;
    // The stored object file of an attachment; null when it is not there.
    static QString attachmentPath(const QString& root, const QString& owner,
                                  const kx::TreskStore::AttachmentRef& attachment);

signals:
    void archiveOwnerChanged();

private:
    // Owners to check a new owner against: the registry's owners and, for every
    // archive folder on disk, the owner its store records (else the folder name).
    std::vector<std::string> ownersBesides() const;

    AppModel& app_;
};
