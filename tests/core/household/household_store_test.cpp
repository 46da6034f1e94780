#include "core/household/household_store.h"

#include "core/platform/error.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace kx;
using namespace std::chrono;

namespace {

const Date kNow = sys_days{2026y / 12 / 9} + 12h;

unsigned modeOf(const std::filesystem::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 0777;
}

Household sample() {
    Household h;
    h.recordRun("jorin", "MAC-1", "Jorin's laptop", kNow - hours(5), 12);
    h.recordRun("sam/work", "MAC-2", "Sam \"quoted\" Mac", kNow - days(9), 0);
    h.makeHost("jorin");
    h.members[0].macs[0].totalMessages = 54021;
    h.members[1].macs.push_back(ContributingMac{"MAC-9", "Never ran", std::nullopt, 0, 0, false});
    h.unlinked.emplace_back("gone", kNow - days(40));
    h.unlinked.emplace_back("never", std::nullopt);
    return h;
}

MachineReport report(const std::string& owner, const std::string& id, Date at, std::int64_t total = 10,
                     std::optional<std::int64_t> fresh = 1) {
    return MachineReport{id, "Name of " + id, owner, time_point_cast<milliseconds>(at), fresh, total};
}

} // namespace

TEST(HouseholdStore, LoadTellsNoFileFromLoadedFromDamaged) {
    test::TempDir dir;
    const std::string config = dir.path().string();
    EXPECT_EQ(HouseholdStore::path(config), (dir / "household.json").string());

    auto none = HouseholdStore::load(config);
    EXPECT_EQ(none.outcome, HouseholdLoad::Outcome::noFile);
    EXPECT_TRUE(none.problem.empty());

    const Household h = sample();
    EXPECT_TRUE(HouseholdStore::save(h, config, false));
    auto loaded = HouseholdStore::load(config);
    ASSERT_EQ(loaded.outcome, HouseholdLoad::Outcome::loaded);
    EXPECT_EQ(loaded.household, h); // every field survives, dates to the millisecond

    for (const std::string bad :
         {"{ not json", "[]", R"({"members": [{"owner": ""}]})", R"({"members": [{"owner": "a", "role": "boss"}]})",
          R"({"members": [{"owner": "a"}, {"owner": "a"}]})",
          R"({"members": [{"owner": "a", "macs": [{"machineID": "X", "lastRunAt": "yesterday"}]}]})",
          R"({"members": [{"owner": "a", "macs": [{"machineID": "X", "totalMessages": -1}]}]})",
          R"({"members": {"owner": "a"}})", R"({"version": 2, "members": []})"}) {
        test::writeAll(dir / "household.json", bad);
        auto damaged = HouseholdStore::load(config);
        EXPECT_EQ(damaged.outcome, HouseholdLoad::Outcome::problem) << bad;
        EXPECT_FALSE(damaged.problem.empty()) << bad;
    }
}

TEST(HouseholdStore, UnreadableFileIsAProblemNotAMissingFile) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "household.json"); // something there that is not a readable file
    EXPECT_EQ(HouseholdStore::load(dir.path().string()).outcome, HouseholdLoad::Outcome::problem);
    std::filesystem::remove(dir / "household.json");
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not apply to root";
    test::writeAll(dir / "household.json", R"({"members": []})");
    ::chmod((dir / "household.json").c_str(), 0);
    auto load = HouseholdStore::load(dir.path().string());
    EXPECT_EQ(load.outcome, HouseholdLoad::Outcome::problem);
    ::chmod((dir / "household.json").c_str(), 0600);
}

TEST(HouseholdStore, BlockedSaveLeavesTheDamagedFileByteForByte) {
    test::TempDir dir;
    const std::string damaged = "{\"members\": [ truncated";
    test::writeAll(dir / "household.json", damaged);
    const auto load = HouseholdStore::load(dir.path().string());
    ASSERT_EQ(load.outcome, HouseholdLoad::Outcome::problem);
    EXPECT_FALSE(HouseholdStore::save(sample(), dir.path().string(), true));
    EXPECT_EQ(test::readAll(dir / "household.json"), damaged);
}

TEST(HouseholdStore, SaveCreatesPrivateFolderAndFile) {
    test::TempDir dir;
    const auto config = dir / "a" / "Kelvara";
    EXPECT_TRUE(HouseholdStore::save(sample(), config.string(), false));
    EXPECT_EQ(modeOf(config), 0700u);
    EXPECT_EQ(modeOf(config / "household.json"), 0600u);
}

TEST(HouseholdStore, FailedSaveThrowsAndKeepsThePreviousFile) {
    test::TempDir dir;
    test::writeAll(dir / "not-a-folder", "x");
    EXPECT_THROW(HouseholdStore::save(sample(), (dir / "not-a-folder").string(), false), Error);
    EXPECT_EQ(test::readAll(dir / "not-a-folder"), "x");
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not apply to root";
    ASSERT_TRUE(HouseholdStore::save(sample(), dir.path().string(), false));
    const std::string before = test::readAll(dir / "household.json");
    ::chmod(dir.path().c_str(), 0500);
    Household changed = sample();
    changed.name = "Changed";
    EXPECT_THROW(HouseholdStore::save(changed, dir.path().string(), false), Error);
    ::chmod(dir.path().c_str(), 0700);
    EXPECT_EQ(test::readAll(dir / "household.json"), before);
}

