#include "setup/model/onboarding_model.h"

#include "app/model/app_model.h"
#include "app/model/household_model.h"
#include "app/model/owners_model.h"
#include "app/model/permissions_model.h"
#include "app/model/runs_model.h"
#include "app/model/sources_model.h"
#include "app/platform/logging.h"
#include "app/platform/user_defaults.h"
#include "app/platform/workspace.h"
#include "core/archive/archive_identity.h"
#include "core/archive/archive_layout.h"
#include "core/archive/tresk_store.h"
#include "core/health/read_only_database.h"
#include "core/health/schedule_installer.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"

#include <QLocale>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <array>

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

std::string homeFolder() { return kx::systemInfo().homeDirectory(); }

// The name a person typed holds a character that is not text (NUL, other
// control characters, DEL). White space is tidied by normalizing instead.
bool holdsControlCharacter(const QString& name) {
    for (const QChar c : name) {
        if (c == u'\t' || c == u'\n' || c == u'\r') continue;
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c.category() == QChar::Other_Control) return true;
    }
    return false;
}

// What the background reading of the live Messages facts found.
struct LiveFacts {
    qint64 messages = 0;
    qint64 attachmentBytes = 0;
};

LiveFacts readLiveFacts(const std::string& databasePath, const std::string& attachmentsPath) {
    LiveFacts facts;
    if (kx::fs::exists(databasePath)) {
        try {
            kx::ReadOnlyDatabase db(databasePath);
            facts.messages = kx::LiveMessagesProbe::summarize(db).messages;
        } catch (const std::exception&) {
            facts.messages = 0; // without access the count reads 0, as promised
        }
    }
    if (const auto bytes = kx::RetentionReader::liveAttachmentBytes(attachmentsPath))
        facts.attachmentBytes = static_cast<qint64>(*bytes);
    return facts;
}

} // namespace

OnboardingModel::OnboardingModel(AppModel& model, QObject* parent) : QObject(parent), model_(model) {
    scheduleInstalled_ = PermissionsModel::scheduleInstalled();

    for (auto sig : {&OnboardingModel::isFinishedChanged, &OnboardingModel::explicitlyOpenedChanged,
                     &OnboardingModel::completedFlagChanged, &OnboardingModel::skippedFlagChanged})
        connect(this, sig, this, &OnboardingModel::shouldShowChanged);
    connect(&model_, &AppModel::registryChanged, this, &OnboardingModel::shouldShowChanged);

    for (auto sig :
         {&OnboardingModel::stepChanged, &OnboardingModel::retentionChanged, &OnboardingModel::archiveChoiceChanged,
          &OnboardingModel::joinCompletedChanged, &OnboardingModel::scanChanged})
        connect(this, sig, this, &OnboardingModel::stateChanged);
    // What the resolved owner and the access verdict depend on.
    connect(&model_.permissions(), &PermissionsModel::fdaVerdictChanged, this, &OnboardingModel::stateChanged);
    connect(&model_.owners(), &OwnersModel::archiveOwnerChanged, this, &OnboardingModel::stateChanged);
    connect(&model_, &AppModel::destinationRootChanged, this, &OnboardingModel::stateChanged);
    connect(&model_, &AppModel::registryChanged, this, &OnboardingModel::stateChanged);

    connect(&model_.runs(), &RunsModel::runFinished, this, [this](quint64 run, const QString& error) {
        if (followedRun_ && *followedRun_ == run) finishFirstArchive(error);
    });
    followTimer_ = new QTimer(this);
    followTimer_->setSingleShot(true);
    followTimer_->setInterval(kFollowLimit);
    connect(followTimer_, &QTimer::timeout, this, &OnboardingModel::stopFollowing);
}

OnboardingModel::~OnboardingModel() = default;

// ---- Published state ----

bool OnboardingModel::completedFlag() const { return userDefaults().flag(DefaultsKey::onboardingCompleted); }

bool OnboardingModel::skippedFlag() const { return userDefaults().flag(DefaultsKey::onboardingSkipped); }

