#pragma once
// HouseholdModel: this machine's identity and name, the household of owners and
// their Macs, the run reports other machines leave in the archive root, and
// renaming a Mac.
#include "core/archive/coverage_report.h"
#include "core/household/household.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <map>
#include <string>

class AppModel;

class HouseholdModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString machineID READ machineID NOTIFY machineIDChanged)
    Q_PROPERTY(QString machineName READ machineName NOTIFY machineNameChanged)
    Q_PROPERTY(kx::Household household READ household NOTIFY householdChanged)
    Q_PROPERTY(QString householdLoadProblem READ householdLoadProblem NOTIFY householdLoadProblemChanged)

public:
    // Takes this machine's display name from the system.
    explicit HouseholdModel(AppModel& app);

    QString machineID() const { return machineID_; }
    QString machineName() const { return machineName_; }
    const kx::Household& household() const { return household_; }
    // Null when the household file loaded (or there is none); while set, the
    // file is never written over.
    QString householdLoadProblem() const { return householdLoadProblem_; }
    // Why machine report files were left out at the last merge, one sentence each.
    const QStringList& skippedMachineReports() const { return skippedMachineReports_; }

    // Start-up: this machine's identity, created on first use and kept in the
    // configuration folder.
    void resolveMachineIdentity();
    static QString makeMachineID();
    // Start-up, and refreshHousehold: reads the household file.
    void loadHousehold();

    // Reloads the household file and merges the machine reports in the archive
    // root in the background.
    void refreshHousehold();
    // Reads the reports off the GUI thread, merges them on it; saves on a change.
    void mergeMachineReports(const QString& root, const std::map<std::string, std::string>& displayNames);
    // Renames a Mac in the list and saves. Refused with a sentence in lastError
    // while the household file cannot be read (the change could not be saved).
    void renameMac(const QString& machineID, const QString& name);
    // Removes a member's row from the list (nothing else: archives are never
    // touched) and saves. Refused like renameMac while the file cannot be read.
    void unlinkMember(const QString& owner);
    // The sentence a refused change gives while the household file cannot be read.
    static QString lockedSentence();
    // Records a finished run for this machine under `owner` (the owner the run
    // started with) and saves the household.
    void recordRun(const kx::CoverageReport& report, const QString& owner);
    // Writes the household file; refused silently while the file failed to load.
    void saveHousehold();

signals:
    void machineIDChanged();
    void machineNameChanged();
    void householdChanged();
    void householdLoadProblemChanged();

private:
    friend struct ModelTestAccess;
    void setMachineID(const QString& id);
    void setHousehold(const kx::Household& h);
    void setHouseholdLoadProblem(const QString& p);

    AppModel& app_;
    QString machineID_;
    QString machineName_;
    kx::Household household_;
    QString householdLoadProblem_;
    QStringList skippedMachineReports_;
};
