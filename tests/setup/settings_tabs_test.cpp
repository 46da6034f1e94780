// The settings window's four tabs, driven through their widgets against a
// started application model: the daily schedule through the real systemd
// scheduler and a fake systemctl, notifications through a notification double
// or a server of our own on a private bus. With KX_SNAPSHOT_DIR set, every tab
// is also saved there as PNG files in its main states.
#include "app/platform/dbus_notification_center.h"
#include "app/shell/settings_window.h"
#include "app/ui/style.h"
#include "app/ui/widgets.h"
#include "core/contacts/system_contacts.h"
#include "core/health/retention.h"
#include "core/health/schedule_installer.h"
#include "setup/archive_settings_tab.h"
#include "setup/general_settings_tab.h"
#include "setup/permissions_settings_tab.h"
#include "setup/privacy_settings_tab.h"
#include "setup/settings_form.h"
#include "tests/app/model/model_test_support.h"
#include "tests/support/fake_systemctl.h"
#include "tests/support/model_test_access.h"
#include "tests/support/notification_server.h"
#include "tests/support/schedule_seams.h"
#include "tests/support/snapshots.h"
#include "tests/support/workspace_double.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTest>
#include <QWheelEvent>

#include <plist/plist.h>
#include <sys/stat.h>

namespace {

namespace stdfs = std::filesystem;
using namespace kx::test;
using Verdict = kx::FullDiskAccessProbe::Verdict;
using Auth = HealthNotifier::Authorization;

template <typename T = QWidget>
T* child(QWidget& w, const char* name) {
    T* found = w.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

QString text(QWidget& w, const char* name) {
    QLabel* l = child<QLabel>(w, name);
    return l ? l->text() : QString();
}

// Clicks a switch on its box (a wide check box only takes clicks near its text).
void flip(QCheckBox* box) { QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2)); }

bool shown(QWidget& w, const char* name) {
    QWidget* c = child(w, name);
    return c && c->isVisibleTo(&w);
}

class SettingsTabs : public ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        opened = std::make_shared<RecordingWorkspace>();
        setWorkspaceForTesting(opened);
        installApplicationWithEngine(home / "app");
        setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    }
    void TearDown() override {
        kx::ScheduleInstaller::setSeamsForTesting({});
        setWorkspaceForTesting(nullptr);
        unsetenv("XDG_CONFIG_HOME");
        ModelTest::TearDown();
    }

    void addSource(AppModel& m) {
        messagesFolder(home / "messages");
        m.mutableRegistry().add(folderSource("s1", "jorin", home / "messages"));
        emit m.registryChanged();
    }
    void removeSources(AppModel& m) {
        m.mutableRegistry() = kx::SourceRegistry(configDir() / "sources.json");
        emit m.registryChanged();
    }
    static bool installedOnDisk() { return kx::ScheduleInstaller::isInstalled(); }
    static int count(const std::string& haystack, const std::string& needle) {
        int n = 0;
        for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
        return n;
    }

    std::shared_ptr<RecordingWorkspace> opened;
};

// ---- the window --------------------------------------------------------------

TEST_F(SettingsTabs, TheWindowOpensOnGeneralFollowsEachTabsHeightAndClosesFromTheKeyboard) {
    AppModel& m = start();
    SettingsWindow window(m);
    window.setAttribute(Qt::WA_DeleteOnClose, false);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.currentTab(), SettingsTab::general);
    EXPECT_NE(window.findChild<setup::GeneralSettingsTab*>(), nullptr);
    // 620 wide on every tab; the form below the tab strip is as tall as the
    // selected tab asks, where the screen has room for it.
    const bool room = window.screen()->availableGeometry().height() > setup::PrivacySettingsTab::kHeight + 200;
    auto* stack = window.findChild<QStackedWidget*>();
    ASSERT_NE(stack, nullptr);
    const int chrome = window.height() - stack->height();
    for (auto [tab, height] : {std::pair{SettingsTab::permissions, setup::PermissionsSettingsTab::kHeight},
                               std::pair{SettingsTab::archive, setup::ArchiveSettingsTab::kHeight},
                               std::pair{SettingsTab::privacy, setup::PrivacySettingsTab::kHeight},
                               std::pair{SettingsTab::general, setup::GeneralSettingsTab::kHeight}}) {
        window.selectTab(tab);
        QCoreApplication::processEvents();
        EXPECT_EQ(window.width(), SettingsWindow::kWidth) << static_cast<int>(tab);
        EXPECT_EQ(window.height() - stack->height(), chrome) << static_cast<int>(tab);
        if (room) {
            EXPECT_EQ(stack->height(), height) << static_cast<int>(tab);
        }
    }
    EXPECT_NE(window.findChild<setup::PrivacySettingsTab*>(), nullptr);
    SettingsWindow again(m);
    EXPECT_EQ(again.currentTab(), SettingsTab::general);

    for (const QKeySequence& keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
        window.show();
        QApplication::setActiveWindow(&window);
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        QTest::keySequence(&window, keys);
        EXPECT_FALSE(window.isVisible()) << keys.toString().toStdString();
    }
}

