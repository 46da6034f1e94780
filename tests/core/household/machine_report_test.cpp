#include "core/archive/machine_run_report.h"
#include "core/household/household_store.h"
#include "core/household/machine_report.h"

#include "core/platform/error.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

using namespace kx;
using namespace std::chrono;

namespace {

const Date kNow = sys_days{2026y / 12 / 9} + 12h;

nlohmann::json validReport(const std::string& id) {
    return {{"formatVersion", 1},
            {"machineID", id},
            {"computerName", "Jorin's laptop"},
            {"runAt", "2026-12-09T04:30:00.000Z"},
            {"succeeded", true},
            {"messageCount", 130},
            {"owners",
             {{{"owner", "jorin"}, {"messageCount", 120}, {"newMessages", 4}},
              {{"owner", "sam"}, {"messageCount", 10}}}}};
}

std::string reasonFor(const MachineReportScan& scan, const std::string& fileName) {
    for (const auto& s : scan.skipped)
        if (std::filesystem::path(s.path).filename() == fileName) return s.reason;
    return {};
}

} // namespace

TEST(MachineReport, ParsesOneEntryPerOwner) {
    const auto reports = parseMachineReport(validReport("ABC-1").dump(), kNow);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].machineID, "ABC-1");
    EXPECT_EQ(reports[0].machineName, "Jorin's laptop");
    EXPECT_EQ(reports[0].owner, "jorin");
    EXPECT_EQ(reports[0].runAt, *parseISO8601("2026-12-09T04:30:00.000Z"));
    EXPECT_EQ(reports[0].newMessages, 4);
    EXPECT_EQ(reports[0].totalMessages, 120);
    EXPECT_EQ(reports[1].owner, "sam");
    EXPECT_FALSE(reports[1].newMessages.has_value());
}

TEST(MachineReport, RejectsMalformedAndHostileContent) {
    struct Case {
        const char* what;
        std::function<void(nlohmann::json&)> change;
    };
    const std::vector<Case> cases = {
        {"newer version", [](auto& j) { j["formatVersion"] = 2; }},
        {"no version", [](auto& j) { j.erase("formatVersion"); }},
        {"id with slash", [](auto& j) { j["machineID"] = "../etc"; }},
        {"id starting with dot", [](auto& j) { j["machineID"] = ".hidden"; }},
        {"name not text", [](auto& j) { j["computerName"] = 5; }},
        {"control character", [](auto& j) { j["computerName"] = "evil\x1b[2Jname"; }},
        {"C1 control",
         [](auto& j) {
             j["owners"][0]["owner"] = "a\xc2\x9b"
                                       "b";
         }},
        {"long name", [](auto& j) { j["computerName"] = std::string(300, 'x'); }},
        {"bad date", [](auto& j) { j["runAt"] = "last tuesday"; }},
        {"future date", [](auto& j) { j["runAt"] = "2027-06-01T00:00:00Z"; }},
        {"failed run", [](auto& j) { j["succeeded"] = false; }},
        {"no success flag", [](auto& j) { j.erase("succeeded"); }},
        {"negative count", [](auto& j) { j["owners"][0]["messageCount"] = -3; }},
        {"huge count", [](auto& j) { j["owners"][0]["messageCount"] = 1e300; }},
        {"fractional count", [](auto& j) { j["messageCount"] = 1.5; }},
        {"empty owner", [](auto& j) { j["owners"][0]["owner"] = ""; }},
        {"owner twice", [](auto& j) { j["owners"][1]["owner"] = "jorin"; }},
        {"owners not a list", [](auto& j) { j["owners"] = "jorin"; }},
        {"owner entry not object", [](auto& j) { j["owners"][0] = 3; }},
    };
    for (const auto& c : cases) {
        auto j = validReport("ABC-1");
        c.change(j);
        EXPECT_THROW(parseMachineReport(j.dump(), kNow), Error) << c.what;
    }
    EXPECT_THROW(parseMachineReport("not json", kNow), Error);
    EXPECT_THROW(parseMachineReport("[1,2]", kNow), Error);
    EXPECT_THROW(parseMachineReport("\xff\xfe{}", kNow), Error);
    // Invalid UTF-8 inside a text.
    std::string bytes = validReport("ABC-1").dump();
    bytes.replace(bytes.find("Jorin"), 5, "J\xc3(rn");
    EXPECT_THROW(parseMachineReport(bytes, kNow), Error);
}

