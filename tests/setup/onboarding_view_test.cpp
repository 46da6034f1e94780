// The onboarding sheet and its four steps, driven through their widgets as a
// user would, against a started application model on a private home with a
// generated live Messages database; the daily schedule goes through the real
// systemd scheduler with a fake systemctl, the join through a code made by the
// household's code generator. With KX_SNAPSHOT_DIR set, every step is also
// saved there as a PNG in each of its states.
#include "app/shell/root_view.h"
#include "app/shell/sheets.h"
#include "app/ui/widgets.h"
#include "core/archive/tresk_stats.h"
#include "core/health/schedule_installer.h"
#include "core/household/link_code.h"
#include "household/join_archive_view.h"
#include "household/join_model.h"
#include "setup/model/onboarding_model.h"
#include "setup/onboarding/archive_choice_step.h"
#include "setup/onboarding/first_scan_step.h"
#include "setup/onboarding/full_disk_access_step.h"
#include "setup/onboarding/onboarding_view.h"
#include "setup/onboarding/onboarding_widgets.h"
#include "setup/onboarding/welcome_step.h"
#include "tests/backup/backup_test_support.h"
#include "tests/household/join_test_support.h"
#include "tests/support/fake_systemctl.h"
#include "tests/support/model_test_access.h"
#include "tests/support/schedule_seams.h"
#include "tests/support/snapshots.h"
#include "tests/support/workspace_double.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDialog>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <sys/stat.h>

namespace kx::test {
namespace {

namespace stdfs = std::filesystem;
using setup::OnboardingView;
using setup::SymbolLine;
using Step = OnboardingModel::Step;
using Scan = OnboardingModel::ScanOutcome;
using Choice = kx::Onboarding::ArchiveChoice;
using Verdict = FullDiskAccessProbe::Verdict;

// The sheet's nested layouts settle over a few turns of the event loop; then
// nothing on it may be clipped.
void settledSnapshot(QWidget& w, const QString& name) {
    // Layouts settle in posted events, later on a loaded machine: wait for
    // every wrapped text to get its height (a real clip stays and fails below).
    (void)QTest::qWaitFor(
        [&] {
            for (QLabel* l : w.findChildren<QLabel*>())
                if (l->wordWrap() && l->isVisibleTo(&w) && !l->text().isEmpty() &&
                    l->height() < l->heightForWidth(l->width()))
                    return false;
            return true;
        },
        2000);
    expectNothingClipped(w, name);
    snapshot(w, name);
}

// Messages' own preferences with a "Keep messages" setting (0: forever).
void writeRetention(const stdfs::path& home, int days) {
    writeAll(home / "Library/Preferences/com.apple.MobileSMS.plist",
             "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
             "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
             "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
             "<plist version=\"1.0\"><dict><key>KeepMessageForDays</key><integer>" +
                 std::to_string(days) + "</integer></dict></plist>\n");
}

class OnboardingScreens : public BackupTest {
protected:
    void SetUp() override {
        BackupTest::SetUp();
        opened = std::make_shared<RecordingWorkspace>();
        setWorkspaceForTesting(opened);
        installApplicationWithEngine(home / "app");
    }
    void TearDown() override {
        sheet.reset();
        root.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        BackupTest::TearDown();
        ScheduleInstaller::setSeamsForTesting({});
        setWorkspaceForTesting(nullptr);
    }

    stdfs::path messagesDir() const { return home / "Library/Messages"; }

    // The sheet as the main window presents it, at the flow's current step.
    OnboardingView& showSheet(BackupModel& b) {
        sheet = std::make_unique<QDialog>();
        auto* layout = new QVBoxLayout(sheet.get());
        layout->setContentsMargins(0, 0, 0, 0);
        auto* view = new OnboardingView(*model, householdJoinFlows(*model, b), flow(), sheet.get());
        layout->addWidget(view);
        sheet->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(sheet.get()));
        return *view;
    }
    // The flow over the current model, made as the application makes it.
    OnboardingModel& flow() {
        if (!flow_) flow_ = new OnboardingModel(*model, model.get());
        return *flow_;
    }
    // Return where the user's keys go: the focused widget of the sheet.
    void pressReturn() {
        QWidget* focus = QApplication::focusWidget();
        QTest::keyClick(focus && focus->window() == sheet.get() ? focus : sheet.get(), Qt::Key_Return);
    }

    template <typename T>
    static T* live(QWidget* root, const QString& name) {
        settleWidgets();
        for (T* w : root->findChildren<T*>(name))
            if (w->isVisibleTo(root->window())) return w;
        return nullptr;
    }
    // The archive choice's own join flow.
    static JoinModel& joinFlow(setup::ArchiveChoiceStep& step) { return *step.findChild<JoinModel*>(); }
    template <typename T>
    T* step(OnboardingView& view) {
        settleWidgets();
        return qobject_cast<T*>(view.stepView());
    }
    // The gate panel's text, or none while it is hidden.
    static QString gateText(OnboardingView& view) {
        auto* gate = live<SymbolLine>(&view, QStringLiteral("gate"));
        return gate ? gate->text() : QString();
    }
    static QString gateSymbol(OnboardingView& view) {
        auto* gate = live<SymbolLine>(&view, QStringLiteral("gate"));
        return gate ? gate->symbol() : QString();
    }
    static QString errorText(OnboardingView& view) {
        auto* error = live<SymbolLine>(&view, QStringLiteral("lastError"));
        return error ? error->text() : QString();
    }
    static QString label(QWidget* w, const char* name) {
        auto* l = w->findChild<QLabel*>(QString::fromLatin1(name));
        EXPECT_NE(l, nullptr) << name;
        return l ? l->text() : QString();
    }
    static SymbolLine* line(QWidget* w, const char* name) {
        auto* l = w->findChild<SymbolLine*>(QString::fromLatin1(name));
        EXPECT_NE(l, nullptr) << name;
        return l;
    }
    bool waitForScanEnd() {
        return QTest::qWaitFor([&] { return flow().scan().kind != Scan::Kind::running; }, 120000);
    }
    // What the access probe found is replaced by the verdict a test needs,
    // once every probe already started has ended.
    void verdict(const Verdict& v) {
        ASSERT_TRUE(settle());
        ModelTestAccess::setFdaVerdict(model->permissions(), v);
    }

