#include "app/model/sources_model.h"

#include "app/model/app_model.h"
#include "app/model/owners_model.h"
#include "app/model/permissions_model.h"
#include "app/model/publish.h"
#include "app/model/runs_model.h"
#include "core/archive/archive_identity.h"
#include "core/platform/system.h"

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

} // namespace

SourcesModel::SourcesModel(AppModel& app) : app_(app) {}

void SourcesModel::setPendingOwnerChoice(const QString& o) {
    publish(this, pendingOwnerChoice_, o, &SourcesModel::pendingOwnerChoiceChanged);
}

bool SourcesModel::hasThisMacSource() const { return app_.registry().find(kThisMacSourceId) != nullptr; }

SourcesModel::Connection SourcesModel::registerThisMac() {
    const std::string home = kx::systemInfo().homeDirectory();
    if (!liveMessagesDatabaseExists()) {
        return {false, "No Messages database found at " + qs(home) + "/Library/Messages" + ". " +
                           "If you have never used Messages on this Mac, there is nothing to connect."};
    }

    OwnersModel& owners = app_.owners();
    const kx::ArchiveIdentity identity = owners.resolvedOwner();
    const QStringList existing = owners.existingOwners();
    std::vector<std::string> ownerList;
    for (const auto& o : existing) ownerList.push_back(o.toStdString());
    const QString owner = qs(identity.owner);
    if (identity.needsConfirmation(ownerList)) {
        setPendingOwnerChoice(owner);
        return {false, "This Mac would archive as \"" + owner +
                           "\", but this destination already holds: " + existing.join(", ") +
                           ". Choose which archive this Mac belongs to, or confirm a new one, so your history is not "
                           "split across two."};
    }
    // A name that cannot name its own folder, or would share one with another
    // owner, is never archived under: the two histories would be mixed.
    if (const QString problem = owners.ownerProblem(owner); !problem.isNull()) {
        setPendingOwnerChoice(owner);
        return {false, problem};
    }

    QString saveProblem;
    if (!hasThisMacSource()) {
        kx::Source s;
        s.id = kThisMacSourceId;
        s.owner = identity.owner;
        s.path = home + "/Library/Messages";
        s.format = kx::SourceFormat::liveChatDB;
        s.label = "This Mac: Messages";
        app_.mutableRegistry().add(s);
        if (const std::optional<QString> problem = app_.saveRegistry(QString("add ") + kThisMacSourceId))
            saveProblem = *problem;
        emit app_.registryChanged();
    }

    PermissionsModel& permissions = app_.permissions();
    permissions.checkFullDiskAccess();
    if (!permissions.hasFullDiskAccess()) {
        return {true, "Connected, but macOS is blocking access to your messages. Grant Full Disk Access, then "
                      "press Scan All."};
    }
    app_.runs().startScan(ScanRequest{});
    return {true, saveProblem};
}

bool SourcesModel::addThisMacSource() {
    const Connection c = registerThisMac();
    // The scan clears the banner when it starts; a source list that could not be
    // saved must stay said, or the user would believe the change was kept.
    if (!c.problem.isNull()) app_.setLastError(c.problem);
    return c.connected;
}

void SourcesModel::renameArchive(const QString& name) {
    const QString normalized = qs(kx::ArchiveIdentity::normalize(name.toStdString()));
    if (normalized.isEmpty()) {
        app_.setLastError("An archive name cannot be blank.");
        return;
    }
    if (const QString problem = app_.owners().ownerProblem(normalized); !problem.isNull()) {
        app_.setLastError(problem);
        return;
    }
    app_.owners().setArchiveOwner(normalized);
    setPendingOwnerChoice(QString());
    app_.setLastError(QString());
    addThisMacSource();
}

void SourcesModel::removeSource(const QString& id) {
    app_.mutableRegistry().remove(id.toStdString());
    if (const std::optional<QString> problem = app_.saveRegistry("remove " + id)) app_.setLastError(*problem);
    emit app_.registryChanged();
}
