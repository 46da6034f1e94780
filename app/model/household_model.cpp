#include "app/model/household_model.h"

#include "app/model/app_model.h"
#include "app/model/publish.h"
#include "core/archive/coverage_report.h"
#include "core/household/household_store.h"
#include "core/household/machine_identity.h"
#include "core/platform/error.h"
#include "core/platform/system.h"

#include <QUuid>

#include <filesystem>

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

} // namespace

HouseholdModel::HouseholdModel(AppModel& app)
    : app_(app), machineName_(qs(kx::MachineIdentity::displayName(kx::systemInfo().computerName()))) {}

void HouseholdModel::setMachineID(const QString& id) {
    publish(this, machineID_, id, &HouseholdModel::machineIDChanged);
}
void HouseholdModel::setHousehold(const kx::Household& h) {
    publish(this, household_, h, &HouseholdModel::householdChanged);
}
void HouseholdModel::setHouseholdLoadProblem(const QString& p) {
    publish(this, householdLoadProblem_, p, &HouseholdModel::householdLoadProblemChanged);
}

void HouseholdModel::resolveMachineIdentity() {
    try {
        const std::string id = kx::MachineIdentity::resolve(
            app_.configDir().toStdString(), [] { return makeMachineID().toStdString(); }, app_.clock().now());
        setMachineID(qs(id));
    } catch (const kx::Error& e) {
        app_.setLastError(qs(e.what()));
    }
}

QString HouseholdModel::makeMachineID() { return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper(); }

void HouseholdModel::loadHousehold() {
    const std::string configDir = app_.configDir().toStdString();
    const auto load = kx::HouseholdStore::load(configDir);
    switch (load.outcome) {
    case kx::HouseholdLoad::Outcome::loaded:
        setHouseholdLoadProblem(QString());
        setHousehold(load.household);
        break;
    case kx::HouseholdLoad::Outcome::problem:
        setHouseholdLoadProblem(qs(load.problem));
        app_.setLastError("Your household file at " + qs(kx::HouseholdStore::path(configDir)) + " could not be read (" +
                          qs(load.problem) + "). " + "It is NOT being overwritten, so the file is still on disk. " +
                          "Repair or move it aside, then restart.");
        break;
    case kx::HouseholdLoad::Outcome::noFile: setHouseholdLoadProblem(QString()); break;
    }
}

void HouseholdModel::refreshHousehold() {
    loadHousehold();
    // Machine id -> the name shown for it. Should one id be listed under two
    // members, the first listing (in member order) names it.
    std::map<std::string, std::string> names;
    for (const auto& member : household_.members)
        for (const auto& mac : member.macs) names.emplace(mac.machineID, mac.displayName);
    if (!machineID_.isEmpty()) names[machineID_.toStdString()] = machineName_.toStdString();
    mergeMachineReports(app_.destinationRoot(), names);
}

void HouseholdModel::mergeMachineReports(const QString& root, const std::map<std::string, std::string>& displayNames) {
    const std::string where = root.toStdString();
    app_.startTask(this, TaskPriority::utility, [this, where, displayNames]() -> std::function<void()> {
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

QString HouseholdModel::lockedSentence() {
    return QStringLiteral("Your household file could not be read, so this list cannot be changed until it can.");
}

void HouseholdModel::unlinkMember(const QString& owner) {
    if (!householdLoadProblem_.isNull()) {
        app_.setLastError(lockedSentence());
        return;
    }
    kx::Household h = household_;
    if (!h.unlink(owner.toStdString())) return;
    setHousehold(h);
    saveHousehold();
}

void HouseholdModel::renameMac(const QString& machineID, const QString& name) {
    if (!householdLoadProblem_.isNull()) {
        app_.setLastError(lockedSentence());
        return;
    }
    const QString trimmed = name.trimmed();
    if (trimmed.isEmpty()) {
        app_.setLastError("A Mac's name cannot be blank.");
        return;
    }
    kx::Household renamed = household_;
    renamed.renameMac(machineID.toStdString(), trimmed.toStdString());
    setHousehold(renamed);
    saveHousehold();
}

void HouseholdModel::recordRun(const kx::CoverageReport& report, const QString& owner) {
    if (machineID_.isEmpty() || owner.isEmpty()) return;
    const std::string who = owner.toStdString();
    // The messages this run added to this owner's archive.
    int64_t added = report.newMessages;
    for (const auto& o : report.owners)
        if (o.owner == who) added = o.newMessages;
    kx::Household h = household_;
    h.recordRun(who, machineID_.toStdString(), machineName_.toStdString(), report.runDate, added);
    if (!h.host()) h.makeHost(who);
    setHousehold(h);
    saveHousehold();
}

void HouseholdModel::saveHousehold() {
    try {
        kx::HouseholdStore::save(household_, app_.configDir().toStdString(), !householdLoadProblem_.isNull());
    } catch (const kx::Error& e) {
        app_.setLastError("Could not save your household: " + qs(e.localizedDescription()) + ". " +
                          "The change may be lost when you quit.");
    }
}
