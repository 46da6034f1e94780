// Killed backups and restores (a real kill -9 of a child process) leave nothing
// behind for long, and a restore never starts into a folder that holds something.
#include "core/archive/snapshot.h"
#include "core/backup/backup_engine.h"
#include "core/backup/local_destination.h"
#include "core/backup/restore_staging.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/core/backup/hooked_destination.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <cctype>
#include <condition_variable>
#include <csignal>
#include <future>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kx;
namespace stdfs = std::filesystem;

namespace {

// Stops for good (see killChildWhereItStops) inside the first store or read of
// an attachment object: where the child is killed.
class StallingDestination final : public test::ForwardingDestination {
public:
    StallingDestination(std::shared_ptr<BackupDestination> inner, std::function<void()> stop)
        : ForwardingDestination(std::move(inner)), stop_(std::move(stop)) {}
    void put(const std::string& n, uint64_t s, const ByteProducer& p, ObjectClass c,
             const std::map<std::string, std::string>& m) override {
        const bool object = n.find("/objects/") != std::string::npos;
        ByteProducer stalling = [&](uint64_t off, unsigned char* b, size_t k) {
            p(off, b, k), object ? stop_() : void();
        };
        inner_->put(n, s, stalling, c, m);
    }
    bool get(const std::string& n, const ByteSink& sink) override {
        const bool object = n.find("/objects/") != std::string::npos;
        return inner_->get(n, [&](const unsigned char* b, size_t k) { sink(b, k), object ? stop_() : void(); });
    }

private:
    std::function<void()> stop_;
};

class Leftovers : public ::testing::Test {
protected:
    void SetUp() override {
        stdfs::create_directories(dest.path());
        test::makeArchive(archive, 800, {100, 20000, 50000}, 31);
    }
    std::shared_ptr<BackupDestination> local() {
        return std::make_shared<LocalDestination>(LocalDestination::volume(dest.path().string(), "Backup drive"));
    }
    BackupEngine engine(std::shared_ptr<BackupDestination> d) {
        BackupEngine::Options o;
        o.partSize = 64 * 1024;
        o.threads = 1;
        return BackupEngine(TreskCrypto(key), std::move(d), "kelvara", work / "config/resume-state.json", o);
    }
    // Runs fn in a child process and kills it inside a StallingDestination.
    void killInside(const std::function<void(std::shared_ptr<BackupDestination>)>& fn) {
        ASSERT_TRUE(test::killChildWhereItStops([&](const std::function<void()>& stopHere) {
            fn(std::make_shared<StallingDestination>(local(), stopHere));
        })) << "the child ended before the point of the kill";
    }
    std::vector<std::string> temporaries() {
        std::vector<std::string> out;
        for (auto& e : stdfs::recursive_directory_iterator(dest.path())) {
            std::string leaf = e.path().filename().string();
            if (leaf.find(".kxpart-") != std::string::npos || leaf.ends_with(".partial")) out.push_back(leaf);
        }
        return out;
    }
    std::vector<stdfs::path> stagingFolders(const stdfs::path& root) {
        std::vector<stdfs::path> out;
        for (auto& e : stdfs::directory_iterator(root))
            if (e.path().filename().string().find(".restoring-") != std::string::npos) out.push_back(e.path());
        return out;
    }

    test::TempDir work, dest;
    stdfs::path archive = work / "root/jorin";
    SymmetricKey key = SymmetricKey::generate();
};

} // namespace

TEST_F(Leftovers, TheTemporariesOfAKilledFolderBackupAreSweptByTheNextRun) {
    killInside([&](std::shared_ptr<BackupDestination> d) {
        engine(std::move(d)).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    });
    // And an unfinished upload that no resume state on this computer names any more.
    test::writeAll(dest.path() / "kelvara/jorin/.tresk.db.0123456789abcdef.65536.partial", "an orphaned upload");
    ASSERT_EQ(temporaries().size(), 2u);

    UploadReceipt r = engine(local()).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    EXPECT_EQ(r.verification, UploadReceipt::Verification::verified);
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
    engine(local()).restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");
}