void OnboardingModel::setCompletedFlag(bool v) {
    if (v == completedFlag()) return;
    userDefaults().setFlag(DefaultsKey::onboardingCompleted, v);
    emit completedFlagChanged();
}

void OnboardingModel::setSkippedFlag(bool v) {
    if (v == skippedFlag()) return;
    userDefaults().setFlag(DefaultsKey::onboardingSkipped, v);
    emit skippedFlagChanged();
}

void OnboardingModel::setStep(Step step) {
    if (step == step_) return;
    step_ = step;
    emit stepChanged();
}

void OnboardingModel::setArchiveChoice(std::optional<ArchiveChoice> choice) {
    if (choice == archiveChoice_) return;
    archiveChoice_ = choice;
    emit archiveChoiceChanged();
}

void OnboardingModel::setJoinCompleted(bool v) {
    if (v == joinCompleted_) return;
    joinCompleted_ = v;
    emit joinCompletedChanged();
}

void OnboardingModel::setIsFinished(bool v) {
    if (v == isFinished_) return;
    isFinished_ = v;
    emit isFinishedChanged();
}

void OnboardingModel::setExplicitlyOpened(bool v) {
    if (v == explicitlyOpened_) return;
    explicitlyOpened_ = v;
    emit explicitlyOpenedChanged();
}

void OnboardingModel::setScan(const ScanOutcome& s) {
    if (s == scan_) return;
    scan_ = s;
    emit scanChanged();
}

void OnboardingModel::setLastError(const QString& e) {
    if (!e.isNull()) qCWarning(lcSetup).noquote() << e;
    if (e == lastError_ && e.isNull() == lastError_.isNull()) return;
    lastError_ = e;
    emit lastErrorChanged();
}

void OnboardingModel::setScheduleInstalled(bool v) {
    if (v == scheduleInstalled_) return;
    scheduleInstalled_ = v;
    emit scheduleInstalledChanged();
}

// ---- Showing and moving between steps ----

bool OnboardingModel::shouldShow() const {
    if (isFinished_) return false;
    if (explicitlyOpened_) return true;
    return model_.registry().sources().empty() && !completedFlag() && !skippedFlag();
}

void OnboardingModel::reopen() {
    // A run the earlier flow followed no longer writes into this one.
    followedRun_.reset();
    followTimer_->stop();
    setIsFinished(false);
    setExplicitlyOpened(true);
    setStep(Step::welcome);
    setScan(ScanOutcome::notRun());
    setArchiveChoice(std::nullopt);
    setJoinCompleted(false);
    setLastError(QString());
    refreshLiveState();
    refreshStep(Step::welcome);
}

void OnboardingModel::refreshLiveState() {
    retention_ = kx::RetentionReader::currentSetting(kx::RetentionReader::domain);
    emit retentionChanged();

    const quint64 reading = ++liveReading_;
    if (!isReadingLiveState_) {
        isReadingLiveState_ = true;
        emit isReadingLiveStateChanged();
    }
    const std::string databasePath = kx::FullDiskAccessProbe::liveMessagesDatabasePath();
    const std::string attachmentsPath = homeFolder() + "/Library/Messages/Attachments";
    model_.startTask(
        this, TaskPriority::userInitiated,
        [this, reading, databasePath, attachmentsPath]() -> TaskRunner::Publish {
            const LiveFacts facts = readLiveFacts(databasePath, attachmentsPath);
            return [this, reading, facts] {
                // A later reading supersedes this one.
                if (reading != liveReading_) return;
                if (facts.messages != liveMessages_) {
                    liveMessages_ = facts.messages;
                    emit liveMessagesChanged();
                }
                if (facts.attachmentBytes != liveAttachmentBytes_) {
                    liveAttachmentBytes_ = facts.attachmentBytes;
                    emit liveAttachmentBytesChanged();
                }
            };
        },
        [this, reading] {
            if (reading != liveReading_ || !isReadingLiveState_) return;
            isReadingLiveState_ = false;
            emit isReadingLiveStateChanged();
        });
}