// Every control of a form is inside the window once its form has scrolled to it.
static void expectReachable(SettingsWindow& window, QWidget& tab, const char* what) {
    auto* form = tab.findChild<setup::SettingsForm*>();
    ASSERT_NE(form, nullptr) << what;
    for (QWidget* control : tab.findChildren<QWidget*>()) {
        const bool isControl = qobject_cast<QAbstractButton*>(control) || qobject_cast<QComboBox*>(control);
        if (!isControl || !control->isVisibleTo(&tab)) continue;
        form->ensureWidgetVisible(control, 0, 0);
        QCoreApplication::processEvents();
        const QRect inViewport(control->mapTo(form->viewport(), QPoint()), control->size());
        EXPECT_TRUE(form->viewport()->rect().contains(inViewport))
            << what << ": " << control->objectName().toStdString();
        const QRect inWindow(control->mapTo(&window, QPoint()), control->size());
        EXPECT_TRUE(window.rect().contains(inWindow)) << what << ": " << control->objectName().toStdString();
    }
}

TEST_F(SettingsTabs, OnA1280By720ScreenATallerTabMovesTheWindowUpAndEveryControlCanBeReached) {
    QScreen* small = nullptr;
    for (QScreen* s : QGuiApplication::screens())
        if (s->geometry().size() == QSize(1280, 720)) small = s;
    ASSERT_NE(small, nullptr);
    // Alerts on, so the Privacy tab shows all of its rows.
    writeAll(configDir() / "alerts.json", R"({"enabled": true, "warnAfterDays": 7})");
    AppModel& m = start();
    m.alerts().notifier()->setLastPostError("The desktop refused it.");
    center->status = 1; // blocked: the denied note shows too
    SettingsWindow window(m);
    window.setAttribute(Qt::WA_DeleteOnClose, false);
    window.setScreen(small);
    window.move(small->availableGeometry().topLeft());
    centreWindowOver(&window, nullptr); // placed for General's height
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    ASSERT_EQ(window.screen(), small);
    const QRect room = small->availableGeometry();
    auto* stack = window.findChild<QStackedWidget*>();
    ASSERT_NE(stack, nullptr);
    const int chrome = window.height() - stack->height();
    const int generalTop = window.frameGeometry().top();
    // Each tab keeps its own height, less where the screen leaves less (with
    // room for a title bar), and the window stays inside the screen.
    for (auto [tab, height] : {std::pair{SettingsTab::permissions, setup::PermissionsSettingsTab::kHeight},
                               std::pair{SettingsTab::archive, setup::ArchiveSettingsTab::kHeight},
                               std::pair{SettingsTab::privacy, setup::PrivacySettingsTab::kHeight}}) {
        window.selectTab(tab);
        QCoreApplication::processEvents();
        EXPECT_EQ(window.width(), SettingsWindow::kWidth) << static_cast<int>(tab);
        EXPECT_EQ(stack->height(), std::min(height, roomForWindow(&window).height() - chrome)) << static_cast<int>(tab);
        EXPECT_TRUE(room.contains(window.frameGeometry())) << static_cast<int>(tab);
    }
    EXPECT_LT(window.frameGeometry().top(), generalTop) << "moved up, not cut short";
    EXPECT_GT(stack->height(), setup::ArchiveSettingsTab::kHeight) << "Privacy is taller than Archive";
    snapshot(window, "settings-privacy-1280x720");
    QWidget* privacy = window.findChild<setup::PrivacySettingsTab*>();
    ASSERT_NE(privacy, nullptr);
    ASSERT_TRUE(shown(*privacy, "deniedNote"));
    ASSERT_TRUE(shown(*privacy, "postError"));
    expectReachable(window, *privacy, "privacy");
    window.selectTab(SettingsTab::archive);
    QCoreApplication::processEvents();
    EXPECT_TRUE(room.contains(window.frameGeometry()));
    expectReachable(window, *window.findChild<setup::ArchiveSettingsTab*>(), "archive");
}

TEST_F(SettingsTabs, AWheelClickScrollsAFormByTheDesktopsWheelLines) {
    AppModel& m = start();
    SettingsWindow window(m);
    window.setAttribute(Qt::WA_DeleteOnClose, false);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.selectTab(SettingsTab::privacy);
    auto* form = window.findChild<setup::PrivacySettingsTab*>()->findChild<setup::SettingsForm*>();
    ASSERT_NE(form, nullptr);
    // Short enough that the form scrolls.
    form->setFixedHeight(200);
    QCoreApplication::processEvents();
    QScrollBar* bar = form->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0);
    const int line = QFontMetrics(textFont(TextStyle::body)).lineSpacing();
    const int click = QApplication::wheelScrollLines() * line;
    ASSERT_GT(bar->maximum(), click);
    const QPoint at = form->viewport()->rect().center();
    QWheelEvent wheel(at, form->viewport()->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(form->viewport(), &wheel);
    EXPECT_EQ(bar->value(), click);
}