// The copy of the database a backup uploads from is made in a private folder
// on this computer; the one a killed backup left is removed by the next backup.
TEST_F(Leftovers, TheDatabaseCopyAKilledBackupLeftOnThisComputerIsRemovedByTheNextRun) {
    const stdfs::path base = DatabaseSnapshot::temporaryBase();
    auto scratchFolders = [&] {
        std::vector<stdfs::path> out;
        for (auto& e : stdfs::directory_iterator(base))
            if (e.is_directory() && std::isdigit(static_cast<unsigned char>(e.path().filename().string()[0])))
                out.push_back(e.path());
        return out;
    };
    ASSERT_EQ(scratchFolders(), std::vector<stdfs::path>{});
    killInside([&](std::shared_ptr<BackupDestination> d) {
        engine(std::move(d)).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    });
    const auto left = scratchFolders();
    ASSERT_EQ(left.size(), 1u);
    struct stat st {};
    ASSERT_EQ(::stat(left[0].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    engine(local()).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    EXPECT_EQ(scratchFolders(), std::vector<stdfs::path>{});
}

TEST_F(Leftovers, AKilledRestoreLeavesNoDecryptedDataAfterTheNextRestoreOrTheNextStart) {
    engine(local()).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    const stdfs::path root = work / "restore-root";
    auto killedRestore = [&] {
        killInside([&](std::shared_ptr<BackupDestination> d) {
            engine(std::move(d)).restore("jorin/tresk.db", root / "jorin");
        });
    };

    killedRestore();
    auto staged = stagingFolders(root);
    ASSERT_EQ(staged.size(), 1u);
    // The database was already decrypted there, in a folder only the owner can open.
    EXPECT_EQ(test::readAll(staged[0] / "tresk.db").substr(0, 15), "SQLite format 3");
    struct stat st {};
    ASSERT_EQ(::stat(staged[0].c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // The next restore sweeps it.
    engine(local()).restore("jorin/tresk.db", root / "jorin");
    EXPECT_EQ(stagingFolders(root), std::vector<stdfs::path>{});
    EXPECT_EQ(test::compareArchives(archive, root / "jorin"), "");

    // So does the next start.
    stdfs::remove_all(root / "jorin");
    killedRestore();
    ASSERT_EQ(stagingFolders(root).size(), 1u);
    EXPECT_EQ(sweepStaleRestores(root), 1u);
    EXPECT_EQ(stagingFolders(root), std::vector<stdfs::path>{});
}

TEST_F(Leftovers, ARunningRestoresStagingIsNeverSwept) {
    engine(local()).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    const stdfs::path root = work / "restore-root";
    std::mutex m;
    std::condition_variable cv;
    bool reading = false, goOn = false;
    class Pausing final : public test::ForwardingDestination {
    public:
        using ForwardingDestination::ForwardingDestination;
        bool get(const std::string& n, const ByteSink& sink) override {
            if (n.find("/objects/") != std::string::npos && onObject) onObject();
            return inner_->get(n, sink);
        }
        std::function<void()> onObject;
    };
    auto pausing = std::make_shared<Pausing>(local());
    pausing->onObject = [&] {
        std::unique_lock<std::mutex> lock(m);
        reading = true;
        cv.notify_all();
        cv.wait(lock, [&] { return goOn; });
    };
    auto running = std::async(std::launch::async,
                              [&] { return engine(pausing).restore("jorin/tresk.db", root / "jorin"); });
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return reading; }));
    }
    EXPECT_EQ(sweepStaleRestores(root), 0u);
    EXPECT_EQ(stagingFolders(root).size(), 1u);
    {
        std::lock_guard<std::mutex> lock(m);
        goOn = true;
    }
    cv.notify_all();
    running.get();
    EXPECT_EQ(test::compareArchives(archive, root / "jorin"), "");
}

TEST_F(Leftovers, ANonEmptyRestoreTargetIsRefusedBeforeAnythingIsDownloaded) {
    engine(local()).backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    test::writeAll(work / "target/jorin/notes.txt", "something the user keeps here");
    auto counting = std::make_shared<test::HookedDestination>(local());
    try {
        engine(counting).restore("jorin/tresk.db", work / "target/jorin");
        FAIL() << "restored into a folder that holds something";
    } catch (const BackupError& e) {
        EXPECT_NE(std::string(e.what()).find("is not empty; restore into an empty folder"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(counting->gets.load(), 0);
    EXPECT_EQ(test::readAll(work / "target/jorin/notes.txt"), "something the user keeps here");
    EXPECT_EQ(stagingFolders(work / "target"), std::vector<stdfs::path>{});
}
