#pragma once
// OnboardingModel: the state of the first-run flow and every action of its four
// steps (welcome, Full Disk Access, archive choice, first scan). AppModel creates
// it on first use (AppModel::onboarding) and the main window presents the
// onboarding sheet while shouldShow() is true; "Set Up Kelvara…" calls reopen().
//
// The gates, labels and texts are the core's (kx::Onboarding): the model builds
// a snapshot with state() and asks. The sheet and its step views observe the
// model and call it; they keep no flow state of their own.
//
// Threading: used on the GUI thread. Three things run on the thread pool and
// hand their result back in one queued call: reading the live Messages facts
// (the message count and the size of the attachments folder, which can be tens
// of gigabytes), the read attempt of "Allow access to Messages", and the
// archive run itself (RunsModel). Work started by an earlier flow never writes
// into a reopened one: reopen() stops following the earlier run, and each live
// reading carries its number so that only the latest one is published.
//
// The first archive's outcome is the outcome of the run this flow started,
// reported by RunsModel::runFinished for that run's number; the shared error
// banner (AppModel::lastError) is not read to decide it, so dismissing the
// banner or an unrelated error meanwhile cannot change it.
#include "core/health/onboarding.h"

#include <QMetaType>
#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <optional>

class AppModel;
class QTimer;

Q_DECLARE_METATYPE(kx::Onboarding::Step)
Q_DECLARE_METATYPE(kx::Onboarding::ScanOutcome)
Q_DECLARE_METATYPE(kx::RetentionPolicy::Setting)
Q_DECLARE_METATYPE(std::optional<kx::Onboarding::ArchiveChoice>)

class OnboardingModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(kx::Onboarding::Step step READ step WRITE setStep NOTIFY stepChanged)
    Q_PROPERTY(kx::RetentionPolicy::Setting retention READ retention NOTIFY retentionChanged)
    Q_PROPERTY(qint64 liveMessages READ liveMessages NOTIFY liveMessagesChanged)
    Q_PROPERTY(qint64 liveAttachmentBytes READ liveAttachmentBytes NOTIFY liveAttachmentBytesChanged)
    Q_PROPERTY(bool isReadingLiveState READ isReadingLiveState NOTIFY isReadingLiveStateChanged)
    Q_PROPERTY(std::optional<kx::Onboarding::ArchiveChoice> archiveChoice READ archiveChoice WRITE setArchiveChoice
                   NOTIFY archiveChoiceChanged)
    Q_PROPERTY(bool joinCompleted READ joinCompleted WRITE setJoinCompleted NOTIFY joinCompletedChanged)
    Q_PROPERTY(kx::Onboarding::ScanOutcome scan READ scan NOTIFY scanChanged)
    Q_PROPERTY(bool scheduleInstalled READ scheduleInstalled NOTIFY scheduleInstalledChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(bool isFinished READ isFinished WRITE setIsFinished NOTIFY isFinishedChanged)
    Q_PROPERTY(bool explicitlyOpened READ explicitlyOpened WRITE setExplicitlyOpened NOTIFY explicitlyOpenedChanged)
    Q_PROPERTY(bool completedFlag READ completedFlag WRITE setCompletedFlag NOTIFY completedFlagChanged)
    Q_PROPERTY(bool skippedFlag READ skippedFlag WRITE setSkippedFlag NOTIFY skippedFlagChanged)
    Q_PROPERTY(bool shouldShow READ shouldShow NOTIFY shouldShowChanged)

public:
    using Step = kx::Onboarding::Step;
    using ScanOutcome = kx::Onboarding::ScanOutcome;
    using ArchiveChoice = kx::Onboarding::ArchiveChoice;

    // How long the first-scan step follows a run before it says the run is
    // still going.
    static constexpr std::chrono::milliseconds kFollowLimit = std::chrono::hours(1);

    // Starts at the welcome step with nothing read yet; scheduleInstalled is read
    // from the schedule file once.
    explicit OnboardingModel(AppModel& model, QObject* parent = nullptr);
    ~OnboardingModel() override;

    AppModel& model() const { return model_; }
    // Changes how long a run is followed (kFollowLimit), from the next run on.
    void setFollowLimit(std::chrono::milliseconds limit);

    // ---- Published state ----
    Step step() const { return step_; }
    const kx::RetentionPolicy::Setting& retention() const { return retention_; }
    qint64 liveMessages() const { return liveMessages_; }
    qint64 liveAttachmentBytes() const { return liveAttachmentBytes_; }
    // True from refreshLiveState() until the count and the measurement are in.
    bool isReadingLiveState() const { return isReadingLiveState_; }
    std::optional<ArchiveChoice> archiveChoice() const { return archiveChoice_; }
    bool joinCompleted() const { return joinCompleted_; }
    const ScanOutcome& scan() const { return scan_; }
    bool scheduleInstalled() const { return scheduleInstalled_; }
    // The sentence of the last failed onboarding action; null when none.
    QString lastError() const { return lastError_; }
    bool isFinished() const { return isFinished_; }
    bool explicitlyOpened() const { return explicitlyOpened_; }
    // The user defaults "onboardingCompleted" and "onboardingSkipped" (false when unset).
    bool completedFlag() const;
    bool skippedFlag() const;

    // Written directly by the sheet and the archive-choice step.
    void setStep(Step step);
    void setArchiveChoice(std::optional<ArchiveChoice> choice);
    void setJoinCompleted(bool v);
    void setIsFinished(bool v);
    void setExplicitlyOpened(bool v);
    void setCompletedFlag(bool v);
    void setSkippedFlag(bool v);

    // ---- Operations ----
    // False once finished; true when reopened; otherwise true exactly when no
    // source is registered and the flow was neither completed nor skipped.
    bool shouldShow() const;
    // Starts the flow again at the welcome step with a fresh outcome, no choice
    // and no join; the stored flags and scheduleInstalled keep their values.
    void reopen();
    // Re-reads Messages' keep-messages setting now, and the live message count
    // and attachment size in the background (isReadingLiveState meanwhile).
    void refreshLiveState();
    // What entering `step` reads afresh.
    void refreshStep(Step step);
    kx::Onboarding::State state() const;
    // Moves to the next step, or completes the flow on the last one, unless the
    // current step's gate is blocked.
    void advance();
    // Sets the step to the previous one; refreshes nothing.
    void goBack();

    bool retentionDeletesMessages() const;
    // "1,234 messages in Messages on this Mac right now".
    QString liveMessagesSummary() const;

    // Opens the place where Kelvara is given access (on Linux the folder that
    // holds the live Messages database).
    void openFullDiskAccessSettings();
    // Tries to read the live database's first page off the GUI thread (which is
    // what makes macOS ask), then opens the access place and checks access again.
    void requestMessagesAccess();

    // The archive root already holds archives and none is this Mac's owner's.
    bool wouldStartSeparateArchive() const;
    // Stores the name this Mac archives under; a name that is blank or cannot
    // name an archive folder beside the existing ones is refused in lastError.
    void setArchiveName(const QString& name);

    // "Run the first archive": connects this Mac's Messages when needed and
    // starts the run; the outcome arrives in scan().
    void connectThisMac();
    // The resolved owner's archive's message count; 0 when it cannot be read.
    qint64 countArchivedMessages() const;

    // The schedule switch.
    void installSchedule();
    void removeSchedule();
    // "~/Library/LaunchAgents/com.dunholt.kelvara.plist" under the current home.
    static QString launchAgentPath();

signals:
    void stepChanged();
    void retentionChanged();
    void liveMessagesChanged();
    void liveAttachmentBytesChanged();
    void isReadingLiveStateChanged();
    void archiveChoiceChanged();
    void joinCompletedChanged();
    void scanChanged();
    void scheduleInstalledChanged();
    void lastErrorChanged();
    void isFinishedChanged();
    void explicitlyOpenedChanged();
    void completedFlagChanged();
    void skippedFlagChanged();
    void shouldShowChanged();
    // After anything state() reads may have changed, the application's access
    // verdict and archive owner included: the gate and labels are asked again.
    void stateChanged();

private:
    friend struct OnboardingTestAccess;
    void setScan(const ScanOutcome& s);
    void setLastError(const QString& e);
    void setScheduleInstalled(bool v);
    // Follows run number `run` until its outcome is known or the follow limit
    // passes.
    void runFirstArchive(quint64 run);
    void stopFollowing();
    void finishFirstArchive(const QString& error);

    AppModel& model_;
    Step step_ = Step::welcome;
    kx::RetentionPolicy::Setting retention_ = kx::RetentionPolicy::Setting::unreadable("not read yet");
    qint64 liveMessages_ = 0;
    qint64 liveAttachmentBytes_ = 0;
    bool isReadingLiveState_ = false;
    std::optional<ArchiveChoice> archiveChoice_;
    bool joinCompleted_ = false;
    ScanOutcome scan_;
    bool scheduleInstalled_ = false;
    QString lastError_;
    bool isFinished_ = false;
    bool explicitlyOpened_ = false;

    // Bumped by each refreshLiveState(): only the latest reading is published.
    quint64 liveReading_ = 0;
    // The run the first-scan step follows, and when it stops following it.
    std::optional<quint64> followedRun_;
    QTimer* followTimer_ = nullptr;
};
