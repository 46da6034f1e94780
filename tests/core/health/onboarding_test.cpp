// The first-run flow's decisions: when a step may be left, and that the words
// never claim more than happened.
#include "core/health/onboarding.h"

#include "core/health/read_only_database.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace kx {
namespace {

using Gate = Onboarding::StepGate;
using Scan = Onboarding::ScanOutcome;
using Setting = RetentionPolicy::Setting;
using Step = Onboarding::Step;
using Verdict = FullDiskAccessProbe::Verdict;

Onboarding::State at(Step step) {
    Onboarding::State s;
    s.step = step;
    s.resolvedOwner = "jorin";
    return s;
}

TEST(Onboarding, StepsRunInOrderAndPositionsSuitTheHeader) {
    std::vector<Step> order{Step::welcome};
    while (auto n = Onboarding::next(order.back())) order.push_back(*n);
    EXPECT_EQ(order, (std::vector<Step>{Step::welcome, Step::fullDiskAccess, Step::archiveChoice, Step::firstScan}));
    ASSERT_EQ(static_cast<int>(order.size()), Onboarding::count);
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(Onboarding::position(order[i]), static_cast<int>(i) + 1);
        if (i > 0) {
            EXPECT_EQ(Onboarding::previous(order[i]), order[i - 1]);
        }
    }
    EXPECT_FALSE(Onboarding::previous(Step::welcome));
}

TEST(Onboarding, OnlyWhatMakesTheNextStepUselessBlocks) {
    // Welcome: a deleting Messages warns, nothing blocks.
    auto s = at(Step::welcome);
    EXPECT_EQ(Onboarding::gate(s), Gate::open());
    s.retention = Setting::ofDays(30);
    EXPECT_EQ(Onboarding::gate(s).kind, Gate::Kind::warning);
    EXPECT_NE(Onboarding::gate(s).text.find("30 Days"), std::string::npos);

    // Access: what the application itself lacks, or does not know yet, blocks.
    s = at(Step::fullDiskAccess);
    EXPECT_TRUE(Onboarding::gate(s).isBlocked()) << "not checked yet";
    s.fdaVerdict = Verdict::appBlocked("no");
    EXPECT_TRUE(Onboarding::gate(s).isBlocked());
    s.fdaVerdict = Verdict::scheduledBlocked("the job cannot");
    EXPECT_EQ(Onboarding::gate(s).kind, Gate::Kind::warning);
    s.fdaVerdict = Verdict::noDatabase();
    EXPECT_EQ(Onboarding::gate(s).kind, Gate::Kind::warning);
    s.fdaVerdict = Verdict::allGranted("fine");
    EXPECT_EQ(Onboarding::gate(s), Gate::open());

    // Archive choice: a choice, a finished join, a name that names a folder.
    s = at(Step::archiveChoice);
    EXPECT_TRUE(Onboarding::gate(s).isBlocked());
    s.archiveChoice = Onboarding::ArchiveChoice::join;
    EXPECT_TRUE(Onboarding::gate(s).isBlocked()) << "join chosen, not done";
    s.joinCompleted = true;
    EXPECT_EQ(Onboarding::gate(s), Gate::open());
    s.archiveChoice = Onboarding::ArchiveChoice::startNew;
    s.ownerProblem = "The archive name \"..\" cannot name a folder.";
    EXPECT_TRUE(Onboarding::gate(s).isBlocked());
    EXPECT_NE(Onboarding::gate(s).text.find("cannot name a folder"), std::string::npos);
    s.ownerProblem.reset();
    EXPECT_EQ(Onboarding::gate(s), Gate::open());

    // First scan: only a run in progress blocks; anything short of messages warns.
    s = at(Step::firstScan);
    EXPECT_EQ(Onboarding::gate(s).kind, Gate::Kind::warning);
    s.scan = Scan::running();
    EXPECT_TRUE(Onboarding::gate(s).isBlocked());
    s.scan = Scan::failed("disk full");
    EXPECT_EQ(Onboarding::gate(s).kind, Gate::Kind::warning);
    s.scan = Scan::archived(0);
    EXPECT_EQ(Onboarding::gate(s).kind, Gate::Kind::warning);
    s.scan = Scan::archived(12);
    EXPECT_EQ(Onboarding::gate(s), Gate::open());
    EXPECT_EQ(Onboarding::advanceLabel(s), "Done");
    s.scan = Scan::failed("disk full");
    EXPECT_NE(Onboarding::advanceLabel(s), "Done");
    EXPECT_EQ(Onboarding::advanceLabel(at(Step::welcome)), "Continue");
}