// ---- General -----------------------------------------------------------------

TEST_F(SettingsTabs, GeneralShowsTheDestinationAndChoosesANewOneThroughTheModel) {
    AppModel& m = start();
    setup::GeneralSettingsTab tab(m, {});
    tab.resize(620, 470);
    tab.show();
    // The default location before the first run: not there yet, and no drive to plug in.
    EXPECT_EQ(text(tab, "destination"), m.defaultDestinationRoot());
    EXPECT_FALSE(stdfs::exists(m.defaultDestinationRoot().toStdString()));
    EXPECT_FALSE(shown(tab, "missingDestination"));
    // A location that is not there: kept and shown, with the note and no Reveal.
    m.setDestinationRoot(QString::fromStdString((home / "unplugged/Tresk").string()));
    tab.hide();
    tab.show();
    EXPECT_EQ(text(tab, "destination"), QString::fromStdString((home / "unplugged/Tresk").string()));
    EXPECT_TRUE(shown(tab, "missingDestination"));
    EXPECT_FALSE(child<QPushButton>(tab, "revealDestination")->isEnabled());
    snapshot(tab, "settings-general-missing-root");

    // A relative path is refused with the model's sentence; cancelling changes nothing.
    QString& answer = opened->nextFolder;
    answer = QStringLiteral("relative/archive");
    QTest::mouseClick(child<QPushButton>(tab, "chooseDestination"), Qt::LeftButton);
    EXPECT_TRUE(m.lastError().contains("not a full path"));
    EXPECT_EQ(tab.shownDestination(), QString::fromStdString((home / "unplugged/Tresk").string()));
    answer.clear();
    QTest::mouseClick(child<QPushButton>(tab, "chooseDestination"), Qt::LeftButton);
    EXPECT_EQ(tab.shownDestination(), QString::fromStdString((home / "unplugged/Tresk").string()));

    // A real folder: stored, shown, revealed in the file manager.
    stdfs::create_directories(home / "Archive");
    answer = QString::fromStdString((home / "Archive").string());
    QTest::mouseClick(child<QPushButton>(tab, "chooseDestination"), Qt::LeftButton);
    EXPECT_EQ(m.destinationRoot(), answer);
    EXPECT_EQ(text(tab, "destination"), answer);
    EXPECT_FALSE(shown(tab, "missingDestination"));
    QTest::mouseClick(child<QPushButton>(tab, "revealDestination"), Qt::LeftButton);
    EXPECT_EQ(opened->calls, QStringList{"reveal " + answer});

    bool broughtForward = false;
    setup::GeneralSettingsTab withMain(m, [&] { broughtForward = true; });
    QTest::mouseClick(child<QPushButton>(withMain, "openKelvara"), Qt::LeftButton);
    EXPECT_TRUE(broughtForward);
    EXPECT_FALSE(text(withMain, "version").isEmpty());
}