    std::shared_ptr<RecordingWorkspace> opened;
    QPointer<OnboardingModel> flow_;
    std::unique_ptr<QDialog> sheet;
    std::unique_ptr<RootView> root;
};

// ---- The whole flow ------------------------------------------------------------

TEST_F(OnboardingScreens, ANewUserGoesFromWelcomeToAnArchivedHistoryWithTheDailyScheduleInstalled) {
    FakeSystemctl systemctl;
    messagesFolder(messagesDir(), 30);
    writeAll(messagesDir() / "Attachments/ab/01/photo.jpg", std::string(12300, 'x'));
    start();
    BackupModel& b = makeBackup();
    OnboardingView& view = showSheet(b);
    ASSERT_EQ(view.width(), 620);
    ASSERT_EQ(view.height(), 580);

    // Welcome: the facts are measured in the background.
    auto* welcome = step<setup::WelcomeStep>(view);
    ASSERT_TRUE(welcome);
    EXPECT_EQ(label(&view, "stepTitle"), "What this does");
    EXPECT_EQ(label(&view, "stepCounter"), "Step 1 of 4");
    EXPECT_EQ(label(&view, "stepSubtitle"), "What your Mac keeps, and what it does not.");
    EXPECT_EQ(view.findChild<QProgressBar*>("stepProgress")->value(), 1);
    EXPECT_EQ(view.findChild<QWidget*>("onboardingHeader")->accessibleName(),
              "What this does. Step 1 of 4. What your Mac keeps, and what it does not.");
    ASSERT_TRUE(settle());
    flow().refreshLiveState();
    EXPECT_EQ(label(welcome, "onThisMacNow"), "Measuring…");
    EXPECT_EQ(label(welcome, "attachmentsHere"), "Measuring…");
    settledSnapshot(*sheet, "onboarding-welcome-measuring");
    ASSERT_TRUE(settle());
    EXPECT_EQ(label(welcome, "onThisMacNow"), "30 messages in Messages on this Mac right now");
    EXPECT_GE(flow().liveAttachmentBytes(), 12300);
    EXPECT_EQ(label(welcome, "attachmentsHere"),
              QString::fromStdString(byteCountText(static_cast<std::uint64_t>(flow().liveAttachmentBytes()))));
    EXPECT_EQ(label(welcome, "keepMessages"), "Unknown");
    EXPECT_EQ(line(welcome, "welcomeHeadline")->symbol(), "archivebox");
    EXPECT_FALSE(view.backButton()->isVisibleTo(&view)) << "the first step has no way back";
    EXPECT_TRUE(gateText(view).isNull());
    EXPECT_EQ(view.advanceButton()->text(), "Continue");
    settledSnapshot(*sheet, "onboarding-welcome");

    // Return advances into the access step, which checks access at once.
    pressReturn();
    ASSERT_EQ(flow().step(), Step::fullDiskAccess);
    ASSERT_TRUE(step<setup::FullDiskAccessStep>(view));
    EXPECT_EQ(label(&view, "stepCounter"), "Step 2 of 4");
    EXPECT_EQ(label(&view, "stepTitle"), "Permission to read your messages");
    EXPECT_TRUE(view.backButton()->isVisibleTo(&view));

    // Blocked: the button is off, the panel says what comes next, Return does nothing.
    verdict(Verdict::appBlocked("The database at ~/Library/Messages/chat.db cannot be opened."));
    EXPECT_FALSE(view.advanceButton()->isEnabled());
    EXPECT_EQ(gateSymbol(view), "info.circle");
    EXPECT_EQ(gateText(view),
              "Allow access to Messages first. Until Kelvara can read the database there is nothing to archive.");
    EXPECT_EQ(view.findChild<SymbolLine*>("gate")->accessibleName(),
              "Next step: Allow access to Messages first. Until Kelvara can read the database there is nothing to "
              "archive.");
    pressReturn();
    EXPECT_EQ(flow().step(), Step::fullDiskAccess);
    settledSnapshot(*sheet, "onboarding-access-blocked");

    // The scheduled job cannot read yet: a warning that lets the user on.
    ModelTestAccess::setFdaVerdict(model->permissions(), Verdict::scheduledBlocked("The daily job was refused."));
    EXPECT_TRUE(view.advanceButton()->isEnabled());
    EXPECT_EQ(gateSymbol(view), "exclamationmark.triangle.fill");
    EXPECT_TRUE(gateText(view).startsWith("Kelvara can read your messages, but the daily job cannot yet."));
    EXPECT_TRUE(view.findChild<SymbolLine*>("gate")->accessibleName().startsWith("Warning: "));
    settledSnapshot(*sheet, "onboarding-access-scheduled-blocked");

    ModelTestAccess::setFdaVerdict(model->permissions(), Verdict::allGranted("Both can read."));
    EXPECT_TRUE(gateText(view).isNull());
    settledSnapshot(*sheet, "onboarding-access-granted");
    QTest::mouseClick(view.advanceButton(), Qt::LeftButton);

    // Archive choice: blocked until a card is chosen.
    ASSERT_EQ(flow().step(), Step::archiveChoice);
    auto* choice = step<setup::ArchiveChoiceStep>(view);
    ASSERT_TRUE(choice);
    EXPECT_FALSE(view.advanceButton()->isEnabled());
    EXPECT_EQ(gateText(view), "Choose whether to start a new archive or join one that exists.");
    settledSnapshot(*sheet, "onboarding-choice-none");
    QTest::mouseClick(choice->startNewCard(), Qt::LeftButton, {}, QPoint(40, 12));
    EXPECT_EQ(flow().archiveChoice(), Choice::startNew);
    EXPECT_TRUE(view.advanceButton()->isEnabled());
    settledSnapshot(*sheet, "onboarding-choice-new");
    pressReturn();

    // First archive: running, then archived, with the summary.
    ASSERT_EQ(flow().step(), Step::firstScan);
    auto* scan = step<setup::FirstScanStep>(view);
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->runButton()->text(), "Run the first archive");
    EXPECT_EQ(line(scan, "outcome")->symbol(), "circle.dashed");
    EXPECT_EQ(line(scan, "outcome")->text(), "Nothing has been archived yet.");
    EXPECT_TRUE(scan->summaryLines().isEmpty());
    EXPECT_EQ(view.advanceButton()->text(), "Finish Without Archiving");
    EXPECT_EQ(gateSymbol(view), "exclamationmark.triangle.fill");
    settledSnapshot(*sheet, "onboarding-scan-not-run");

