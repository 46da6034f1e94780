#include "core/health/health_alert_policy.h"

#include <gtest/gtest.h>

using namespace kx;
using namespace std::chrono;

namespace {

const Date kNow = fromUnixSeconds(1'800'000'000);

CoverageReport succeededAt(Date when) {
    CoverageReport r;
    r.runDate = when - minutes(5);
    r.finishedAt = when;
    r.lastSuccessAt = when;
    return r;
}

std::vector<HealthAlert::Kind> kinds(const std::vector<HealthAlert>& alerts) {
    std::vector<HealthAlert::Kind> out;
    for (const auto& a : alerts) out.push_back(a.kind);
    return out;
}

} // namespace

TEST(HealthAlertPolicy, NoReportOnAReachableRootIsNeverRanAndMentionsAMissingSchedule) {
    const HealthAlertPolicy policy;
    auto alerts = policy.alerts(std::nullopt, false, "/archive", true, kNow);
    ASSERT_EQ(kinds(alerts), std::vector{HealthAlert::Kind::neverRan});
    EXPECT_EQ(alerts[0].title, "Your archive has never run");
    EXPECT_NE(alerts[0].body.find("Scan All Sources"), std::string::npos);
    EXPECT_NE(alerts[0].body.find("daily run is not turned on"), std::string::npos);
    alerts = policy.alerts(std::nullopt, true, "/archive", true, kNow);
    EXPECT_EQ(alerts[0].body.find("daily run"), std::string::npos);
}

TEST(HealthAlertPolicy, UnreachableRootSaysSoInsteadOfNeverRan) {
    const auto alerts = HealthAlertPolicy{}.alerts(std::nullopt, true, "/Volumes/Archive", false, kNow);
    ASSERT_EQ(kinds(alerts), std::vector{HealthAlert::Kind::destinationUnreachable});
    EXPECT_NE(alerts[0].body.find("/Volumes/Archive"), std::string::npos);
    EXPECT_EQ(alerts[0].title, "Archive drive not found");
}

TEST(HealthAlertPolicy, OwnersArchivesGoneFromTheRootAreNamedWithTheirFolders) {
    const HealthAlert one = HealthAlertPolicy::archivesNotFound({{"jorin", "/a/jorin"}});
    EXPECT_EQ(one.kind, HealthAlert::Kind::destinationUnreachable);
    EXPECT_EQ(one.sentence(), "Archive drive not found. Kelvara cannot find the archive of jorin at /a/jorin, although "
                              "a run archived into it. If you moved that folder, put it back; if the whole archive now "
                              "lives elsewhere, choose its place in Settings.");
    const HealthAlert three = HealthAlertPolicy::archivesNotFound(
        {{"jorin", "/a/jorin"}, {"sam", "/a/sam"}, {"jo/work", "/a/jo_work"}});
    EXPECT_EQ(three.body.substr(0, three.body.find(", although")),
              "Kelvara cannot find the archives of jorin (/a/jorin), sam (/a/sam) and jo/work (/a/jo_work)");
}

TEST(HealthAlertPolicy, RecentSuccessIsHealthyAndDisabledSettingsGiveNothing) {
    const auto report = succeededAt(kNow - hours(2));
    EXPECT_TRUE(HealthAlertPolicy{}.alerts(report, true, "/a", true, kNow).empty());
    EXPECT_TRUE((HealthAlertPolicy{false, 7}).alerts(std::nullopt, false, "/a", false, kNow).empty());
}

TEST(HealthAlertPolicy, StalenessFollowsTheWarnAfterDaysWithAStrictBoundary) {
    const HealthAlertPolicy policy{true, 2};
    EXPECT_TRUE(policy.alerts(succeededAt(kNow - hours(48)), true, "/a", true, kNow).empty());
    const auto alerts = policy.alerts(succeededAt(kNow - hours(48) - seconds(1)), true, "/a", true, kNow);
    ASSERT_EQ(kinds(alerts), std::vector{HealthAlert::Kind::stale});
    EXPECT_NE(alerts[0].body.find("2 days ago"), std::string::npos);
    // A day count below one counts as one.
    EXPECT_EQ(kinds((HealthAlertPolicy{true, 0}).alerts(succeededAt(kNow - hours(25)), true, "/a", true, kNow)),
              std::vector{HealthAlert::Kind::stale});
}

TEST(HealthAlertPolicy, FailedRunIsReportedWithItsReasonAndDoesNotRefreshTheArchive) {
    CoverageReport failed;
    failed.status = CoverageReport::Status::failed;
    failed.failure = "the disk is full.";
    failed.runDate = kNow - hours(1);
    failed.finishedAt = kNow - hours(1);
    failed.lastSuccessAt = kNow - days(10);
    const auto alerts = HealthAlertPolicy{}.alerts(failed, true, "/a", true, kNow);
    ASSERT_EQ(kinds(alerts), (std::vector{HealthAlert::Kind::runFailed, HealthAlert::Kind::stale}));
    EXPECT_NE(alerts[0].body.find("did not finish: the disk is full. Messages archived earlier are safe."),
              std::string::npos);
    EXPECT_NE(alerts[1].body.find("10 days ago"), std::string::npos);

    // Never succeeded: the failure alone, no staleness from nowhere.
    failed.lastSuccessAt.reset();
    EXPECT_EQ(kinds(HealthAlertPolicy{}.alerts(failed, true, "/a", true, kNow)),
              std::vector{HealthAlert::Kind::runFailed});
}

TEST(HealthAlertPolicy, UnreadableSourcesMakeOneAlertNamingThem) {
    auto report = succeededAt(kNow - hours(1));
    for (int i = 0; i < 5; ++i) {
        SourceOutcome o;
        o.sourceId = "s" + std::to_string(i);
        o.label = "Backup " + std::to_string(i);
        o.succeeded = i == 0;
        report.sources.push_back(o);
    }
    SourceOutcome coverageOnly;
    coverageOnly.sourceId = "html";
    coverageOnly.noMessages = true;
    report.sources.push_back(coverageOnly);
    const auto alerts = HealthAlertPolicy{}.alerts(report, true, "/a", true, kNow);
    ASSERT_EQ(kinds(alerts), std::vector{HealthAlert::Kind::sourceUnreachable});
    EXPECT_NE(alerts[0].body.find("could not read 4 message sources in the last run: Backup 1, Backup 2, Backup 3 "
                                  "and 1 more."),
              std::string::npos);
}

TEST(HealthAlertPolicy, OrderIsRootFailureSourcesStaleness) {
    auto report = succeededAt(kNow - days(30));
    report.status = CoverageReport::Status::failed;
    report.failure = "x";
    report.lastSuccessAt = kNow - days(30);
    SourceOutcome bad;
    bad.sourceId = "b";
    report.sources.push_back(bad);
    EXPECT_EQ(kinds(HealthAlertPolicy{}.alerts(report, false, "/a", false, kNow)),
              (std::vector{HealthAlert::Kind::destinationUnreachable, HealthAlert::Kind::runFailed,
                           HealthAlert::Kind::sourceUnreachable, HealthAlert::Kind::stale}));
}