TEST_F(SettingsTabs, TheScheduleSwitchShowsWhatIsOnDiskAfterEveryChange) {
    FakeSystemctl systemctl;
    AppModel& m = start();
    setup::GeneralSettingsTab tab(m, {});
    tab.resize(620, 470);
    tab.show();
    auto* toggle = child<QCheckBox>(tab, "scheduleSwitch");

    // No source: turning on is not offered.
    EXPECT_FALSE(toggle->isEnabled());
    EXPECT_TRUE(shown(tab, "connectSourceFirst"));
    EXPECT_FALSE(shown(tab, "scheduleOffCaption"));
    snapshot(tab, "settings-general-no-sources");

    addSource(m);
    EXPECT_TRUE(toggle->isEnabled());
    EXPECT_TRUE(shown(tab, "scheduleOffCaption"));

    // Registration fails: the switch snaps back off with the installer's
    // sentence, and setting it back runs nothing again.
    systemctl.failOn("enable", 4);
    flip(toggle);
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_FALSE(installedOnDisk());
    EXPECT_TRUE(m.lastError().startsWith("The daily schedule did not install: Could not register the schedule: "))
        << m.lastError().toStdString();
    EXPECT_TRUE(m.lastError().endsWith("no user session. Automatic backup is OFF.")) << m.lastError().toStdString();
    // Said plainly where the switch was pressed, the installer's own words after it.
    ASSERT_TRUE(shown(tab, "scheduleProblem"));
    const QString said = child<QLabel>(tab, "scheduleProblem")->text();
    EXPECT_TRUE(said.startsWith("The daily schedule could not be turned on, so Automatic backup is OFF. Details: The "
                                "daily schedule did not install: Could not register the schedule: "))
        << said.toStdString();
    snapshot(tab, "settings-general-schedule-refused");
    EXPECT_EQ(count(systemctl.calls(), "enable --now"), 1);
    stdfs::remove(systemctl.dir / "fail-enable");

    // The file vanishes although registering said yes: still off, and said so.
    systemctl.runOn("enable", "rm -f '" + kx::ScheduleInstaller::plistURL() + "'\n");
    flip(toggle);
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_EQ(m.lastError(), QString::fromStdString("The daily schedule reported success but is not on disk at " +
                                                    kx::ScheduleInstaller::plistURL() + ". Automatic backup is OFF."));
    stdfs::remove(systemctl.dir / "do-enable");

    // It installs: on, with the timer enabled and the captions of the on state.
    m.setLastError(QString());
    flip(toggle);
    EXPECT_TRUE(toggle->isChecked());
    EXPECT_TRUE(installedOnDisk());
    EXPECT_TRUE(stdfs::exists(home / ".config/systemd/user/com.dunholt.kelvara.timer"));
    EXPECT_TRUE(shown(tab, "scheduleOnCaption"));
    EXPECT_FALSE(shown(tab, "scheduleBlocked"));
    EXPECT_FALSE(shown(tab, "scheduleProblem"));
    QTest::mouseClick(child<QPushButton>(tab, "showLogs"), Qt::LeftButton);
    EXPECT_EQ(opened->calls.value(0), "folder " + QString::fromStdString(kx::ScheduleInstaller::logFolder()));

    // The engine cannot read Messages on schedule: the red warning.
    ModelTestAccess::setFdaVerdict(m.permissions(), Verdict::scheduledBlocked("blocked"));
    EXPECT_TRUE(shown(tab, "scheduleBlocked"));
    snapshot(tab, "settings-general-scheduled-blocked");

    // Sources removed while it is installed: it can still be turned off.
    removeSources(m);
    EXPECT_TRUE(toggle->isEnabled());
    flip(toggle);
    EXPECT_FALSE(toggle->isChecked());
    EXPECT_FALSE(installedOnDisk());
    EXPECT_FALSE(toggle->isEnabled());
    EXPECT_NE(systemctl.calls().find("disable --now"), std::string::npos);

    // The verdict alone, with the schedule off, warns of nothing.
    addSource(m);
    EXPECT_FALSE(shown(tab, "scheduleBlocked"));
    EXPECT_TRUE(shown(tab, "scheduleOffCaption"));
}

// ---- Permissions -------------------------------------------------------------

TEST_F(SettingsTabs, PermissionsBannerAndHelpFollowTheVerdictAndTheSchedule) {
    AppModel& m = start();
    ModelTestAccess::setFdaVerdict(m.permissions(), Verdict::allGranted("ok"));
    setup::PermissionsSettingsTab tab(m);
    tab.resize(620, 470);
    tab.show();
    struct Case {
        Verdict verdict;
        bool scheduleInstalled;
        const char* symbol;
        const char* start;
        bool help;
        const char* png;
    };
    const Case cases[] = {
        {Verdict::allGranted("ok"), false, "checkmark.seal.fill", "Kelvara has everything", false, "all-granted"},
        {Verdict::scheduledBlocked("x"), true, "exclamationmark.triangle.fill", "Scheduled archiving is running", true,
         "scheduled-blocked"},
        // Without the daily run only the application reads, and it can.
        {Verdict::scheduledBlocked("y"), false, "exclamationmark.triangle.fill", "Kelvara can read your messages", true,
         nullptr},
        {Verdict::appBlocked("x"), false, "xmark.octagon.fill", "Kelvara cannot read", true, "app-blocked"},
        {Verdict::notChecked("x"), false, "questionmark.circle.fill", "Permissions have not been checked", true,
         "not-checked"},
        {Verdict::noDatabase(), false, "checkmark.seal.fill", "No Messages database", false, "no-database"},
        // A verdict this version does not know claims nothing.
        {Verdict{static_cast<Verdict::Case>(99), "?"}, false, "questionmark.circle.fill",
         "Permissions have not been checked", false, nullptr},
    };
    for (const Case& c : cases) {
        if (c.scheduleInstalled) {
            stdfs::create_directories(stdfs::path(kx::ScheduleInstaller::plistURL()).parent_path());
            writeAll(kx::ScheduleInstaller::plistURL(), "<plist/>");
        } else {
            stdfs::remove(kx::ScheduleInstaller::plistURL());
        }
        ModelTestAccess::setFdaVerdict(m.permissions(), c.verdict);
        SCOPED_TRACE(c.start);
        EXPECT_EQ(child(tab, "bannerSymbol")->property("symbol").toString(), c.symbol);
        EXPECT_TRUE(text(tab, "bannerText").startsWith(c.start)) << text(tab, "bannerText").toStdString();
        EXPECT_EQ(shown(tab, "permissionsHelp"), c.help || c.verdict.kind == Verdict::Case::notChecked);
        if (c.png) snapshot(tab, QStringLiteral("settings-permissions-") + c.png);
    }
    // Rows come from the summary, in its order; an optional row that is not
    // granted is grey with the badge.
    const auto rows = m.permissions().permissionStatus().rows();
    ASSERT_FALSE(rows.empty());
    for (const auto& row : rows) {
        QWidget* view = tab.findChild<QWidget*>(QStringLiteral("permissionRow.") + QString::fromStdString(row.id));
        ASSERT_NE(view, nullptr) << row.id;
        EXPECT_EQ(view->findChild<QWidget*>("optionalBadge") != nullptr, !row.required);
        EXPECT_EQ(view->findChild<QLabel*>("stateSymbol")->property("symbol").toString(),
                  setup::PermissionRowView::stateSymbol(row).first);
    }
    kx::PermissionsSummary::Row optional{"x", "T", "D", kx::PermissionsSummary::Row::State::notGranted, false};
    EXPECT_EQ(setup::PermissionRowView::stateSymbol(optional).first, "circle.slash");
    optional.required = true;
    EXPECT_EQ(setup::PermissionRowView::stateSymbol(optional).first, "exclamationmark.triangle.fill");
}

