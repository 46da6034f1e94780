// Which stored objects a run reads back: a rolling share that covers the whole
// backup within a cycle of runs.
#include "core/backup/stored_audit.h"

#include "core/backup/archive_walk.h"
#include "core/backup/backup_engine.h"
#include "core/backup/local_destination.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/core/backup/hooked_destination.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace kx;
namespace stdfs = std::filesystem;

TEST(StoredAudit, RunsAfterRunTheSampleRollsOverEveryObjectWithinACycle) {
    std::vector<StoredObject> objects;
    for (int i = 0; i < 600; ++i)
        objects.push_back({"kelvara/jorin/objects/" + std::to_string(1000 + (i * 7919) % 600), 4096, "", ""});
    std::set<std::string> seen;
    std::string next;
    size_t runs = 0;
    while (seen.size() < objects.size() && runs < 100) {
        AuditPlan plan = planAudit(objects, next, false);
        ASSERT_EQ(plan.chosen.size(), 20u); // a thirtieth of 600
        for (size_t i : plan.chosen) EXPECT_TRUE(seen.insert(objects[i].name).second) << "read twice within a cycle";
        next = plan.next;
        ++runs;
    }
    EXPECT_EQ(runs, kAuditCycle);
    // The cycle starts again from the first name.
    AuditPlan again = planAudit(objects, next, false);
    EXPECT_EQ(objects[again.chosen.front()].name, *seen.begin());

    // An object due now is read on top of the share, wherever the rotation stands, without moving it.
    auto last = std::max_element(objects.begin(), objects.end(), [](auto& a, auto& b) { return a.name < b.name; });
    last->due = true;
    AuditPlan withDue = planAudit(objects, next, false);
    ASSERT_EQ(withDue.chosen.size(), again.chosen.size() + 1);
    EXPECT_EQ(objects[withDue.chosen.back()].name, last->name);
    EXPECT_EQ(withDue.next, again.next);
}

TEST(StoredAudit, SmallBackupsBigObjectsAndRequestsForEverything) {
    std::vector<StoredObject> few = {{"c", 10, "", ""}, {"a", 10, "", ""}, {"b", 10, "", ""}};
    AuditPlan all3 = planAudit(few, "", false); // fewer than the minimum: all of them, in name order
    ASSERT_EQ(all3.chosen, (std::vector<size_t>{1, 2, 0}));
    EXPECT_EQ(all3.next, "");

    // Large objects: the share stops at about a fifteenth of the bytes, but always reads one.
    std::vector<StoredObject> big;
    for (int i = 0; i < 40; ++i) big.push_back({"o" + std::to_string(100 + i), 1ull << 30, "", ""});
    AuditPlan plan = planAudit(big, "", false);
    EXPECT_EQ(plan.chosen.size(), 2u);
    std::vector<StoredObject> huge = {{"x", 1ull << 40, "", ""}, {"y", 1ull << 40, "", ""}};
    EXPECT_EQ(planAudit(huge, "", false).chosen.size(), 1u);

    // Everything on request, whatever the start point.
    EXPECT_EQ(planAudit(big, "o120", true).chosen.size(), 40u);
    EXPECT_TRUE(planAudit({}, "", false).chosen.empty());
    // A start point that no longer exists continues after where it would sort.
    EXPECT_EQ(few[planAudit(few, "aa", false).chosen.front()].name, "b");
}

namespace {

class StoredObjectsReadBack : public ::testing::Test {
protected:
    void SetUp() override {
        stdfs::create_directories(dest.path());
        std::vector<size_t> sizes;
        for (int i = 0; i < 20; ++i) sizes.push_back(1000 + 37 * i);
        test::makeArchive(archive, 300, sizes, 41);
        // Written long ago: runs keep the stored database copy by the file's state (databaseStamp) unless damaged.
        stdfs::last_write_time(archive / "tresk.db", stdfs::file_time_type::clock::now() - std::chrono::hours(1));
        hooked = std::make_shared<test::HookedDestination>(
            std::make_shared<LocalDestination>(LocalDestination::volume(dest.path().string(), "Backup drive")));
    }
    UploadReceipt backup(VerificationLevel level = VerificationLevel::readBack) {
        BackupEngine::Options o;
        o.threads = 2;
        return BackupEngine(TreskCrypto(key), hooked, "kelvara", work / "resume-state.json", o)
            .backup("jorin/tresk.db", archive / "tresk.db", level);
    }
    // Flips one byte in the middle of every stored object: sizes stay as they were.
    size_t damageEverything() {
        size_t n = 0;
        for (auto& e : stdfs::recursive_directory_iterator(dest.path() / "kelvara/jorin/objects")) {
            if (!e.is_regular_file() || e.path().filename().string()[0] == '.') continue;
            std::string bytes = test::readAll(e.path());
            bytes[bytes.size() / 2] ^= 0x01;
            test::writeAll(e.path(), bytes);
            ++n;
        }
        return n;
    }