TEST(MachineReport, ScanSkipsBadFilesWithReasonsAndKeepsGoodOnes) {
    test::TempDir root;
    test::writeAll(root / "GOOD-1.machine-run.json", validReport("GOOD-1").dump());
    test::writeAll(root / "GOOD-2.machine-run.json", validReport("GOOD-2").dump());
    test::writeAll(root / "BROKEN.machine-run.json", "{\"formatVersion\": 1,");
    test::writeAll(root / "OTHER.machine-run.json", validReport("SOMEONE-ELSE").dump());
    test::writeAll(root / "BIG.machine-run.json", std::string(70 * 1024, ' '));
    test::writeAll(root / "STATUS.json", "{}"); // not a report: ignored silently
    test::writeAll(root / ".GOOD-3.machine-run.json.tmp-abc", validReport("GOOD-3").dump());
    std::filesystem::create_directories(root / "jorin");
    std::filesystem::create_symlink(root / "GOOD-1.machine-run.json", root / "LINK.machine-run.json");
    ASSERT_EQ(::mkfifo((root / "FIFO.machine-run.json").c_str(), 0600), 0);
    std::filesystem::create_directories(root / "DIR.machine-run.json");

    const auto scan = HouseholdStore::machineReports(root.path().string(), kNow);
    ASSERT_EQ(scan.reports.size(), 4u); // two owners in each good file
    EXPECT_EQ(scan.reports[0].machineID, "GOOD-1");
    EXPECT_EQ(scan.reports[2].machineID, "GOOD-2");
    EXPECT_EQ(scan.skipped.size(), 6u);
    EXPECT_EQ(reasonFor(scan, "BROKEN.machine-run.json"), "the report is not valid JSON");
    EXPECT_EQ(reasonFor(scan, "OTHER.machine-run.json"), "the machine id inside does not match the file name");
    EXPECT_EQ(reasonFor(scan, "BIG.machine-run.json"), "it is larger than 64 KiB");
    EXPECT_EQ(reasonFor(scan, "LINK.machine-run.json"), "it is a link, not a file");
    EXPECT_EQ(reasonFor(scan, "FIFO.machine-run.json"), "it is not a regular file");
    EXPECT_FALSE(reasonFor(scan, "DIR.machine-run.json").empty());
}

TEST(MachineReport, MissingRootGivesNothingAndNeverThrows) {
    test::TempDir dir;
    const auto scan = HouseholdStore::machineReports((dir / "not-there").string(), kNow);
    EXPECT_TRUE(scan.reports.empty());
    EXPECT_TRUE(scan.skipped.empty());
    test::writeAll(dir / "file", "x");
    EXPECT_TRUE(HouseholdStore::machineReports((dir / "file").string(), kNow).reports.empty());
}

TEST(MachineReport, ScannedReportsMergeIntoTheHousehold) {
    test::TempDir root;
    test::writeAll(root / "GOOD-1.machine-run.json", validReport("GOOD-1").dump());
    Household h;
    const auto scan = HouseholdStore::machineReports(root.path().string(), kNow);
    EXPECT_EQ(HouseholdStore::merge(scan.reports, h, {{"GOOD-1", "Kitchen"}}), 4);
    ASSERT_EQ(h.members.size(), 2u);
    EXPECT_EQ(h.members[0].macs[0].displayName, "Kitchen");
    EXPECT_EQ(h.members[0].macs[0].lastRunNewMessages, 4);
}

TEST(MachineReport, MachineIDRules) {
    EXPECT_TRUE(isValidMachineID("8C2E5F1A-0B3D-4E6F-9A1B-2C3D4E5F6A7B"));
    EXPECT_TRUE(isValidMachineID("host_1.local"));
    EXPECT_FALSE(isValidMachineID(""));
    EXPECT_FALSE(isValidMachineID(".."));
    EXPECT_FALSE(isValidMachineID("a/b"));
    EXPECT_FALSE(isValidMachineID("a b"));
    EXPECT_FALSE(isValidMachineID(std::string(129, 'a')));
}

// The engine writes the reports; this reader must accept exactly what it writes.
TEST(MachineReport, ReadsWhatTheEngineWrites) {
    test::TempDir root;
    MachineRunReport written;
    written.machineID = "8C2E5F1A-0B3D-4E6F-9A1B-2C3D4E5F6A7B";
    written.computerName = "Jorin's laptop";
    written.runAt = time_point_cast<milliseconds>(kNow - hours(2));
    written.succeeded = true;
    written.messageCount = 130;
    written.owners = {{"jorin", 120}, {"sam", 10}};
    written.write(root.path().string());

    const auto scan = HouseholdStore::machineReports(root.path().string(), kNow);
    EXPECT_TRUE(scan.skipped.empty()) << scan.skipped.front().reason;
    ASSERT_EQ(scan.reports.size(), 2u);
    EXPECT_EQ(scan.reports[0].machineID, written.machineID);
    EXPECT_EQ(scan.reports[0].machineName, "Jorin's laptop");
    EXPECT_EQ(scan.reports[0].owner, "jorin");
    EXPECT_EQ(scan.reports[0].runAt, written.runAt);
    EXPECT_EQ(scan.reports[0].totalMessages, 120);
    EXPECT_EQ(scan.reports[1].owner, "sam");

    written.succeeded = false; // a failed run says nothing about when the machine last archived
    written.write(root.path().string());
    const auto failed = HouseholdStore::machineReports(root.path().string(), kNow);
    EXPECT_TRUE(failed.reports.empty());
    ASSERT_EQ(failed.skipped.size(), 1u);
    EXPECT_EQ(failed.skipped[0].reason, "the run it describes failed");
}