    QTest::mouseClick(scan->runButton(), Qt::LeftButton);
    EXPECT_EQ(scan->runButton()->text(), "Archiving…");
    EXPECT_FALSE(scan->runButton()->isEnabled());
    EXPECT_TRUE(live<QWidget>(scan, "firstArchiveRunning"));
    EXPECT_EQ(line(scan, "outcome")->symbol(), "clock");
    EXPECT_FALSE(view.advanceButton()->isEnabled()) << "the flow is not left while its first archive runs";
    settledSnapshot(*sheet, "onboarding-scan-running");
    ASSERT_TRUE(waitForScanEnd());
    ASSERT_EQ(flow().scan(), Scan::archived(30)) << flow().scan().text;
    EXPECT_EQ(scan->runButton()->text(), "Run the first archive");
    EXPECT_TRUE(scan->runButton()->isEnabled());
    EXPECT_FALSE(live<QWidget>(scan, "firstArchiveRunning"));
    EXPECT_EQ(line(scan, "outcome")->symbol(), "checkmark.circle.fill");
    EXPECT_EQ(line(scan, "outcome")->text(), "Archived. Your archive now holds 30 messages.");
    EXPECT_EQ(scan->findChild<QWidget*>("outcomeBox")->accessibleName(),
              "First archive: Archived. Your archive now holds 30 messages.");
    const QStringList summary = scan->summaryLines();
    ASSERT_FALSE(summary.isEmpty());
    EXPECT_EQ(summary.front(), "30 messages are in the archive \"jorin\".");
    EXPECT_FALSE(scan->scheduleSwitch()->isChecked());
    EXPECT_EQ(label(scan, "scheduleCaption"),
              "Without this, your archive only updates when you open the app and scan by hand.");
    EXPECT_EQ(view.advanceButton()->text(), "Done");
    settledSnapshot(*sheet, "onboarding-scan-archived");

    // The daily schedule, through the systemd stand-in.
    QTest::mouseClick(scan->scheduleSwitch(), Qt::LeftButton, {}, QPoint(8, scan->scheduleSwitch()->height() / 2));
    EXPECT_TRUE(scan->scheduleSwitch()->isChecked());
    EXPECT_TRUE(flow().scheduleInstalled());
    EXPECT_TRUE(stdfs::exists(ScheduleInstaller::plistURL()));
    EXPECT_NE(systemctl.calls().find("enable --now"), std::string::npos);
    EXPECT_EQ(label(scan, "scheduleCaption"), "Installed at " + OnboardingModel::launchAgentPath() + ".");
    EXPECT_TRUE(errorText(view).isNull());
    settledSnapshot(*sheet, "onboarding-scan-archived-schedule-on");

    pressReturn();
    EXPECT_TRUE(flow().isFinished());
    EXPECT_TRUE(flow().completedFlag());
    EXPECT_FALSE(flow().skippedFlag());
    EXPECT_TRUE(model->sources().hasThisMacSource());
}

// ---- Welcome -------------------------------------------------------------------