    SymmetricKey key = SymmetricKey::generate();
    test::TempDir work, dest;
    stdfs::path archive = work / "root/jorin";
    std::shared_ptr<test::HookedDestination> hooked;
};

} // namespace

TEST_F(StoredObjectsReadBack, DamageAfterStoringIsFoundReportedAndSentAgainRunByRunOrAllAtOnce) {
    UploadReceipt first = backup();
    EXPECT_EQ(first.storedChecked, 0u);
    UploadReceipt quiet = backup();
    EXPECT_EQ(quiet.storedChecked, kAuditMinimum); // a share of the 21 objects, nothing damaged
    EXPECT_TRUE(quiet.damaged.empty());
    EXPECT_EQ(quiet.verification, UploadReceipt::Verification::verified);

    ASSERT_EQ(damageEverything(), 21u);
    const size_t putsBefore = hooked->puts.size();
    UploadReceipt rolling = backup();
    EXPECT_EQ(rolling.storedChecked, kAuditMinimum);
    EXPECT_EQ(rolling.damaged.size(), kAuditMinimum);                       // each named...
    EXPECT_EQ(rolling.verification, UploadReceipt::Verification::verified); // ...and repaired
    EXPECT_GE(hooked->puts.size() - putsBefore, kAuditMinimum - 1);         // (the database goes in parts)
    for (const auto& d : rolling.damaged)
        EXPECT_TRUE(d == "the archive database" || d.rfind("attachments/", 0) == 0) << d;

    // On request every object is read back: the rest of the damage is found at once.
    UploadReceipt all = backup(VerificationLevel::everything);
    EXPECT_EQ(all.storedChecked, 21u);
    EXPECT_EQ(all.damaged.size(), 21u - kAuditMinimum);
    EXPECT_EQ(all.verification, UploadReceipt::Verification::verified);
    UploadReceipt clean = backup(VerificationLevel::everything);
    EXPECT_EQ(clean.storedChecked, 21u);
    EXPECT_TRUE(clean.damaged.empty());

    BackupEngine(TreskCrypto(key), hooked, "kelvara", std::nullopt).restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");
}

TEST_F(StoredObjectsReadBack, DamageThatCannotBeSentAgainLeavesTheRunUnverified) {
    backup();
    damageEverything();
    // One of the damaged files is removed from this computer while the run reads the stored copies back.
    std::vector<ArchiveFile> files = listArchiveFiles(archive / "attachments");
    hooked->beforeGet = [&](const std::string& name) {
        if (name.find("/objects/") != std::string::npos) stdfs::remove(files.front().file);
    };
    UploadReceipt r = backup(VerificationLevel::everything);
    EXPECT_NE(r.verification, UploadReceipt::Verification::verified);
    EXPECT_EQ(r.unrepaired, std::vector<std::string>{files.front().path});
    EXPECT_EQ(r.damaged.size(), 21u);
}

TEST(StoredAudit, TheDatabaseIsReadEveryRunAndAFolderGoesRoundInSevenRuns) {
    std::vector<StoredObject> objects;
    for (int i = 0; i < 100; ++i) objects.push_back({"o" + std::to_string(100 + i), 4096, "", ""});
    objects.push_back({"database", 64ull << 20, "", ""});
    const size_t db = objects.size() - 1;
    std::set<std::string> seen;
    std::string next;
    for (size_t run = 0; run < kFolderAuditCycle; ++run) {
        AuditPlan plan = planAudit(objects, next, false, kFolderAuditCycle, db);
        ASSERT_FALSE(plan.chosen.empty());
        EXPECT_EQ(plan.chosen.front(), db);
        EXPECT_EQ(std::count(plan.chosen.begin(), plan.chosen.end(), db), 1);
        for (size_t i : plan.chosen) seen.insert(objects[i].name);
        next = plan.next;
    }
    EXPECT_EQ(seen.size(), objects.size());

    // Objects too big for the byte share are still read within the cycle.
    std::vector<StoredObject> big;
    for (int i = 0; i < 14; ++i) big.push_back({"b" + std::to_string(10 + i), 1ull << 30, "", ""});
    std::set<std::string> bigSeen;
    next.clear();
    for (size_t run = 0; run < kFolderAuditCycle; ++run) {
        AuditPlan plan = planAudit(big, next, false, kFolderAuditCycle);
        for (size_t i : plan.chosen) bigSeen.insert(big[i].name);
        next = plan.next;
    }
    EXPECT_EQ(bigSeen.size(), big.size());
}
