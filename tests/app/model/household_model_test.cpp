// Renaming Macs and folding in the run reports other machines leave.
#include "core/archive/machine_run_report.h"
#include "core/household/household_store.h"
#include "tests/app/model/model_test_support.h"

#include <QThreadPool>

namespace fs = std::filesystem;

namespace {

class HouseholdModel : public kx::test::ModelTest {
protected:
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
    void settle() {
        QThreadPool::globalInstance()->waitForDone();
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    }
};

} // namespace

TEST_F(HouseholdModel, ReportsOfOtherMacsAreMergedAndSavedOnlyWhenSomethingChanged) {
    start();
    fs::create_directories(defaultRoot());
    report("MAC-A", "Studio", "jorin", 120);
    report("MAC-B", "Laptop", "sam", 40);
    kx::test::writeAll(defaultRoot() / "EVIL.machine-run.json", "{\"machineID\": \"../../x\"");
    model->refreshHousehold();
    settle();
    const auto& members = model->household().members;
    ASSERT_EQ(members.size(), 2u);
    ASSERT_TRUE(fs::exists(householdFile()));
    EXPECT_EQ(stored(), model->household());
    ASSERT_EQ(model->skippedMachineReports().size(), 1);
    EXPECT_TRUE(model->skippedMachineReports()[0].startsWith("The machine report \"EVIL.machine-run.json\" was left out: "))
        << model->skippedMachineReports()[0].toStdString();

    // The same reports again change nothing, so nothing is written (the file
    // removed here is not written back).
    const auto before = model->household();
    fs::remove(householdFile());
    model->refreshHousehold();
    settle();
    EXPECT_EQ(model->household(), before);
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
    model->refreshHousehold();
    settle();
    ASSERT_TRUE(fs::exists(householdFile()));
    EXPECT_EQ(stored().members.at(1).macs.at(0).totalMessages, 45);
}

TEST_F(HouseholdModel, ThisMacsCurrentNameWinsOverTheStoredOne) {
    start();
    fs::create_directories(defaultRoot());
    report(model->machineID().toStdString(), "Old name", "jorin", 5);
    model->refreshHousehold();
    settle();
    ASSERT_EQ(model->household().members.at(0).macs.size(), 1u);
    EXPECT_EQ(model->household().members[0].macs[0].displayName, model->machineName().toStdString());
}

TEST_F(HouseholdModel, RenamingTrimsSavesAndRefusesBlankNames) {
    start();
    fs::create_directories(defaultRoot());
    report("MAC-A", "Studio", "jorin", 1);
    model->refreshHousehold();
    settle();

    model->renameMac("MAC-A", "  Office iMac \n");
    EXPECT_EQ(model->household().members[0].macs[0].displayName, "Office iMac");
    EXPECT_EQ(stored().members[0].macs[0].displayName, "Office iMac");

    model->renameMac("MAC-A", " \t\n");
    EXPECT_EQ(model->lastError(), "A Mac's name cannot be blank.");
    EXPECT_EQ(model->household().members[0].macs[0].displayName, "Office iMac");

    fs::remove(householdFile());
    model->renameMac("NOBODY", "Ghost");  // nothing matches: the household is saved all the same
    EXPECT_TRUE(fs::exists(householdFile()));
}

TEST_F(HouseholdModel, AHouseholdFileThatFailedToLoadIsNeverWritten) {
    kx::test::writeAll(householdFile(), "{ not json");
    start();
    ASSERT_FALSE(model->householdLoadProblem().isNull());
    fs::create_directories(defaultRoot());
    report("MAC-A", "Studio", "jorin", 1);
    model->refreshHousehold();
    settle();
    model->renameMac("MAC-A", "Office");
    EXPECT_EQ(model->household().members.at(0).macs.at(0).displayName, "Office");  // the screen changes
    EXPECT_EQ(kx::test::readAll(householdFile()), "{ not json");                    // the file does not
}