TEST_F(SettingsTabs, PermissionsHeadlineSaysWhatIsReadNowAndWhatTheScheduleCouldNot) {
    // The application reads a real Messages database; the engine, started the
    // way the schedule starts it, answers that it cannot; the schedule is off.
    kx::fixtures::Options o;
    o.messages = 30;
    kx::fixtures::writeChatDatabase(home / "Library/Messages/chat.db", o);
    installApplicationWithEngine(home / "app",
                                 "echo '{\"format\":1,\"databasePath\":\"" +
                                     (home / "Library/Messages/chat.db").string() +
                                     "\",\"databaseExists\":true,\"readable\":false,\"messageCount\":null,"
                                     "\"problem\":\"Permission denied\",\"userId\":1000,\"executable\":\"kxctl\"}'");
    AppModel& m = start();
    ASSERT_TRUE(m.permissions().hasFullDiskAccess());
    ASSERT_FALSE(installedOnDisk());
    // An earlier check that found the application blocked no longer holds once
    // it reads the database: opening the tab checks again.
    ModelTestAccess::setFdaVerdict(m.permissions(), Verdict::appBlocked("blocked earlier"));
    setup::PermissionsSettingsTab tab(m);
    tab.resize(620, 470);
    tab.show();
    EXPECT_TRUE(m.permissions().isProbingFDA());
    ASSERT_TRUE(drainModelTasks(m));
    ASSERT_EQ(m.permissions().fdaVerdict().kind, Verdict::Case::scheduledBlocked);
    EXPECT_EQ(text(tab, "bannerText"), "Kelvara can read your messages; the scheduled job could not.");
    EXPECT_FALSE(text(tab, "bannerText").contains("cannot read your messages"));
    EXPECT_EQ(child(tab, "bannerSymbol")->property("symbol").toString(), "exclamationmark.triangle.fill");
    EXPECT_TRUE(shown(tab, "permissionsHelp"));
    snapshot(tab, QStringLiteral("settings-permissions-schedule-could-not-read"));

    // With the daily run installed the same finding is the red warning.
    stdfs::create_directories(stdfs::path(kx::ScheduleInstaller::plistURL()).parent_path());
    writeAll(kx::ScheduleInstaller::plistURL(), "<plist/>");
    ModelTestAccess::setFdaVerdict(m.permissions(), Verdict::scheduledBlocked("again"));
    EXPECT_TRUE(text(tab, "bannerText").startsWith("Scheduled archiving is running and saving NOTHING"));
}

