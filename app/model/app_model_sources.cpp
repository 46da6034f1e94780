// The source registry: saving it, connecting this machine's Messages folder and
// removing sources.
#include "app/model/app_model.h"

#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

} // namespace

bool AppModel::saveRegistry(const QString& action) {
    try {
        registry_.save();
        return true;
    } catch (const kx::Error& e) {
        setLastError("Could not save your source list (" + action + "): " + qs(e.localizedDescription()) +
                     ". The change may be lost when you quit.");
        return false;
    }
}

bool AppModel::hasThisMacSource() const { return registry_.find(kThisMacSourceId) != nullptr; }

bool AppModel::addThisMacSource() {
    const std::string home = kx::systemInfo().homeDirectory();
    if (!liveMessagesDatabaseExists()) {
        setLastError("No Messages database found at " + qs(home) + "/Library/Messages" + ". " +
                     "If you have never used Messages on this Mac, there is nothing to connect.");
        return false;
    }

    const kx::ArchiveIdentity identity = resolvedOwner();
    const QStringList owners = existingOwners();
    std::vector<std::string> ownerList;
    for (const auto& o : owners) ownerList.push_back(o.toStdString());
    const QString owner = qs(identity.owner);
    if (identity.needsConfirmation(ownerList)) {
        setPendingOwnerChoice(owner);
        setLastError("This Mac would archive as \"" + owner + "\", but this " + "destination already holds: " +
                     owners.join(", ") + ". " + "Choose which archive this Mac belongs to, or confirm a new one, " +
                     "so your history is not split across two.");
        return false;
    }
    // A name that cannot name its own folder, or would share one with another
    // owner, is never archived under: the two histories would be mixed.
    if (const QString problem = ownerProblem(owner); !problem.isNull()) {
        setPendingOwnerChoice(owner);
        setLastError(problem);
        return false;
    }

    QString saveProblem;
    if (!hasThisMacSource()) {
        kx::Source s;
        s.id = kThisMacSourceId;
        s.owner = identity.owner;
        s.path = home + "/Library/Messages";
        s.format = kx::SourceFormat::liveChatDB;
        s.label = "This Mac: Messages";
        registry_.add(s);
        if (!saveRegistry(QString("add ") + kThisMacSourceId)) saveProblem = lastError_;
        emit registryChanged();
    }

    checkFullDiskAccess();
    if (!hasFullDiskAccess_) {
        setLastError("Connected, but macOS is blocking access to your messages. Grant Full Disk Access, then press "
                     "Scan All.");
        return true;
    }
    startScan(std::nullopt, true, false);
    // The scan clears the banner when it starts; a source list that could not be
    // saved must stay said, or the user would believe the change was kept.
    if (!saveProblem.isNull()) setLastError(saveProblem);
    return true;
}

void AppModel::removeSource(const QString& id) {
    registry_.remove(id.toStdString());
    saveRegistry("remove " + id);
    emit registryChanged();
}