TEST_F(OnboardingScreens, WelcomeWarnsWhenMessagesDeletesOldMessagesAndReReadsOnRequest) {
    messagesFolder(messagesDir(), 1);
    writeRetention(home.path(), 30);
    start();
    BackupModel& b = makeBackup();
    OnboardingView& view = showSheet(b);
    ASSERT_TRUE(settle());
    auto* welcome = step<setup::WelcomeStep>(view);
    ASSERT_TRUE(welcome);
    SymbolLine* headline = line(welcome, "welcomeHeadline");
    EXPECT_EQ(headline->symbol(), "exclamationmark.triangle.fill");
    EXPECT_EQ(headline->text(), "Messages deletes your messages after 30 Days. Kelvara keeps them.");
    EXPECT_EQ(label(welcome, "keepMessages"), "30 Days");
    EXPECT_EQ(label(welcome, "onThisMacNow"), "1 message in Messages on this Mac right now");
    EXPECT_TRUE(label(welcome, "welcomeBody").startsWith("Keep messages is set to 30 Days"));
    // A warning, not a block.
    EXPECT_EQ(gateSymbol(view), "exclamationmark.triangle.fill");
    EXPECT_TRUE(gateText(view).startsWith("Messages deletes anything older than 30 Days on this computer."));
    EXPECT_TRUE(view.advanceButton()->isEnabled());
    settledSnapshot(*sheet, "onboarding-welcome-retention-warning");

    // Linux has no Messages application: the folder of its database opens.
    QTest::mouseClick(welcome->openMessagesButton(), Qt::LeftButton);
    EXPECT_EQ(opened->calls, QStringList{"folder " + messagesPlace()});
    EXPECT_EQ(welcome->openMessagesButton()->toolTip(),
              "Messages, Settings, General, Keep messages is the setting described above.");

    // Changed in Messages: re-read at once (headline, symbol, row, gate).
    writeRetention(home.path(), 0);
    QTest::mouseClick(welcome->rereadButton(), Qt::LeftButton);
    EXPECT_EQ(headline->symbol(), "archivebox");
    EXPECT_EQ(headline->text(), "Messages keeps your history on this computer. Kelvara keeps a copy of its own.");
    EXPECT_EQ(label(welcome, "keepMessages"), "Forever");
    EXPECT_TRUE(gateText(view).isNull());
    ASSERT_TRUE(settle());

    // Going back to the welcome step shows the facts as last read.
    writeRetention(home.path(), 365);
    QTest::mouseClick(view.advanceButton(), Qt::LeftButton);
    ASSERT_TRUE(settle());
    QTest::mouseClick(view.backButton(), Qt::LeftButton);
    ASSERT_EQ(flow().step(), Step::welcome);
    welcome = step<setup::WelcomeStep>(view);
    EXPECT_EQ(label(welcome, "keepMessages"), "Forever");
    EXPECT_EQ(label(welcome, "onThisMacNow"), "1 message in Messages on this Mac right now");
}

// ---- Full Disk Access ------------------------------------------------------------

TEST_F(OnboardingScreens, TheAccessStepShowsEachVerdictAndItsButtonsDoTheirWork) {
    messagesFolder(messagesDir(), 3);
    start();
    BackupModel& b = makeBackup();
    flow().setStep(Step::fullDiskAccess);
    OnboardingView& view = showSheet(b);
    auto* access = step<setup::FullDiskAccessStep>(view);
    ASSERT_TRUE(access);
    ASSERT_TRUE(settle());

    // The two programs, numbered from 1, each with its copy button.
    const std::vector<QString> paths = PermissionsModel::grantPaths();
    ASSERT_EQ(paths.size(), 2u);
    const auto numbers = access->findChildren<QLabel*>("grantPathNumber");
    ASSERT_EQ(numbers.size(), 2);
    EXPECT_EQ(numbers[0]->text(), "1.");
    EXPECT_EQ(numbers[1]->text(), "2.");
    const auto copies = access->findChildren<QToolButton*>("copyGrantPath");
    ASSERT_EQ(copies.size(), 2);
    EXPECT_EQ(copies[1]->accessibleName(), "Copy path 2");
    EXPECT_EQ(copies[1]->toolTip(), "Copy this path");
    QApplication::clipboard()->setText("something else");
    copies[1]->click();
    EXPECT_EQ(QApplication::clipboard()->text(), paths[1]);

    struct Case {
        Verdict verdict;
        const char* symbol;
        bool detail;
        bool note;
    };
    const Case cases[] = {
        {Verdict::allGranted("fine"), "checkmark.circle.fill", false, false},
        {Verdict::scheduledBlocked("The daily job was refused."), "exclamationmark.triangle.fill", true, true},
        {Verdict::appBlocked("Permission denied."), "xmark.circle.fill", true, true},
        {Verdict::notChecked("the probe could not run"), "questionmark.circle", false, true},
        {Verdict::noDatabase(), "info.circle", false, false},
    };
    for (const Case& c : cases) {
        ModelTestAccess::setFdaVerdict(model->permissions(), c.verdict);
        const QString headline = QString::fromStdString(c.verdict.headline());
        EXPECT_EQ(line(access, "verdict")->symbol(), c.symbol) << headline.toStdString();
        EXPECT_EQ(line(access, "verdict")->text(), headline);
        EXPECT_EQ(access->findChild<QWidget*>("verdictBox")->accessibleName(), "Access check: " + headline);
        EXPECT_EQ(live<QLabel>(access, "verdictDetail") != nullptr, c.detail) << headline.toStdString();
        if (c.detail) {
            EXPECT_EQ(label(access, "verdictDetail"), QString::fromStdString(c.verdict.text));
        }
        EXPECT_EQ(live<QLabel>(access, "selfCheckNote") != nullptr, c.note) << headline.toStdString();
        if (c.verdict.kind == Verdict::Case::appBlocked) settledSnapshot(*sheet, "onboarding-access-app-blocked");
    }

    // While a probe runs: "Checking…", disabled, with the indicator.
    ModelTestAccess::setIsProbingFDA(model->permissions(), true);
    EXPECT_EQ(access->checkAgainButton()->text(), "Checking…");
    EXPECT_FALSE(access->checkAgainButton()->isEnabled());
    EXPECT_TRUE(live<QWidget>(access, "checkingIndicator"));
    settledSnapshot(*sheet, "onboarding-access-checking");
    ModelTestAccess::setIsProbingFDA(model->permissions(), false);
    EXPECT_EQ(access->checkAgainButton()->text(), "Check again");
    EXPECT_FALSE(live<QWidget>(access, "checkingIndicator"));

    // Linux: both buttons open the folder of the live database.
    QTest::mouseClick(access->openSettingsButton(), Qt::LeftButton);
    EXPECT_EQ(opened->calls, QStringList{"folder " + messagesPlace()});
    QTest::mouseClick(access->allowButton(), Qt::LeftButton);
    ASSERT_TRUE(settle());
    EXPECT_EQ(opened->calls.size(), 2);
    EXPECT_EQ(opened->calls.value(1), "folder " + messagesPlace());

    // "Check again" checks and probes.
    model->permissions().setHasFullDiskAccess(false);
    QTest::mouseClick(access->checkAgainButton(), Qt::LeftButton);
    EXPECT_TRUE(model->permissions().hasFullDiskAccess());
    ASSERT_TRUE(settle());
}