TEST_F(SettingsTabs, PermissionsButtonsFollowTheProbeAndTheContactsState) {
    AppModel& m = start();
    ModelTestAccess::setFdaVerdict(m.permissions(), Verdict::allGranted("ok"));
    setup::PermissionsSettingsTab tab(m);
    tab.resize(620, 470);
    tab.show();
    ModelTestAccess::setIsProbingFDA(m.permissions(), true);
    EXPECT_FALSE(child<QPushButton>(tab, "checkAgain")->isEnabled());
    EXPECT_EQ(child<QPushButton>(tab, "checkAgain")->text(), "Checking…");
    EXPECT_TRUE(shown(tab, "checkingIndicator"));
    ModelTestAccess::setIsProbingFDA(m.permissions(), false);
    EXPECT_TRUE(child<QPushButton>(tab, "checkAgain")->isEnabled());
    EXPECT_FALSE(shown(tab, "checkingIndicator"));

    using C = kx::ContactsAuthorization;
    const std::tuple<C, bool, bool, bool> states[] = {
        {C::notDetermined, true, false, false}, {C::authorized, false, false, true}, {C::denied, false, true, false},
        {C::restricted, false, false, false},   {C::notLoaded, true, false, false},
    };
    for (const auto& [auth, connectButton, settingsButton, names] : states) {
        ModelTestAccess::setContactsAuthorization(m.contacts(), auth);
        SCOPED_TRACE(kx::toString(auth));
        EXPECT_EQ(shown(tab, "connectContacts"), connectButton);
        EXPECT_EQ(shown(tab, "contactsSettings"), settingsButton);
        EXPECT_EQ(shown(tab, "contactNames"), names);
    }
    ModelTestAccess::setContactsAuthorization(m.contacts(), C::denied);
    QTest::mouseClick(child<QPushButton>(tab, "contactsSettings"), Qt::LeftButton);
    QTest::mouseClick(child<QPushButton>(tab, "openFullDiskAccess"), Qt::LeftButton);
    EXPECT_EQ(opened->calls, (QStringList{"folder " + QString::fromStdString(kx::SystemContacts::defaultFolder()),
                                          "folder " + messagesPlace()}));

    EXPECT_EQ(setup::PermissionsSettingsTab::addressBookText(1, 1), "1 number and address from 1 contacts");
    EXPECT_EQ(setup::PermissionsSettingsTab::addressBookText(3, 2), "3 numbers and addresses from 2 contacts");
}

TEST_F(SettingsTabs, ShowingPermissionsChecksAgainAndProbesOnlyWhenNotChecked) {
    AppModel& m = start();
    // A contacts folder with one card: showing the tab loads it.
    stdfs::create_directories(home / ".local/share/contacts");
    writeAll(home / ".local/share/contacts/a.vcf",
             "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ada Quill\r\nTEL:+44 20 7946 0000\r\nEND:VCARD\r\n");
    ModelTestAccess::setFdaVerdict(m.permissions(), Verdict::allGranted("ok"));
    setup::PermissionsSettingsTab tab(m);
    tab.resize(620, 470);
    tab.show();
    EXPECT_FALSE(m.permissions().isProbingFDA());
    ASSERT_TRUE(QTest::qWaitFor([&] { return m.contacts().contactsLoadedCount() == 1; }, 10000));
    EXPECT_TRUE(shown(tab, "contactNames"));
    EXPECT_EQ(text(tab, "addressBook"), "1 number and address from 1 contacts");
    EXPECT_EQ(text(tab, "namesByHand"), "0");
    snapshot(tab, "settings-permissions-contacts");

    tab.hide();
    ModelTestAccess::setFdaVerdict(m.permissions(), Verdict::notRunYet());
    tab.show();
    EXPECT_TRUE(m.permissions().isProbingFDA());
    EXPECT_TRUE(drainModelTasks(m));
}

// ---- Archive -----------------------------------------------------------------

void writeMessagesPreferences(const stdfs::path& home, std::optional<int64_t> days, bool binary = false) {
    plist_t dict = plist_new_dict();
    if (days) plist_dict_set_item(dict, kx::RetentionReader::kKey, plist_new_uint(static_cast<uint64_t>(*days)));
    char* out = nullptr;
    uint32_t length = 0;
    if (binary) plist_to_bin(dict, &out, &length);
    else plist_to_xml(dict, &out, &length);
    stdfs::create_directories(home / "Library/Preferences");
    writeAll(home / "Library/Preferences/com.apple.MobileSMS.plist", std::string(out, length));
    free(out);
    plist_free(dict);
}

