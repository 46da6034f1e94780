#include "core/health/health_alert_settings.h"

#include "core/platform/error.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace kx;

TEST(HealthAlertSettings, DefaultsAreOnAndSevenDays) {
    const HealthAlertSettings s;
    EXPECT_TRUE(s.enabled);
    EXPECT_EQ(s.warnAfterDays, 7);
    EXPECT_FALSE(s.loadProblem);
    const HealthAlertSettings fromAggregate{false, 14, std::nullopt};
    EXPECT_FALSE(fromAggregate.enabled);
    EXPECT_EQ(fromAggregate.warnAfterDays, 14);
}

TEST(HealthAlertSettings, MissingFileGivesDefaultsWithoutAProblemAndSavesRoundTrip) {
    test::TempDir dir;
    const std::string path = (dir / "Kelvara" / "alerts.json").string();
    auto s = HealthAlertSettings::load(path);
    EXPECT_TRUE(s.sameSettings(HealthAlertSettings{}));
    EXPECT_FALSE(s.loadProblem);
    s.enabled = false;
    s.warnAfterDays = 30;
    s.save(path);
    struct stat st {};
    ::stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const auto back = HealthAlertSettings::load(path);
    EXPECT_FALSE(back.loadProblem);
    EXPECT_FALSE(back.enabled);
    EXPECT_EQ(back.warnAfterDays, 30);
}

TEST(HealthAlertSettings, PartialFileKeepsDefaultsForMissingKeys) {
    test::TempDir dir;
    test::writeAll(dir / "alerts.json", R"({"warnAfterDays": 2, "future": "ignored"})");
    const auto s = HealthAlertSettings::load((dir / "alerts.json").string());
    EXPECT_FALSE(s.loadProblem);
    EXPECT_TRUE(s.enabled);
    EXPECT_EQ(s.warnAfterDays, 2);
}

TEST(HealthAlertSettings, DamagedFileIsReportedAndNeverOverwritten) {
    test::TempDir dir;
    int n = 0;
    for (const std::string bad : {"{ oops", "[true, 7]", R"({"enabled": "yes"})", R"({"warnAfterDays": 0})",
                                  R"({"warnAfterDays": 99999})", R"({"warnAfterDays": 7.5})"}) {
        const auto path = (dir / ("alerts-" + std::to_string(n++) + ".json")).string();
        test::writeAll(path, bad);
        auto s = HealthAlertSettings::load(path);
        ASSERT_TRUE(s.loadProblem) << bad;
        EXPECT_TRUE(s.sameSettings(HealthAlertSettings{})) << bad;
        s.enabled = false;
        EXPECT_THROW(s.save(path), Error) << bad;
        // A value made afresh (without the problem) is refused for that path too.
        EXPECT_THROW((HealthAlertSettings{false, 2, std::nullopt}.save(path)), Error) << bad;
        EXPECT_EQ(test::readAll(path), bad);
    }
}

TEST(HealthAlertSettings, RefusesToSaveAnUnusableDayCount) {
    test::TempDir dir;
    const auto path = (dir / "alerts.json").string();
    EXPECT_THROW((HealthAlertSettings{true, 0, std::nullopt}.save(path)), Error);
    EXPECT_FALSE(std::filesystem::exists(path));
}