TEST(HouseholdMerge, AddsMembersAndMacsAndReportsChanges) {
    Household h;
    const std::vector<MachineReport> reports = {report("jorin", "M1", kNow - hours(1), 100, 5),
                                                report("sam", "M2", kNow - hours(2), 50, std::nullopt)};
    EXPECT_EQ(HouseholdStore::merge(reports, h, {}), 4);
    ASSERT_EQ(h.members.size(), 2u);
    // Applied in run-date order: sam's older report first.
    EXPECT_EQ(h.members[0].owner, "sam");
    EXPECT_EQ(h.members[0].role, Household::Role::member);
    EXPECT_EQ(h.members[0].macs[0].displayName, "Name of M2");
    EXPECT_EQ(h.members[0].macs[0].lastRunNewMessages, 0);
    EXPECT_EQ(h.members[1].macs[0].lastRunNewMessages, 5);
    EXPECT_EQ(h.members[1].macs[0].totalMessages, 100);

    // The same reports again change nothing (so nothing needs to be written).
    EXPECT_EQ(HouseholdStore::merge(reports, h, {}), 0);
}

TEST(HouseholdMerge, NewerReportsUpdateAndOlderOnesNeverRollBack) {
    Household h;
    h.recordRun("jorin", "M1", "Laptop", kNow - hours(1), 7);
    EXPECT_EQ(HouseholdStore::merge({report("jorin", "M1", kNow - days(3), 1, 0)}, h, {}), 0);
    EXPECT_EQ(h.members[0].macs[0].lastRunNewMessages, 7);
    EXPECT_EQ(HouseholdStore::merge({report("jorin", "M1", kNow, 900, 2)}, h, {}), 1);
    EXPECT_EQ(h.members[0].macs[0].lastRunAt, time_point_cast<milliseconds>(kNow));
    EXPECT_EQ(h.members[0].macs[0].totalMessages, 900);
    EXPECT_EQ(h.members[0].macs[0].displayName, "Laptop"); // a report's name does not rename a listed Mac
}

TEST(HouseholdMerge, DisplayNameMapNamesNewAndListedMacs) {
    Household h;
    h.recordRun("jorin", "M1", "Old name", kNow - hours(1), 0);
    const std::map<std::string, std::string> names = {{"M1", "This Mac now"}, {"M5", "Renamed before"}, {"M6", ""}};
    const int changes = HouseholdStore::merge({report("jorin", "M5", kNow, 1, 1), report("jorin", "M6", kNow, 1, 1)}, h,
                                              names);
    EXPECT_EQ(changes, 3); // two added, one renamed
    EXPECT_EQ(h.members[0].macs[0].displayName, "This Mac now");
    EXPECT_EQ(h.members[0].macs[1].displayName, "Renamed before");
    EXPECT_EQ(h.members[0].macs[2].displayName, "Name of M6"); // an empty map name is not used
    EXPECT_EQ(HouseholdStore::merge({}, h, names), 0);
}

// A name the user gives a Mac wins over the system's name that every run and
// every visit of the list bring, on every row of that Mac, until the user
// changes it; it is kept through the household file.
TEST(HouseholdMerge, ANameTheUserGaveSurvivesRunsVisitsAndReloads) {
    Household h;
    h.recordRun("jorin", "M1", "jorins-laptop", kNow - hours(2), 3);
    ASSERT_TRUE(h.renameMac("M1", "Kitchen Mac"));
    h.recordRun("jorin", "M1", "jorins-laptop", kNow - hours(1), 4); // the next run
    EXPECT_EQ(h.members[0].macs[0].displayName, "Kitchen Mac");
    // A visit of the list passes this machine's system name for its id.
    HouseholdStore::merge({report("jorin", "M1", kNow)}, h, {{"M1", "jorins-laptop"}});
    EXPECT_EQ(h.members[0].macs[0].displayName, "Kitchen Mac");
    // A row of another owner for the same Mac takes the name too.
    h.recordRun("sam", "M1", "jorins-laptop", kNow, 1);
    EXPECT_EQ(h.member("sam")->macs[0].displayName, "Kitchen Mac");

    test::TempDir dir;
    HouseholdStore::save(h, dir.path().string(), false);
    Household loaded = HouseholdStore::load(dir.path().string()).household;
    EXPECT_EQ(loaded, h);
    HouseholdStore::merge({}, loaded, {{"M1", "jorins-laptop"}});
    EXPECT_EQ(loaded.members[0].macs[0].displayName, "Kitchen Mac");
    // The user's next name replaces it.
    loaded.renameMac("M1", "Study Mac");
    loaded.recordRun("jorin", "M1", "jorins-laptop", kNow, 0);
    EXPECT_EQ(loaded.members[0].macs[0].displayName, "Study Mac");
}

TEST(HouseholdMerge, UnlinkedMemberReturnsOnlyWithANewerReport) {
    Household h;
    const auto old = report("sam", "M2", kNow - days(2));
    HouseholdStore::merge({old}, h, {});
    ASSERT_TRUE(h.unlink("sam"));
    EXPECT_EQ(HouseholdStore::merge({old}, h, {}), 0);
    EXPECT_EQ(h.member("sam"), nullptr);
    EXPECT_GT(HouseholdStore::merge({report("sam", "M2", kNow)}, h, {}), 0);
    ASSERT_NE(h.member("sam"), nullptr);
    EXPECT_TRUE(h.unlinked.empty());
}
