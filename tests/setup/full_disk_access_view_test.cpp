// The Full Disk Access window's own content: its texts and steps, the three
// buttons and the 2-second re-check that runs only while it is on screen.
// (The main window's rule that shows and closes it is tested with the shell.)
#include "app/platform/workspace.h"
#include "setup/full_disk_access_view.h"
#include "tests/app/model/model_test_support.h"
#include "tests/support/snapshots.h"
#include "tests/support/workspace_double.h"

#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

namespace {

using namespace kx::test;
namespace stdfs = std::filesystem;

class AccessWindow : public ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        opened = std::make_shared<RecordingWorkspace>();
        setWorkspaceForTesting(opened);
    }
    void TearDown() override {
        setWorkspaceForTesting(nullptr);
        ModelTest::TearDown();
    }
    stdfs::path live() const {
        stdfs::create_directories(home / "Library/Messages");
        return home / "Library/Messages/chat.db";
    }
    std::shared_ptr<RecordingWorkspace> opened;
};

TEST_F(AccessWindow, ItExplainsGivesThreeStepsAndItsButtonsDoTheirWork) {
    AppModel& m = start();
    writeAll(live(), "present, but not a database");
    m.permissions().checkFullDiskAccess();
    setup::FullDiskAccessView view(m);
    view.show();
    EXPECT_EQ(view.width(), setup::FullDiskAccessView::kWidth);
    QStringList steps;
    for (QLabel* l : view.findChildren<QLabel*>("step")) steps << l->text();
    EXPECT_EQ(steps, (QStringList{"1. Click the button below to open System Settings.",
                                  "2. Turn on the switch next to Kelvara.",
                                  "3. Come back here — this window closes automatically."}));
    EXPECT_EQ(view.findChild<QLabel*>("explanation")->text(),
              "Your message history lives in a protected folder that macOS hides from apps by default. Kelvara needs "
              "Full Disk Access to read it.\n\nKelvara only ever READS your message databases. It never modifies, "
              "moves, or deletes anything in them.");
    EXPECT_EQ(view.continueWithoutButton()->toolTip(),
              "Browse an existing archive. New scans of this Mac's Messages will not work until access is granted.");
    snapshot(view, "full-disk-access-window");

    // Linux: the folder holding the live database is where access is given.
    QTest::mouseClick(view.openSettingsButton(), Qt::LeftButton);
    EXPECT_EQ(opened->calls, QStringList{"folder " + messagesPlace()});

    // "Check Again" reads the database afresh; the file is untouched.
    const std::string before = readAll(live());
    QTest::mouseClick(view.checkAgainButton(), Qt::LeftButton);
    EXPECT_FALSE(m.permissions().hasFullDiskAccess());
    EXPECT_EQ(readAll(live()), before);

    QTest::mouseClick(view.continueWithoutButton(), Qt::LeftButton);
    EXPECT_TRUE(m.permissions().dismissedFullDiskAccessPrompt());
}

TEST_F(AccessWindow, TheRecheckRunsEveryTwoSecondsWhileShown) {
    AppModel& m = start();
    EXPECT_EQ(setup::FullDiskAccessView(m).findChild<QTimer*>("recheckTimer")->interval(), 2000);

    // The same window re-checking every 20 ms, so that the test need not wait.
    setup::FullDiskAccessView view(m, nullptr, std::chrono::milliseconds(20));
    auto* timer = view.findChild<QTimer*>("recheckTimer");
    ASSERT_NE(timer, nullptr);
    EXPECT_FALSE(timer->isActive());
    view.show();
    EXPECT_TRUE(timer->isActive());
    // No database at all: every tick leaves access missing.
    QSignalSpy ticks(timer, &QTimer::timeout);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks.count() >= 2; }, 60000));
    EXPECT_FALSE(m.permissions().hasFullDiskAccess());
    kx::fixtures::Options o;
    o.messages = 3;
    kx::fixtures::writeChatDatabase(live(), o);
    ASSERT_TRUE(QTest::qWaitFor([&] { return m.permissions().hasFullDiskAccess(); }, 60000));
    view.hide();
    EXPECT_FALSE(timer->isActive());
}

} // namespace
