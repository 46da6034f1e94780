#include "app/model/health_notifier.h"
#include "core/platform/fs.h"
#include "tests/app/model/model_test_support.h"

#include <QSignalSpy>

using namespace kx;
using namespace std::chrono;
using kx::test::readAll;
using kx::test::writeAll;

namespace {

const Date kNow = fromUnixSeconds(1'800'000'000);

class Alerts : public kx::test::ModelTest {
protected:
    // Leaves a STATUS.json of a successful run that started `age` before kNow.
    void statusFromRunStarted(seconds age) {
        CoverageReport r;
        r.runDate = kNow - age;
        r.finishedAt = r.runDate;
        r.lastSuccessAt = r.runDate;
        writeAll(defaultRoot() / "STATUS.json", r.toJson());
    }
    std::vector<HealthAlert::Kind> kinds() const {
        std::vector<HealthAlert::Kind> out;
        for (const auto& a : model->alerts().activeAlerts()) out.push_back(a.kind);
        return out;
    }
    std::shared_ptr<FixedClock> clock = std::make_shared<FixedClock>(kNow);
};

} // namespace

TEST_F(Alerts, StalenessHasA48HourBoundaryAndNoOrAFailedReportIsStale) {
    EXPECT_TRUE(start(clock).alerts().isReportStale());
    model.reset();

    statusFromRunStarted(seconds(172800));
    EXPECT_FALSE(start(clock).alerts().isReportStale());
    clock->advance(seconds(1));
    EXPECT_TRUE(model->alerts().isReportStale());
    model.reset();

    CoverageReport failed;
    failed.status = CoverageReport::Status::failed;
    failed.failure = "the disk is full";
    failed.runDate = kNow;
    writeAll(defaultRoot() / "STATUS.json", failed.toJson());
    clock->set(kNow);
    EXPECT_TRUE(start(clock).alerts().isReportStale());
}

TEST_F(Alerts, LaunchReadsPermissionFirstThenComputesAndPosts) {
    fs::createPrivateDirectories(defaultRoot());
    auto& m = start(clock);
    EXPECT_EQ(center->statusReads, 1);
    ASSERT_EQ(kinds(), std::vector{HealthAlert::Kind::neverRan});
    ASSERT_TRUE(QTest::qWaitFor([&] { return center->added.size() == 1; }, 5000));
    EXPECT_EQ(center->added[0].identifier, "kx.alert.neverRan");
    EXPECT_EQ(center->added[0].title, "Your archive has never run");
    EXPECT_EQ(center->added[0].body, QString::fromStdString(m.alerts().activeAlerts()[0].body));
}

TEST_F(Alerts, WithoutPermissionTheAlertsStayListedAndNothingIsPosted) {
    center->status = 1;
    auto& m = start(clock);
    ASSERT_TRUE(kx::test::drainModelTasks(m));
    EXPECT_FALSE(m.alerts().activeAlerts().empty());
    EXPECT_TRUE(center->added.empty());
    EXPECT_TRUE(m.alerts().notifier()->lastPostError().startsWith("Notifications are not permitted, so 1 health"));
}

TEST_F(Alerts, PostingOnlyWhenAskedAndClearedAlertsAreWithdrawn) {
    fs::createPrivateDirectories(defaultRoot());
    auto& m = start(clock);
    ASSERT_TRUE(QTest::qWaitFor([&] { return center->added.size() == 1; }, 5000));

    m.alerts().refreshAlerts(false);
    ASSERT_TRUE(kx::test::drainModelTasks(m));
    EXPECT_EQ(center->added.size(), 1u);

    // A run arrives: nothing is wrong any more, and the notification goes away.
    statusFromRunStarted(hours(1));
    m.refreshReport();
    QSignalSpy changed(&m.alerts(), &AlertsModel::activeAlertsChanged);
    m.alerts().refreshAlerts(true);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_TRUE(m.alerts().activeAlerts().empty());
    EXPECT_TRUE(center->shownIdentifiers().isEmpty());
    ASSERT_TRUE(kx::test::drainModelTasks(m));
    EXPECT_EQ(center->added.size(), 1u); // an empty list posts nothing
}

TEST_F(Alerts, RootIsReachableOnlyAsAFolder) {
    writeAll(home / "not-a-folder", "x");
    defaults->setString(DefaultsKey::destinationRoot, QString::fromStdString((home / "not-a-folder").string()));
    start(clock);
    EXPECT_EQ(kinds(), std::vector{HealthAlert::Kind::destinationUnreachable});

    // The root removed while running: the next computation sees it.
    model.reset();
    statusFromRunStarted(hours(1));
    defaults->remove(DefaultsKey::destinationRoot);
    auto& m = start(clock);
    EXPECT_TRUE(m.alerts().activeAlerts().empty());
    std::filesystem::remove_all(defaultRoot());
    m.alerts().refreshAlerts(false);
    EXPECT_EQ(kinds(), std::vector{HealthAlert::Kind::destinationUnreachable});
}

TEST_F(Alerts, TheDailyScheduleFileIsLookedForInTheHomeFolder) {
    fs::createPrivateDirectories(defaultRoot());
    auto& m = start(clock);
    EXPECT_FALSE(AlertsModel::dailyScheduleFileExists());
    EXPECT_NE(m.alerts().activeAlerts()[0].body.find("daily run is not turned on"), std::string::npos);
    writeAll(home / "Library/LaunchAgents/com.dunholt.kelvara.plist", "<plist/>");
    EXPECT_TRUE(AlertsModel::dailyScheduleFileExists());
    m.alerts().refreshAlerts(false);
    EXPECT_EQ(m.alerts().activeAlerts()[0].body.find("daily run"), std::string::npos);
}

TEST_F(Alerts, SavingSettingsWritesThemAndRecomputesWithoutPosting) {
    fs::createPrivateDirectories(defaultRoot());
    auto& m = start(clock);
    ASSERT_TRUE(QTest::qWaitFor([&] { return center->added.size() == 1; }, 5000));
    m.alerts().setAlertSettings(HealthAlertSettings{false, 14, std::nullopt});
    m.alerts().saveAlertSettings();
    EXPECT_TRUE(m.lastError().isNull());
    EXPECT_TRUE(m.alerts().activeAlerts().empty());
    const auto back = HealthAlertSettings::load((configDir() / "alerts.json").string());
    EXPECT_FALSE(back.enabled);
    EXPECT_EQ(back.warnAfterDays, 14);
    ASSERT_TRUE(kx::test::drainModelTasks(m));
    EXPECT_EQ(center->added.size(), 1u);
}

TEST_F(Alerts, ASettingsSaveThatFailsIsSaidAndTheListStillFollows) {
    fs::createPrivateDirectories(defaultRoot());
    writeAll(configDir() / "alerts.json", "{broken");
    auto& m = start(clock);
    m.alerts().setAlertSettings(HealthAlertSettings{false, 7, std::nullopt});
    m.alerts().saveAlertSettings();
    EXPECT_TRUE(m.lastError().startsWith("Could not save your notification settings: "));
    EXPECT_TRUE(m.alerts().activeAlerts().empty());
    EXPECT_EQ(readAll(configDir() / "alerts.json"), "{broken");
}
