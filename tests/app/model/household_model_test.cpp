// Renaming Macs and folding in the run reports other machines leave.
#include "core/archive/machine_run_report.h"
#include "core/household/household_store.h"
#include "tests/app/model/model_test_support.h"

namespace fs = std::filesystem;

namespace {

class HouseholdModelTest : public kx::test::ModelTest {
protected:
    ::HouseholdModel& household() const { return model->householdModel(); }
    fs::path householdFile() const { return configDir() / "household.json"; }
    kx::Household stored() const { return kx::HouseholdStore::parseJson(kx::test::readAll(householdFile())); }
    void report(const std::string& id, const std::string& computer, const std::string& owner, int64_t count) {
        kx::MachineRunReport r;
        r.machineID = id;
        r.computerName = computer;
        r.runAt = kx::fromUnixSeconds(1.7e9);
        r.messageCount = count;
        r.owners = {{owner, count}};
        r.write(defaultRoot().string());
    }
    void settle() { ASSERT_TRUE(kx::test::drainModelTasks(*model)); }
};

} // namespace

TEST_F(HouseholdModelTest, ReportsOfOtherMacsAreMergedAndSavedOnlyWhenSomethingChanged) {
    start();
    fs::create_directories(defaultRoot());
    report("MAC-A", "Studio", "jorin", 120);
    report("MAC-B", "Laptop", "sam", 40);
    kx::test::writeAll(defaultRoot() / "EVIL.machine-run.json", "{\"machineID\": \"../../x\"");
    household().refreshHousehold();
    settle();
    const auto& members = household().household().members;
    ASSERT_EQ(members.size(), 2u);
    ASSERT_TRUE(fs::exists(householdFile()));
    EXPECT_EQ(stored(), household().household());
    ASSERT_EQ(household().skippedMachineReports().size(), 1);
    EXPECT_TRUE(household().skippedMachineReports()[0].startsWith(
        "The machine report \"EVIL.machine-run.json\" was left out: "))
        << household().skippedMachineReports()[0].toStdString();

    // The same reports again change nothing, so nothing is written (the file
    // removed here is not written back).
    const auto before = household().household();
    fs::remove(householdFile());
    household().refreshHousehold();
    settle();
    EXPECT_EQ(household().household(), before);
    EXPECT_FALSE(fs::exists(householdFile()));

    // A newer report is news: merged and saved.
    report("MAC-B", "Laptop", "sam", 41);
    kx::MachineRunReport newer;
    newer.machineID = "MAC-B";
    newer.computerName = "Laptop";
    newer.runAt = kx::fromUnixSeconds(1.7e9 + 3600);
    newer.messageCount = 45;
    newer.owners = {{"sam", 45}};
    newer.write(defaultRoot().string());
    household().refreshHousehold();
    settle();
    ASSERT_TRUE(fs::exists(householdFile()));
    EXPECT_EQ(stored().members.at(1).macs.at(0).totalMessages, 45);
}

TEST_F(HouseholdModelTest, ThisMacsCurrentNameWinsOverTheStoredOne) {
    start();
    fs::create_directories(defaultRoot());
    report(household().machineID().toStdString(), "Old name", "jorin", 5);
    household().refreshHousehold();
    settle();
    ASSERT_EQ(household().household().members.at(0).macs.size(), 1u);
    EXPECT_EQ(household().household().members[0].macs[0].displayName, household().machineName().toStdString());
}

TEST_F(HouseholdModelTest, RenamingTrimsSavesAndRefusesBlankNames) {
    start();
    fs::create_directories(defaultRoot());
    report("MAC-A", "Studio", "jorin", 1);
    household().refreshHousehold();
    settle();

    household().renameMac("MAC-A", "  Office iMac \n");
    EXPECT_EQ(household().household().members[0].macs[0].displayName, "Office iMac");
    EXPECT_EQ(stored().members[0].macs[0].displayName, "Office iMac");

    household().renameMac("MAC-A", " \t\n");
    EXPECT_EQ(model->lastError(), "A Mac's name cannot be blank.");
    EXPECT_EQ(household().household().members[0].macs[0].displayName, "Office iMac");

    fs::remove(householdFile());
    household().renameMac("NOBODY", "Ghost"); // nothing matches: the household is saved all the same
    EXPECT_TRUE(fs::exists(householdFile()));
}

TEST_F(HouseholdModelTest, AHouseholdFileThatFailedToLoadIsNeverWritten) {
    kx::test::writeAll(householdFile(), "{ not json");
    start();
    ASSERT_FALSE(household().householdLoadProblem().isNull());
    fs::create_directories(defaultRoot());
    report("MAC-A", "Studio", "jorin", 1);
    household().refreshHousehold();
    settle();
    // A change that could not be saved is refused with a sentence, not shown as made.
    household().renameMac("MAC-A", "Office");
    EXPECT_EQ(household().household().members.at(0).macs.at(0).displayName, "Studio");
    EXPECT_EQ(model->lastError(), HouseholdModel::lockedSentence());
    household().unlinkMember("jorin");
    EXPECT_EQ(household().household().members.size(), 1u);
    EXPECT_EQ(kx::test::readAll(householdFile()), "{ not json");
}
