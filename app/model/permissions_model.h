#pragma once
// PermissionsModel: everything archiving needs the system to allow. This
// application's own read access to the Messages database (and the prompt that
// asks for it), the engine's access when it runs on schedule (the access probe),
// the permission summary, and the daily schedule: installing and removing it
// (the one place that does) and keeping the installed one current.
#include "app/model/health_notifier.h"
#include "core/health/full_disk_access_probe.h"
#include "core/health/permissions_summary.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

class AppModel;

class PermissionsModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool hasFullDiskAccess READ hasFullDiskAccess WRITE setHasFullDiskAccess NOTIFY hasFullDiskAccessChanged)
    Q_PROPERTY(bool dismissedFullDiskAccessPrompt READ dismissedFullDiskAccessPrompt WRITE
                   setDismissedFullDiskAccessPrompt NOTIFY dismissedFullDiskAccessPromptChanged)
    Q_PROPERTY(FdaVerdict fdaVerdict READ fdaVerdict NOTIFY fdaVerdictChanged)
    Q_PROPERTY(bool isProbingFDA READ isProbingFDA NOTIFY isProbingFDAChanged)

public:
    using FdaVerdict = kx::FullDiskAccessProbe::Verdict;

    explicit PermissionsModel(AppModel& app);

    bool hasFullDiskAccess() const { return hasFullDiskAccess_; }
    bool dismissedFullDiskAccessPrompt() const { return dismissedFullDiskAccessPrompt_; }
    const FdaVerdict& fdaVerdict() const { return fdaVerdict_; }
    bool isProbingFDA() const { return isProbingFDA_; }
    void setHasFullDiskAccess(bool v);
    void setDismissedFullDiskAccessPrompt(bool v);

    // Whether the live Messages database opens for reading; access found also
    // brings the prompt back for the next time it is lost.
    void checkFullDiskAccess();
    // Everything archiving depends on, read afresh on every call.
    kx::PermissionsSummary permissionStatus() const;
    // Checks this application's own access to the live Messages database now, then
    // runs the engine's scheduled-context probe in the background and publishes
    // fdaVerdict (then clears isProbingFDA). Does nothing while a probe runs.
    void startAccessProbe();
    // The background half of startAccessProbe: blocks for up to the probe's
    // 20-second limit and gives the verdict.
    static FdaVerdict probeFullDiskAccess(std::optional<int64_t> appMessages, bool databaseExists);
    // The programs that must be allowed to read Messages, in the order a person
    // adds them: this application, then the engine tool the schedule runs.
    static std::vector<QString> grantPaths();
    // What to do about a verdict, for the settings and the health screen (empty
    // when there is nothing to do).
    static QString accessAdvice(FdaVerdict::Case verdict);
    // Installs the daily schedule with the current archive settings. Nothing
    // when it is installed and on disk; otherwise the sentence that says why
    // not. Publishing it is the caller's choice.
    std::optional<QString> installSchedule();
    // Removes the daily schedule; nothing when it is gone, else why not.
    std::optional<QString> removeSchedule();
    // Whether the daily schedule is on disk now.
    static bool scheduleInstalled();
    // Where the scheduled runs write their logs.
    static QString scheduleLogFolder();
    // When the daily schedule is installed and the archive root or machine identity
    // it runs with is out of date, installs it again with the current values.
    void refreshInstalledSchedule();
    // Keeps the installed schedule current from now on (archive root changes, the
    // machine identity's first resolution). Call once, at the end of start-up.
    void keepScheduleCurrent();

signals:
    void hasFullDiskAccessChanged();
    void dismissedFullDiskAccessPromptChanged();
    void fdaVerdictChanged();
    void isProbingFDAChanged();

private:
    friend struct ModelTestAccess;
    void setFdaVerdict(const FdaVerdict& v);
    void setIsProbingFDA(bool v);

    AppModel& app_;
    bool hasFullDiskAccess_ = false;
    bool dismissedFullDiskAccessPrompt_ = false;
    FdaVerdict fdaVerdict_ = FdaVerdict::notRunYet();
    bool isProbingFDA_ = false;
};

// Whether notifications are allowed, as the permission summary records it:
// authorized and provisional are yes, denied is no, and "not determined" and
// "unavailable" are no answer.
std::optional<bool> notificationsAllowed(HealthNotifier::Authorization authorization);

// <home>/Library/Messages/chat.db
QString liveMessagesDatabasePath();
// True when a file exists at liveMessagesDatabasePath().
bool liveMessagesDatabaseExists();