void OnboardingModel::refreshStep(Step step) {
    switch (step) {
    case Step::welcome: refreshLiveState(); break;
    case Step::fullDiskAccess:
        model_.permissions().checkFullDiskAccess();
        model_.permissions().startAccessProbe();
        break;
    case Step::archiveChoice: break;
    case Step::firstScan: setScheduleInstalled(PermissionsModel::scheduleInstalled()); break;
    }
}

kx::Onboarding::State OnboardingModel::state() const {
    kx::Onboarding::State s;
    s.step = step_;
    s.fdaVerdict = model_.permissions().fdaVerdict();
    s.retention = retention_;
    s.archiveChoice = archiveChoice_;
    s.joinCompleted = joinCompleted_;
    s.resolvedOwner = model_.owners().resolvedOwner().owner;
    // Only the archive-choice gate reads it, and finding it opens every owner's
    // archive: not done on every redraw of the other steps.
    if (step_ == Step::archiveChoice && archiveChoice_ == ArchiveChoice::startNew) {
        if (const QString problem = model_.owners().ownerProblem(qs(s.resolvedOwner)); !problem.isNull())
            s.ownerProblem = problem.toStdString();
    }
    s.scan = scan_;
    return s;
}

void OnboardingModel::advance() {
    if (kx::Onboarding::gate(state()).isBlocked()) return;
    if (const auto next = kx::Onboarding::next(step_); next && *next != step_) {
        setStep(*next);
        refreshStep(*next);
        return;
    }
    if (kx::Onboarding::gate(state()).isBlocked()) return;
    setCompletedFlag(true);
    setExplicitlyOpened(false);
    setIsFinished(true);
}

void OnboardingModel::goBack() {
    if (const auto previous = kx::Onboarding::previous(step_)) setStep(*previous);
}

// ---- The welcome step ----

bool OnboardingModel::retentionDeletesMessages() const { return retention_.deletesMessages(); }

QString OnboardingModel::liveMessagesSummary() const {
    QString count = QLocale().toString(liveMessages_);
    if (count.isEmpty()) count = QString::number(liveMessages_);
    return count + QStringLiteral(" message") + (liveMessages_ == 1 ? QString() : QStringLiteral("s")) +
           QStringLiteral(" in Messages on this Mac right now");
}

// ---- The Full Disk Access step ----

void OnboardingModel::openFullDiskAccessSettings() { workspace().openMessagesPlace(); }

void OnboardingModel::requestMessagesAccess() {
    const std::string path = homeFolder() + "/Library/Messages/chat.db";
    model_.startTask(this, TaskPriority::userInitiated, [this, path]() -> TaskRunner::Publish {
        // One page is enough to make the system decide; the database may be
        // gigabytes, so it is never read whole. The result is not used.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            std::array<char, 4096> page{};
            [[maybe_unused]] const ssize_t n = ::read(fd, page.data(), page.size());
            ::close(fd);
        }
        return [this] {
            openFullDiskAccessSettings();
            model_.permissions().checkFullDiskAccess();
            model_.permissions().startAccessProbe();
        };
    });
}

// ---- The archive-choice step ----

bool OnboardingModel::wouldStartSeparateArchive() const {
    const QStringList existing = model_.owners().existingOwners();
    if (existing.isEmpty()) return false;
    // The archive root lists owners by folder name, where a "/" of the owner is
    // a "_": compare folders on both sides, or "a/b" would miss its own "a_b".
    const auto folder = [](const QString& owner) {
        const auto problem = kx::ArchiveLayout::ownerFolderProblem(owner.toStdString());
        return problem ? owner : qs(kx::ArchiveLayout::ownerFolderName(owner.toStdString()));
    };
    const QString mine = folder(qs(model_.owners().resolvedOwner().owner));
    for (const QString& owner : existing)
        if (folder(owner) == mine) return false;
    return true;
}