TEST_F(OnboardingScreens, TheAccessStepRechecksEveryFourSecondsOnlyWhileUnsettledIdleAndOnItsStep) {
    messagesFolder(messagesDir(), 3);
    start();
    setup::FullDiskAccessStep access(flow());
    PermissionsModel& p = model->permissions();
    EXPECT_FALSE(access.recheckTimer()->isActive());
    access.show();
    EXPECT_TRUE(access.recheckTimer()->isActive());
    EXPECT_EQ(access.recheckTimer()->interval(), 4000) << "four seconds unless told otherwise";

    // A tick checks access only when the flow is on this step...
    p.setHasFullDiskAccess(false);
    ModelTestAccess::setFdaVerdict(p, Verdict::notChecked("not run yet"));
    access.recheck();
    EXPECT_FALSE(p.hasFullDiskAccess()) << "the flow is on the welcome step";
    flow().setStep(Step::fullDiskAccess);
    // ...no probe is running...
    ModelTestAccess::setIsProbingFDA(p, true);
    access.recheck();
    EXPECT_FALSE(p.hasFullDiskAccess());
    ModelTestAccess::setIsProbingFDA(p, false);
    // ...and the verdict is not settled.
    for (const Verdict& settled : {Verdict::allGranted("fine"), Verdict::noDatabase()}) {
        ModelTestAccess::setFdaVerdict(p, settled);
        access.recheck();
        EXPECT_FALSE(p.hasFullDiskAccess());
    }
    ModelTestAccess::setFdaVerdict(p, Verdict::appBlocked("no"));
    access.recheck();
    EXPECT_TRUE(p.hasFullDiskAccess());
    EXPECT_TRUE(p.isProbingFDA()) << "the check is followed by the scheduled probe";
    ASSERT_TRUE(settle());

    // The timer itself, once: it fires within its period and checks again.
    ModelTestAccess::setFdaVerdict(p, Verdict::appBlocked("no"));
    p.setHasFullDiskAccess(false);
    ASSERT_TRUE(QTest::qWaitFor([&] { return p.hasFullDiskAccess(); }, 4600));
    ASSERT_TRUE(settle());
    access.hide();
    EXPECT_FALSE(access.recheckTimer()->isActive());
}

// ---- Archive choice ----------------------------------------------------------------