TEST(Onboarding, OutcomeAndSummaryNeverClaimAnArchiveThatDidNotHappen) {
    for (const Scan& notArchived :
         {Scan::notRun(), Scan::running(), Scan::failed("The disk is full."), Scan::archived(0)}) {
        const std::string text = Onboarding::scanResultText(notArchived);
        EXPECT_EQ(text.find("Archived."), std::string::npos) << text;
        auto s = at(Step::firstScan);
        s.scan = notArchived;
        const auto lines = Onboarding::summary(s);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front().rfind("WARNING", 0), 0u) << lines.front();
    }
    EXPECT_NE(Onboarding::scanResultText(Scan::failed("The disk is full.")).find("The disk is full."),
              std::string::npos);
    EXPECT_EQ(Onboarding::scanResultText(Scan::archived(1234567)),
              "Archived. Your archive now holds 1,234,567 messages.");
    EXPECT_EQ(Onboarding::scanResultText(Scan::archived(1)), "Archived. Your archive now holds 1 message.");

    auto s = at(Step::firstScan);
    s.scan = Scan::archived(40);
    s.fdaVerdict = Verdict::allGranted("fine");
    s.retention = Setting::ofDays(365);
    const auto lines = Onboarding::summary(s);
    EXPECT_EQ(lines.front(), "40 messages are in the archive \"jorin\".");
    int warnings = 0;
    for (const auto& line : lines) warnings += line.rfind("WARNING", 0) == 0;
    EXPECT_EQ(warnings, 1) << "Messages still deletes after a year";
    s.fdaVerdict = Verdict::scheduledBlocked("the job cannot");
    warnings = 0;
    for (const auto& line : Onboarding::summary(s)) warnings += line.rfind("WARNING", 0) == 0;
    EXPECT_EQ(warnings, 2);
}

TEST(Onboarding, TheWelcomeWordsFollowTheSetting) {
    const std::string deleting = Onboarding::welcomeHeadline(Setting::ofDays(30));
    EXPECT_NE(deleting.find("30 Days"), std::string::npos);
    EXPECT_EQ(Onboarding::welcomeHeadline(Setting::ofDays(0)), Onboarding::welcomeHeadline(Setting::keepForever()));
    EXPECT_NE(Onboarding::welcomeBody(Setting::unreadable("no preferences file")).find("no preferences file"),
              std::string::npos);
    EXPECT_NE(Onboarding::welcomeBody(Setting::ofDays(365)).find("1 Year"), std::string::npos);
}

TEST(LiveMessagesProbe, CountsMessagesAndFindsTheOldestDate) {
    test::TempDir dir;
    const std::string path = (dir / "chat.db").string();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE other(x)", nullptr, nullptr, nullptr);
    {
        ReadOnlyDatabase ro(path);
        const auto summary = LiveMessagesProbe::summarize(ro);
        EXPECT_EQ(summary.messages, 0) << "no message table";
        EXPECT_FALSE(summary.oldest);
    }
    // Dates in nanoseconds since 2001, one undated row.
    sqlite3_exec(db,
                 "CREATE TABLE message(ROWID INTEGER PRIMARY KEY, date INTEGER);"
                 "INSERT INTO message(date) VALUES (0), (700000000000000000), (600000000000000000);",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    ReadOnlyDatabase ro(path);
    const auto summary = LiveMessagesProbe::summarize(ro);
    EXPECT_EQ(summary.messages, 3);
    ASSERT_TRUE(summary.oldest);
    EXPECT_EQ(toUnixSeconds(*summary.oldest), 978307200.0 + 600000000.0);
}

} // namespace
} // namespace kx