void OnboardingModel::setArchiveName(const QString& name) {
    if (holdsControlCharacter(name)) {
        setLastError(QStringLiteral("An archive name cannot hold control characters. Type the name again."));
        return;
    }
    const QString normalized = qs(kx::ArchiveIdentity::normalize(name.toStdString()));
    if (normalized.isEmpty()) {
        setLastError(QStringLiteral("An archive name cannot be blank."));
        return;
    }
    // A leading dot hides the archive's folder from file managers and backups
    // that skip hidden files.
    if (normalized.startsWith(u'.')) {
        setLastError(QStringLiteral("An archive name cannot start with a dot, which would hide its folder. Choose "
                                    "another name."));
        return;
    }
    if (const QString problem = model_.owners().ownerProblem(normalized); !problem.isNull()) {
        setLastError(problem);
        return;
    }
    model_.owners().setArchiveOwner(normalized);
    const QString resolved = qs(model_.owners().resolvedOwner().owner);
    if (resolved != normalized)
        setLastError(QStringLiteral("The archive name did not take effect. It still reads \"") + resolved +
                     QStringLiteral("\"."));
    else setLastError(QString());
}

// ---- The first-scan step ----

void OnboardingModel::connectThisMac() {
    if (scan_.kind == ScanOutcome::Kind::running) return;
    setScan(ScanOutcome::running());
    setLastError(QString());
    model_.setLastError(QString());

    RunsModel& runs = model_.runs();
    const quint64 before = runs.lastStartedRun();
    bool ok = true;
    QString problem;
    if (model_.sources().hasThisMacSource()) {
        runs.startScan(ScanRequest{});
    } else {
        const SourcesModel::Connection connection = model_.sources().registerThisMac();
        ok = connection.connected;
        problem = connection.problem;
        if (!problem.isNull()) model_.setLastError(problem);
    }

    std::optional<quint64> run;
    if (runs.lastStartedRun() != before) run = runs.lastStartedRun(); // the run this press started
    else if (ok && runs.isRunning())
        run = runs.lastStartedRun(); // one was already going (a press after the hour ran out): follow it
    if (!run) {
        // Nothing started: why not, when anything said so (a source list that
        // cannot be read refuses every scan).
        if (problem.isEmpty()) problem = model_.registryLoadSentence();
        setScan(ScanOutcome::failed(problem.isEmpty()
                                        ? std::string("This Mac's Messages database could not be connected.")
                                        : problem.toStdString()));
        return;
    }
    runFirstArchive(*run);
}

void OnboardingModel::setFollowLimit(std::chrono::milliseconds limit) { followTimer_->setInterval(limit); }

void OnboardingModel::runFirstArchive(quint64 run) {
    followedRun_ = run;
    followTimer_->start();
}

void OnboardingModel::stopFollowing() {
    if (!followedRun_) return;
    // Still going after an hour of following: say so; the run itself goes on.
    followedRun_.reset();
    setScan(ScanOutcome::failed(
        "The first archive is still running after an hour. Leave it, and check the Health screen later."));
}

void OnboardingModel::finishFirstArchive(const QString& error) {
    followTimer_->stop();
    followedRun_.reset();
    if (!error.isNull()) setScan(ScanOutcome::failed(error.toStdString()));
    else setScan(ScanOutcome::archived(countArchivedMessages()));
}

qint64 OnboardingModel::countArchivedMessages() const {
    const QString owner = qs(model_.owners().resolvedOwner().owner);
    const QString path = OwnersModel::archiveDatabasePath(model_.destinationRoot(), owner);
    if (path.isNull() || !kx::fs::isRegularFile(path.toStdString())) return 0;
    try {
        kx::TreskStore store(path.toStdString());
        return store.messageCount();
    } catch (const std::exception&) {
        return 0;
    }
}

// ---- The schedule ----

QString OnboardingModel::launchAgentPath() { return qs(kx::ScheduleInstaller::plistURL()); }

void OnboardingModel::installSchedule() {
    const std::optional<QString> failure = model_.permissions().installSchedule();
    setScheduleInstalled(PermissionsModel::scheduleInstalled());
    setLastError(failure.value_or(QString()));
}

void OnboardingModel::removeSchedule() {
    if (const std::optional<QString> failure = model_.permissions().removeSchedule()) setLastError(*failure);
    setScheduleInstalled(PermissionsModel::scheduleInstalled());
}