TEST_F(OnboardingScreens, TheArchiveChoiceCardsTheNameEditorAndTheSeparateArchiveWarning) {
    // Archives of two other people already at the archive root.
    for (const char* other : {"sam", "ama"}) {
        stdfs::create_directories(defaultRoot() / other);
        writeAll(defaultRoot() / other / "tresk.db", "");
    }
    start();
    BackupModel& b = makeBackup();
    flow().setStep(Step::archiveChoice);
    OnboardingView& view = showSheet(b);
    auto* choice = step<setup::ArchiveChoiceStep>(view);
    ASSERT_TRUE(choice);

    // Nothing chosen: no details, both radios empty.
    EXPECT_FALSE(choice->startNewCard()->isSelected());
    EXPECT_EQ(choice->startNewCard()->radioSymbol(), "circle");
    EXPECT_EQ(choice->joinCard()->radioSymbol(), "circle");
    EXPECT_FALSE(live<QWidget>(choice, "cardDetails"));
    EXPECT_EQ(choice->startNewCard()->detailLabel()->text(), "This Mac's messages are archived under \"jorin\".");
    EXPECT_EQ(choice->startNewCard()->accessibleName(),
              "Start a new archive. This Mac's messages are archived under \"jorin\".");

    QTest::mouseClick(choice->startNewCard(), Qt::LeftButton, {}, QPoint(200, 20));
    EXPECT_EQ(choice->startNewCard()->radioSymbol(), "largecircle.filled.circle");
    EXPECT_EQ(label(choice, "archiveName"), "jorin");
    auto* warning = live<SymbolLine>(choice, "separateArchiveWarning");
    ASSERT_TRUE(warning);
    QStringList owners = model->owners().existingOwners();
    EXPECT_EQ(warning->text(), "This destination already holds: " + owners.join(", ") +
                                   ". Starting a new archive called \"jorin\" adds another one beside them. If this "
                                   "Mac's messages belong in one of those, change the name to match it or join "
                                   "instead.");
    EXPECT_TRUE(warning->text().contains("sam") && warning->text().contains("ama"));
    settledSnapshot(*sheet, "onboarding-choice-new-warning");
    // Tapping the selected card again changes nothing.
    QTest::mouseClick(choice->startNewCard(), Qt::LeftButton, {}, QPoint(200, 20));
    EXPECT_EQ(flow().archiveChoice(), Choice::startNew);

    // "Change" fills the editor with the name; spaces alone cannot be saved.
    QTest::mouseClick(choice->changeButton(), Qt::LeftButton);
    ASSERT_TRUE(live<QLineEdit>(choice, "archiveNameEditor"));
    EXPECT_EQ(choice->nameEditor()->text(), "jorin");
    choice->nameEditor()->setText(" \t ");
    EXPECT_FALSE(choice->saveButton()->isEnabled());
    // Return in the editor saves (when it can) and never advances the sheet.
    QTest::keyClick(choice->nameEditor(), Qt::Key_Return);
    EXPECT_EQ(flow().step(), Step::archiveChoice);
    ASSERT_TRUE(live<QLineEdit>(choice, "archiveNameEditor"));
    settledSnapshot(*sheet, "onboarding-choice-new-editing");

    // A name the model refuses still closes the editor; the sheet says why and
    // the name row shows the name as it stands.
    choice->nameEditor()->setText("..");
    QTest::mouseClick(choice->saveButton(), Qt::LeftButton);
    EXPECT_FALSE(live<QLineEdit>(choice, "archiveNameEditor"));
    EXPECT_FALSE(errorText(view).isEmpty());
    EXPECT_EQ(label(choice, "archiveName"), "jorin");
    settledSnapshot(*sheet, "onboarding-choice-name-refused");

    // The name of one of the archives there: no warning, no error.
    QTest::mouseClick(choice->changeButton(), Qt::LeftButton);
    choice->nameEditor()->setText("sam");
    QTest::keyClick(choice->nameEditor(), Qt::Key_Return);
    EXPECT_EQ(model->owners().archiveOwner(), "sam");
    EXPECT_EQ(label(choice, "archiveName"), "sam");
    EXPECT_TRUE(errorText(view).isNull());
    EXPECT_FALSE(live<SymbolLine>(choice, "separateArchiveWarning"));
    EXPECT_EQ(choice->startNewCard()->detailLabel()->text(), "This Mac's messages are archived under \"sam\".");

    // The other card moves the selection and the details.
    QTest::mouseClick(choice->joinCard(), Qt::LeftButton, {}, QPoint(200, 20));
    EXPECT_EQ(flow().archiveChoice(), Choice::join);
    EXPECT_FALSE(choice->startNewCard()->isSelected());
    EXPECT_TRUE(live<QPushButton>(choice, "pasteLinkCode"));
    EXPECT_FALSE(view.advanceButton()->isEnabled());
    EXPECT_EQ(gateText(view), "Paste the link code and join, or choose to start a new archive.");
    settledSnapshot(*sheet, "onboarding-choice-join");

    // Leaving the step drops an unsaved edit; the saved name and choice stay.
    QTest::mouseClick(choice->startNewCard(), Qt::LeftButton, {}, QPoint(200, 20));
    QTest::mouseClick(choice->changeButton(), Qt::LeftButton);
    choice->nameEditor()->setText("unsaved");
    QTest::mouseClick(view.backButton(), Qt::LeftButton);
    ASSERT_TRUE(settle());
    flow().setStep(Step::archiveChoice);
    choice = step<setup::ArchiveChoiceStep>(view);
    EXPECT_FALSE(live<QLineEdit>(choice, "archiveNameEditor"));
    EXPECT_EQ(label(choice, "archiveName"), "sam");
    EXPECT_TRUE(choice->startNewCard()->isSelected());
}