TEST_F(SettingsTabs, ArchiveReadsWhatMessagesKeepsAndExplainsIt) {
    AppModel& m = start();
    setup::ArchiveSettingsTab tab(m, {});
    tab.resize(620, 610);
    tab.show();
    EXPECT_EQ(text(tab, "keepMessages"), "Unknown");
    EXPECT_EQ(text(tab, "retentionExplanation"),
              "Could not read this setting (Messages' settings are not on this computer), so whether your Mac is "
              "deleting old messages is UNKNOWN.");
    snapshot(tab, "settings-archive-unreadable");

    writeMessagesPreferences(home.path(), 365);
    QTest::mouseClick(child<QPushButton>(tab, "rereadRetention"), Qt::LeftButton);
    EXPECT_EQ(text(tab, "keepMessages"), "1 Year");
    EXPECT_EQ(text(tab, "retentionExplanation"),
              "Your Mac deletes messages older than one year on a rolling basis. This archive is what keeps them.");
    EXPECT_EQ(child<QLabel>(tab, "retentionExplanation")->palette().color(QPalette::WindowText),
              toneColor(Tone::orange));
    snapshot(tab, "settings-archive-one-year");

    writeMessagesPreferences(home.path(), 366, true);
    tab.rereadRetention();
    EXPECT_TRUE(text(tab, "retentionExplanation").contains("older than 366 days"));
    writeMessagesPreferences(home.path(), 0);
    tab.rereadRetention();
    EXPECT_EQ(text(tab, "keepMessages"), "Forever");
    EXPECT_EQ(text(tab, "retentionExplanation"),
              "Nothing is deleted by policy. The archive still protects against losing this Mac.");
    EXPECT_EQ(child<QLabel>(tab, "retentionExplanation")->palette().color(QPalette::WindowText), secondaryTextColor());
    writeAll(home / "Library/Preferences/com.apple.MobileSMS.plist", "not a property list");
    tab.rereadRetention();
    EXPECT_TRUE(text(tab, "retentionExplanation")
                    .startsWith("Could not read this setting (the Messages settings "
                                "file is damaged)"));
    EXPECT_EQ(setup::ArchiveSettingsTab::retentionExplanation(kx::RetentionPolicy::Setting::ofDays(30)),
              "Your Mac deletes messages older than 30 days on a rolling basis. This archive is what keeps them.");
}

TEST_F(SettingsTabs, ArchiveMeasuresOnceOffTheGuiThreadAndManagesSources) {
    AppModel& m = start();
    bool broughtForward = false;
    auto tab = std::make_unique<setup::ArchiveSettingsTab>(m, [&] { broughtForward = true; });
    tab->resize(620, 610);
    tab->show();
    EXPECT_EQ(text(*tab, "messagesArchived"), "No scan has run yet");
    EXPECT_EQ(text(*tab, "sizeOnDisk"), "Not measured");
    EXPECT_EQ(text(*tab, "connectedSources"), "0");

    addSource(m);
    m.runs().startScan();
    ASSERT_TRUE(waitForRun());
    ASSERT_TRUE(m.report().has_value());
    EXPECT_EQ(text(*tab, "connectedSources"), "1");
    EXPECT_EQ(text(*tab, "messagesArchived"), QLocale().toString(static_cast<qlonglong>(m.report()->uniqueMessages)));

    // Two quick presses make one measurement; the result is the owner's folder.
    tab->measureSize();
    tab->measureSize();
    EXPECT_TRUE(tab->isMeasuring());
    EXPECT_TRUE(shown(*tab, "measuring"));
    snapshot(*tab, "settings-archive-measuring");
    ASSERT_TRUE(drainModelTasks(m));
    ASSERT_TRUE(tab->stats().has_value());
    const auto folder =
        kx::ArchiveLayout(m.destinationRoot().toStdString()).owner(m.owners().resolvedOwner().owner).folder;
    EXPECT_EQ(tab->stats()->bytes, kx::TreskStatsReader::directoryBytes(folder));
    EXPECT_TRUE(tab->stats()->bytes.value_or(0) > 0);
    EXPECT_EQ(tab->stats()->messageCount, m.report()->uniqueMessages);
    EXPECT_EQ(text(*tab, "sizeOnDisk"), QString::fromStdString(tab->stats()->sizeDescription()));
    EXPECT_FALSE(shown(*tab, "measuring"));
    snapshot(*tab, "settings-archive-measured");

    m.setRoute(Route::browse);
    QTest::mouseClick(child<QPushButton>(*tab, "manageSources"), Qt::LeftButton);
    EXPECT_EQ(m.route(), Route::sources);
    EXPECT_TRUE(broughtForward);

    // The tab goes away while a measurement runs: its result is dropped.
    tab->measureSize();
    tab.reset();
    EXPECT_TRUE(drainModelTasks(m));
}

// ---- Privacy -----------------------------------------------------------------

