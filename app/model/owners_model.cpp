// Every path of an owner's archive comes from ArchiveLayout, which refuses owners
// that cannot name a folder of their own (blank, ".", "..", a NUL character):
// they get no path at all, so nothing is ever opened or created outside the root.
#include "app/model/owners_model.h"

#include "app/model/app_model.h"
#include "app/platform/logging.h"
#include "app/platform/user_defaults.h"
#include "core/archive/archive_layout.h"
#include "core/archive/attachment_store.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"

#include <set>

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

} // namespace

OwnersModel::OwnersModel(AppModel& app) : app_(app) {}

QString OwnersModel::archiveOwner() const {
    return userDefaults().string(DefaultsKey::archiveOwner).value_or(QString());
}

void OwnersModel::setArchiveOwner(const QString& owner) {
    if (owner == archiveOwner()) return;
    userDefaults().setString(DefaultsKey::archiveOwner, owner);
    emit archiveOwnerChanged();
}

QStringList OwnersModel::sourceOwners() const {
    std::set<std::string> owners;
    for (const auto& s : app_.registry().sources()) owners.insert(s.owner);
    QStringList out;
    for (const auto& o : owners) out << qs(o);
    return out;
}

QStringList OwnersModel::existingOwners() const {
    std::set<std::string> owners;
    for (const auto& s : app_.registry().sources()) owners.insert(s.owner);
    for (const auto& folder : kx::ArchiveLayout(app_.destinationRoot().toStdString()).ownerFolders())
        owners.insert(folder);
    QStringList out;
    for (const auto& o : owners) out << qs(o);
    return out;
}

kx::ArchiveIdentity OwnersModel::resolvedOwner() const {
    const QString chosen = archiveOwner();
    std::vector<std::string> existing;
    for (const auto& o : existingOwners()) existing.push_back(o.toStdString());
    const auto& sys = kx::systemInfo();
    return kx::ArchiveIdentity::resolve(chosen.isEmpty() ? std::nullopt : std::optional(chosen.toStdString()),
                                        sys.shortUserName(), sys.fullUserName(), existing);
}

std::vector<std::string> OwnersModel::ownersBesides() const {
    std::vector<std::string> owners;
    for (const auto& s : app_.registry().sources()) owners.push_back(s.owner);
    const kx::ArchiveLayout layout(app_.destinationRoot().toStdString());
    for (const auto& folder : layout.ownerFolders()) {
        std::string owner = folder;
        try {
            // A folder name holds no "/", so as an owner it names itself.
            kx::TreskStore store(layout.owner(folder).database);
            const std::string recorded = store.owner();
            if (!recorded.empty()) owner = recorded;
        } catch (const std::exception& e) {
            qCWarning(lcArchive, "The owner recorded in %s could not be read: %s",
                      layout.owner(folder).database.c_str(), e.what());
        }
        owners.push_back(owner);
    }
    return owners;
}

QString OwnersModel::ownerProblem(const QString& owner) const {
    const auto problem = kx::ArchiveIdentity::problem(owner.toStdString(), ownersBesides());
    return problem ? qs(*problem) : QString();
}

QString OwnersModel::archiveDatabasePath(const QString& root, const QString& owner) {
    const auto paths = kx::ArchiveLayout(root.toStdString()).ownerIfValid(owner.toStdString());
    return paths ? qs(paths->database) : QString();
}

QString OwnersModel::attachmentRootPath(const QString& root, const QString& owner) {
    const auto paths = kx::ArchiveLayout(root.toStdString()).ownerIfValid(owner.toStdString());
    return paths ? qs(paths->attachments) : QString();
}

std::unique_ptr<kx::TreskStore> OwnersModel::openStore(const QString& root, const QString& owner) const {
    const QString path = archiveDatabasePath(root, owner);
    QString problem;
    if (path.isNull()) {
        problem = "Could not open the archive of \"" + owner + "\": that name cannot name an archive folder.";
    } else if (!kx::fs::isRegularFile(path.toStdString())) {
        return nullptr; // no scan yet: an ordinary state, nothing to say
    } else {
        try {
            return std::make_unique<kx::TreskStore>(path.toStdString());
        } catch (const std::exception& e) {
            problem = "Could not open " + owner + "'s archive: " + qs(e.what()) +
                      ". The tresk file exists but is not readable.";
        }
    }
    // Callers may be on a worker thread: the banner is set on the GUI thread.
    AppModel* app = &app_;
    app_.tasks().handBack([app, problem] { app->setLastError(problem); });
    return nullptr;
}

std::vector<kx::TreskStore::SearchHit> OwnersModel::search(const QString& root, const QString& query,
                                                           const QString& owner, int64_t limit) const {
    auto store = openStore(root, owner);
    if (!store) return {};
    try {
        return store->search(query.toStdString(), owner.toStdString(), std::nullopt, std::nullopt, std::nullopt, limit);
    } catch (const std::exception& e) {
        qCWarning(lcReading, "Searching %s's archive failed: %s", qPrintable(owner), e.what());
        return {};
    }
}

QString OwnersModel::attachmentPath(const QString& root, const QString& owner,
                                    const kx::TreskStore::AttachmentRef& attachment) {
    if (!attachment.objectKey || attachment.objectKey->empty()) return {};
    const QString folder = attachmentRootPath(root, owner);
    if (folder.isNull()) return {};
    try {
        const auto path = kx::AttachmentStore(folder.toStdString()).objectPath(*attachment.objectKey);
        if (kx::fs::isRegularFile(path)) return qs(path.string());
    } catch (const kx::Error&) {
        // not a well-formed key: nothing stored under it
    }
    return {};
}