TEST_F(OnboardingScreens, JoiningThroughAGeneratedLinkCodeMarksTheJoinCardOnceTheSheetCloses) {
    FakeSystemctl systemctl;
    start();
    // Machine A: jorin's key and a shared folder; the household's generator
    // makes the code.
    stdfs::create_directories(home / "shared");
    const DestinationConfig shared = folderDestination("SHARED", home / "shared",
                                                       DestinationConfig::Kind::dropboxFolder);
    QString code;
    {
        auto keyringA = std::make_shared<InMemorySecretStore>();
        setDefaultSecretStoreForTesting(keyringA);
        stdfs::create_directories(home / "machineA");
        BackupModel a(QString::fromStdString((home / "machineA").string()), QStringLiteral("jorin"));
        readyKey(a);
        addDestination(a.destinationsModel(), shared, std::nullopt);
        JoinModel generator;
        generator.generateCode(shared, QStringLiteral("jorin"));
        ASSERT_TRUE(settled(generator));
        ASSERT_TRUE(generator.generateError().isNull()) << generator.generateError().toStdString();
        code = generator.generatedCode();
        ASSERT_TRUE(QTest::qWaitFor([&] { return a.idle(); }, 120000));
    }
    ASSERT_TRUE(code.startsWith("KTRESK1-"));

    // This Mac, with a keyring of its own.
    setDefaultSecretStoreForTesting(secrets);
    BackupModel& b = makeBackup(QStringLiteral("jorin"));
    flow().setStep(Step::archiveChoice);
    OnboardingView& view = showSheet(b);
    auto* choice = step<setup::ArchiveChoiceStep>(view);
    ASSERT_TRUE(choice);
    QTest::mouseClick(choice->joinCard(), Qt::LeftButton, {}, QPoint(200, 20));
    QTest::mouseClick(choice->pasteCodeButton(), Qt::LeftButton);
    auto* join = qobject_cast<JoinArchiveView*>(choice->joinSheet());
    ASSERT_TRUE(join);
    ASSERT_TRUE(join->isVisible());

    // A cut code fails; cancelling leaves the choice as it was, and the sheet
    // opens again on the same failure (the code itself is never kept).
    join->codeEditor()->setPlainText(code.left(code.size() / 2));
    join->button("checkCode")->click();
    ASSERT_EQ(joinFlow(*choice).stage().kind, JoinStage::Kind::failed);
    join->button("cancel")->click();
    settleWidgets();
    EXPECT_FALSE(choice->joinSheet());
    EXPECT_FALSE(flow().joinCompleted());
    EXPECT_EQ(flow().archiveChoice(), Choice::join);
    EXPECT_FALSE(view.advanceButton()->isEnabled());
    QTest::mouseClick(choice->pasteCodeButton(), Qt::LeftButton);
    join = qobject_cast<JoinArchiveView*>(choice->joinSheet());
    ASSERT_TRUE(join);
    EXPECT_TRUE(join->findChild<QWidget*>("joinFailure"));
    EXPECT_TRUE(join->codeEditor()->toPlainText().isEmpty());

    // The whole code: confirm, choose this Mac's copy of the folder, join.
    join->codeEditor()->setPlainText(code);
    join->button("checkCode")->click();
    ASSERT_EQ(joinFlow(*choice).stage().kind, JoinStage::Kind::confirming)
        << joinFlow(*choice).stage().text.toStdString();
    opened->nextFolder = QString::fromStdString((home / "shared").string());
    join->button("chooseFolder")->click();
    join->button("join")->click();
    ASSERT_TRUE(settled(joinFlow(*choice)));
    ASSERT_EQ(joinFlow(*choice).stage().kind, JoinStage::Kind::joined) << joinFlow(*choice).stage().text.toStdString();
    // Nothing changes in the step while the sheet is open.
    EXPECT_FALSE(flow().joinCompleted());
    EXPECT_FALSE(live<SymbolLine>(choice, "joinedNote"));
    join->button("done")->click();
    settleWidgets();

    EXPECT_TRUE(flow().joinCompleted());
    EXPECT_EQ(flow().archiveChoice(), Choice::join);
    auto* joined = live<SymbolLine>(choice, "joinedNote");
    ASSERT_TRUE(joined);
    EXPECT_EQ(joined->text(), "This Mac has joined the shared archive.");
    EXPECT_FALSE(live<QPushButton>(choice, "pasteLinkCode")) << "the sheet cannot be opened again";
    EXPECT_TRUE(view.advanceButton()->isEnabled());
    EXPECT_TRUE(gateText(view).isNull());
    EXPECT_EQ(b.destinationsModel().destinations().size(), 1u);
    EXPECT_TRUE(stdfs::exists(ScheduleInstaller::plistURL())) << "the join sheet installs the schedule it offered";
    settledSnapshot(*sheet, "onboarding-choice-joined");
}

// ---- First archive --------------------------------------------------------------

TEST_F(OnboardingScreens, AFailedFirstArchiveStaysFailedWhenTheBannerIsDismissedDuringTheRun) {
    messagesFolder(messagesDir(), 20);
    start();
    BackupModel& b = makeBackup();
    // The archive root lies under a file, so the run cannot make it.
    writeAll(home / "blocker", "a file");
    model->setDestinationRoot(QString::fromStdString((home / "blocker/root").string()));
    root = std::make_unique<RootView>(*model, b, flow());
    root->resize(1000, 700);
    root->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->onboardingSheet() && root->onboardingSheet()->isVisible(); }));
    auto* view = root->onboardingSheet()->findChild<OnboardingView*>();
    ASSERT_TRUE(view);
    flow().setStep(Step::firstScan);
    auto* scan = step<setup::FirstScanStep>(*view);
    ASSERT_TRUE(scan);

    // The banner is dismissed with its own button the moment it shows.
    int dismissed = 0;
    QObject::connect(model.get(), &AppModel::lastErrorChanged, root.get(), [&] {
        if (model->lastError().isEmpty()) return;
        QTimer::singleShot(0, root.get(), [&] {
            if (!root->banner()->isVisible()) return;
            root->banner()->dismissButton()->click();
            ++dismissed;
        });
    });
    scan->runButton()->click();
    ASSERT_TRUE(waitForScanEnd());
    ASSERT_TRUE(QTest::qWaitFor([&] { return dismissed > 0 && model->lastError().isNull(); }));
    EXPECT_EQ(flow().scan().kind, Scan::Kind::failed) << flow().scan().text;
    EXPECT_EQ(line(scan, "outcome")->symbol(), "xmark.circle.fill");
    EXPECT_TRUE(line(scan, "outcome")->text().startsWith("The first archive failed: "));
    EXPECT_TRUE(scan->summaryLines().isEmpty());
    EXPECT_TRUE(scan->runButton()->isEnabled());
    EXPECT_EQ(view->advanceButton()->text(), "Finish Without Archiving");
    EXPECT_EQ(gateText(*view), "The first archive failed. You can finish now and try again later from Sources.");
    settledSnapshot(*root->onboardingSheet(), "onboarding-scan-failed");
}