TEST_F(SettingsTabs, PrivacyAlertSettingsAreSavedAsPickedAndOddValuesLeftAlone) {
    writeAll(configDir() / "alerts.json", R"({"enabled": true, "warnAfterDays": 5})");
    AppModel& m = start();
    setup::PrivacySettingsTab tab(m);
    tab.resize(620, 640);
    tab.show();
    auto* toggle = child<QCheckBox>(tab, "alertsSwitch");
    auto* picker = child<QComboBox>(tab, "warnAfter");
    EXPECT_TRUE(toggle->isChecked());
    EXPECT_EQ(picker->currentIndex(), -1); // 5 days is none of the choices
    const std::string stored = readAll(configDir() / "alerts.json");
    tab.hide();
    tab.show();
    EXPECT_EQ(readAll(configDir() / "alerts.json"), stored);

    picker->activated(2); // "14 days", as a person picks it
    EXPECT_EQ(m.alerts().alertSettings().warnAfterDays, 14);
    EXPECT_EQ(kx::HealthAlertSettings::load((configDir() / "alerts.json").string()).warnAfterDays, 14);

    flip(toggle);
    EXPECT_FALSE(m.alerts().alertSettings().enabled);
    EXPECT_FALSE(kx::HealthAlertSettings::load((configDir() / "alerts.json").string()).enabled);
    EXPECT_FALSE(shown(tab, "warnAfter"));
    EXPECT_FALSE(shown(tab, "notificationState"));
    m.alerts().notifier()->setLastPostError("The desktop refused it.");
    EXPECT_FALSE(shown(tab, "postError"));
    snapshot(tab, "settings-privacy-off");
    flip(toggle);
    EXPECT_TRUE(kx::HealthAlertSettings::load((configDir() / "alerts.json").string()).enabled);
    EXPECT_TRUE(shown(tab, "postError"));
    EXPECT_EQ(text(tab, "postError"), "The desktop refused it.");
}

TEST_F(SettingsTabs, PrivacyNotificationRowFollowsTheAuthorization) {
    AppModel& m = start();
    setup::PrivacySettingsTab tab(m);
    tab.resize(620, 640);
    tab.show();
    struct Case {
        int status;
        const char* label;
        const char* button; // empty: none
        bool deniedNote;
        const char* png;
    };
    const Case cases[] = {
        {0, "Not asked yet", "Allow", false, "not-asked"},
        {2, "Notifications allowed", "Send a test", false, "allowed"},
        {3, "Delivered quietly to Notification Centre", "Send a test", false, "provisional"},
        {1, "Notifications are blocked", "Open Settings", true, "blocked"},
        {9, "Notifications unavailable", "", false, "unavailable"},
    };
    for (const Case& c : cases) {
        center->status = c.status;
        m.alerts().notifier()->refreshAuthorization();
        SCOPED_TRACE(c.label);
        EXPECT_EQ(text(tab, "notificationState"), c.label);
        EXPECT_EQ(shown(tab, "notificationButton"), *c.button != 0);
        if (*c.button) {
            EXPECT_EQ(child<QPushButton>(tab, "notificationButton")->text(), c.button);
        }
        EXPECT_EQ(shown(tab, "deniedNote"), c.deniedNote);
        snapshot(tab, QStringLiteral("settings-privacy-") + c.png);
    }
    // Blocked: the button opens the desktop's notification settings, and is
    // hidden when the desktop has no settings program.
    center->status = 1;
    m.alerts().notifier()->refreshAuthorization();
    QTest::mouseClick(child<QPushButton>(tab, "notificationButton"), Qt::LeftButton);
    EXPECT_EQ(opened->calls, QStringList{"notification-settings"});
    opened->hasNotificationSettings = false;
    tab.hide();
    tab.show();
    EXPECT_FALSE(shown(tab, "notificationButton"));

    // "Allow" asks; a refusal shows as blocked with no error text.
    center->status = 0;
    m.alerts().notifier()->refreshAuthorization();
    center->status = 1;
    QTest::mouseClick(child<QPushButton>(tab, "notificationButton"), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return text(tab, "notificationState") == "Notifications are blocked"; }, 5000));
    EXPECT_FALSE(shown(tab, "postError"));
    EXPECT_EQ(setup::PrivacySettingsTab::notificationRow(static_cast<Auth>(42)).text, "Notifications unavailable");
}

TEST_F(SettingsTabs, SendATestPostsToTheDesktopsNotificationServer) {
    if (!onPrivateBus()) return;
    NotificationServer server;
    auto serverBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "kx-settings-server");
    ASSERT_TRUE(serverBus.registerVirtualObject(DBusNotificationCenter::kPath, &server));
    ASSERT_TRUE(serverBus.registerService(DBusNotificationCenter::kService));
    setNotificationCenterForTesting(std::make_shared<DBusNotificationCenter>(QDBusConnection::sessionBus()));
    AppModel& m = start();
    setup::PrivacySettingsTab tab(m);
    tab.show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return text(tab, "notificationState") == "Notifications allowed"; }, 20000));
    QTest::mouseClick(child<QPushButton>(tab, "notificationButton"), Qt::LeftButton);
    const auto testPosted = [&] {
        for (const auto& p : server.posted)
            if (p.summary == HealthNotifier::kTestTitle) return true;
        return false;
    };
    ASSERT_TRUE(QTest::qWaitFor(testPosted, 20000));
    EXPECT_FALSE(shown(tab, "postError"));

    // The server refuses the next one: its reason shows under the row.
    server.refuseAll = true;
    QTest::mouseClick(child<QPushButton>(tab, "notificationButton"), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return shown(tab, "postError"); }, 20000));
    EXPECT_FALSE(text(tab, "postError").isEmpty());
}

} // namespace
