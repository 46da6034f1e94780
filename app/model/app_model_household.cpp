// AppModel: the household's machines, renaming them, and the run reports other
// machines leave in the archive root. (Saving is saveHousehold, in app_model_owners.cpp.)
#include "app/model/app_model.h"

#include "core/household/household_store.h"

#include <filesystem>

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

} // namespace

void AppModel::refreshHousehold() {
    loadHousehold();
    const QString root = destinationRoot_;
    // Machine id -> the name shown for it. Should one id be listed under two
    // members, the first listing (in member order) names it.
    std::map<std::string, std::string> names;
    for (const auto& member : household_.members)
        for (const auto& mac : member.macs) names.emplace(mac.machineID, mac.displayName);
    if (!machineID_.isEmpty()) names[machineID_.toStdString()] = machineName_.toStdString();
    mergeMachineReports(root, names);
}

void AppModel::mergeMachineReports(const QString& root, const std::map<std::string, std::string>& displayNames) {
    const std::string where = root.toStdString();
    startTask(TaskPriority::utility, [this, where, displayNames]() -> std::function<void()> {
        // The report files are written by other machines: untrusted input, read
        // and validated here; bad files are skipped with a reason.
        auto scan = std::make_shared<kx::MachineReportScan>(kx::HouseholdStore::machineReports(where));
        return [this, scan, displayNames] {
            QStringList skipped;
            for (const auto& s : scan->skipped) {
                const std::string name = std::filesystem::path(s.path).filename().string();
                skipped << qs("The machine report \"" + name + "\" was left out: " + s.reason + ".");
            }
            skippedMachineReports_ = skipped;
            kx::Household merged = household_;
            const int changes = kx::HouseholdStore::merge(scan->reports, merged, displayNames);
            setHousehold(merged);
            if (changes > 0) saveHousehold();
        };
    });
}

void AppModel::renameMac(const QString& machineID, const QString& name) {
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty()) {
        setLastError("A Mac's name cannot be blank.");
        return;
    }
    kx::Household renamed = household_;
    const std::string id = machineID.toStdString();
    for (auto& member : renamed.members)
        for (auto& mac : member.macs)
            if (mac.machineID == id) mac.displayName = trimmed.toStdString();
    setHousehold(renamed);
    saveHousehold();
}