TEST_F(OnboardingScreens, ScheduleFailuresSpringTheSwitchBackAndZeroMessagesIsNoSuccess) {
    FakeSystemctl systemctl;
    start();
    BackupModel& b = makeBackup();
    flow().setStep(Step::firstScan);
    OnboardingView& view = showSheet(b);
    auto* scan = step<setup::FirstScanStep>(view);
    ASSERT_TRUE(scan);
    QCheckBox* toggle = scan->scheduleSwitch();
    const QPoint box(8, toggle->height() / 2);

    // Registration fails: off again, the sentence below the step.
    systemctl.failOn("enable", 4);
    QTest::mouseClick(toggle, Qt::LeftButton, {}, box);
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_FALSE(flow().scheduleInstalled());
    EXPECT_TRUE(errorText(view).startsWith("The daily schedule did not install: ")) << errorText(view).toStdString();
    EXPECT_EQ(label(scan, "scheduleCaption"),
              "Without this, your archive only updates when you open the app and scan by hand.");
    EXPECT_TRUE(scan->summaryLines().isEmpty());
    settledSnapshot(*sheet, "onboarding-scan-schedule-failed");
    stdfs::remove(systemctl.dir / "fail-enable");

    // Installed with nothing archived: the summary shows, led by its warning.
    QTest::mouseClick(toggle, Qt::LeftButton, {}, box);
    EXPECT_TRUE(toggle->isChecked());
    EXPECT_TRUE(errorText(view).isNull());
    const QStringList lines = scan->summaryLines();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_EQ(lines.front(), "WARNING: Nothing from this computer is archived yet.");
    const auto rows = scan->findChildren<SymbolLine*>("summaryLine");
    for (SymbolLine* row : rows) {
        if (!row->isVisibleTo(scan)) continue;
        EXPECT_EQ(row->symbol(), row->text().startsWith("WARNING") ? "exclamationmark.triangle.fill" : "checkmark")
            << row->text().toStdString();
    }
    settledSnapshot(*sheet, "onboarding-scan-not-run-schedule-on");

    // Off again: the file is gone and the caption says what that means.
    QTest::mouseClick(toggle, Qt::LeftButton, {}, box);
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_FALSE(stdfs::exists(ScheduleInstaller::plistURL()));
    EXPECT_TRUE(scan->summaryLines().isEmpty());

    // A run that archived nothing: the orange triangle, no summary.
    stdfs::create_directories(messagesDir());
    fixtures::Options empty;
    empty.messages = 0;
    fixtures::writeChatDatabase(messagesDir() / "chat.db", empty);
    QTest::mouseClick(scan->runButton(), Qt::LeftButton);
    ASSERT_TRUE(waitForScanEnd());
    ASSERT_EQ(flow().scan().kind, Scan::Kind::archived) << flow().scan().text;
    EXPECT_EQ(flow().scan().messages, 0);
    EXPECT_EQ(line(scan, "outcome")->symbol(), "exclamationmark.triangle.fill");
    EXPECT_TRUE(scan->summaryLines().isEmpty());
    EXPECT_TRUE(view.advanceButton()->isEnabled());
    settledSnapshot(*sheet, "onboarding-scan-archived-nothing");
}

// ---- The sheet in the main window ---------------------------------------------------

TEST_F(OnboardingScreens, SetThisUpLaterRecordsASkipAndAReopenedFlowIgnoresTheEarlierRun) {
    messagesFolder(messagesDir(), 2000);
    start();
    BackupModel& b = makeBackup();
    root = std::make_unique<RootView>(*model, b, flow());
    root->resize(1000, 700);
    root->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->onboardingSheet() && root->onboardingSheet()->isVisible(); }));
    auto* view = root->onboardingSheet()->findChild<OnboardingView*>();
    ASSERT_TRUE(view);
    EXPECT_EQ(view->laterButton()->toolTip(), "Close this and go to the app. Nothing is archived until a source is "
                                              "connected and Full Disk Access is granted.");

    // The first archive starts, then the user sets up later: the run goes on.
    flow().setStep(Step::firstScan);
    auto* scan = step<setup::FirstScanStep>(*view);
    ASSERT_TRUE(scan);
    scan->runButton()->click();
    ASSERT_EQ(flow().scan(), Scan::running());
    view->laterButton()->click();
    EXPECT_TRUE(flow().skippedFlag());
    EXPECT_TRUE(defaults->flag(DefaultsKey::onboardingSkipped));
    EXPECT_FALSE(flow().explicitlyOpened());
    EXPECT_TRUE(flow().isFinished());
    EXPECT_EQ(root->onboardingSheet(), nullptr);
    EXPECT_FALSE(flow().completedFlag());

    // "Set Up Kelvara…" while that run is still followed: a fresh flow, which
    // the earlier run never writes into.
    EXPECT_TRUE(model->runs().isRunning()) << "the earlier run is still going";
    flow().reopen();
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->onboardingSheet() && root->onboardingSheet()->isVisible(); }));
    view = root->onboardingSheet()->findChild<OnboardingView*>();
    ASSERT_TRUE(view);
    ASSERT_TRUE(step<setup::WelcomeStep>(*view));
    flow().setStep(Step::firstScan);
    scan = step<setup::FirstScanStep>(*view);
    ASSERT_TRUE(scan);
    EXPECT_EQ(scan->runButton()->text(), "Run the first archive");
    ASSERT_TRUE(settle());
    QCoreApplication::processEvents();
    EXPECT_EQ(flow().scan(), Scan::notRun());
    EXPECT_EQ(line(scan, "outcome")->text(), "Nothing has been archived yet.");

    // Escape closes it as "Set this up later" does.
    QTest::keyClick(root->onboardingSheet(), Qt::Key_Escape);
    EXPECT_EQ(root->onboardingSheet(), nullptr);
    EXPECT_TRUE(flow().isFinished());
    EXPECT_FALSE(flow().explicitlyOpened());
}

} // namespace
} // namespace kx::test
