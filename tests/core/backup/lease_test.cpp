// One backup of an archive to a destination at a time, on a folder and on a
// real S3-compatible server (s3rver), with a second engine and with a killed
// child process holding the lease.
#include "core/backup/backup_engine.h"
#include "core/backup/backup_lease.h"
#include "core/backup/local_destination.h"
#include "core/backup/s3_destination.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/core/backup/hooked_destination.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <condition_variable>
#include <csignal>
#include <future>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace kx;
namespace stdfs = std::filesystem;

namespace {

enum class Kind { folder, s3 };

class OneBackupAtATime : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override {
        if (GetParam() == Kind::s3) {
            if (!test::findS3rver()) KX_SKIP_WITHOUT_PEER("s3rver is not installed (scripts/setup.sh installs it)");
            server = std::make_unique<test::S3Server>();
        }
        stdfs::create_directories(dest.path());
        test::makeArchive(archive, 400, {100, 20000}, 21);
    }
    // A destination object of its own, as another process would have.
    std::shared_ptr<BackupDestination> fresh() {
        if (GetParam() == Kind::folder)
            return std::make_shared<LocalDestination>(LocalDestination::volume(dest.path().string(), "Backup drive"));
        return std::make_shared<S3Destination>(S3Destination::compatible(server->endpoint(), "us-east-1",
                                                                         test::S3Server::kKey, test::S3Server::kKey,
                                                                         test::S3Server::kBucket));
    }
    BackupEngine engine(std::shared_ptr<BackupDestination> d, NowFunction now = {}) {
        BackupEngine::Options o;
        o.threads = 1;
        o.lease.settle = std::chrono::milliseconds(200);
        o.lease.now = std::move(now);
        return BackupEngine(TreskCrypto(key), std::move(d), "kelvara", std::nullopt, o);
    }
    UploadReceipt backup(std::shared_ptr<BackupDestination> d, NowFunction now = {}) {
        return engine(std::move(d), std::move(now))
            .backup("jorin/tresk.db", archive / "tresk.db", VerificationLevel::readBack);
    }
    std::optional<std::string> leaseText() {
        std::string bytes;
        if (!fresh()->get("kelvara/jorin/tresk.db.lease",
                          [&](const unsigned char* p, size_t n) { bytes.append(reinterpret_cast<const char*>(p), n); }))
            return std::nullopt;
        return bytes;
    }

    std::unique_ptr<test::S3Server> server;
    test::TempDir work, dest;
    stdfs::path archive = work / "root/jorin";
    SymmetricKey key = SymmetricKey::generate();
};

} // namespace

TEST_P(OneBackupAtATime, ASecondRunIsRefusedWithASentenceWhileTheFirstRuns) {
    // The first run stops just before it stores its first object.
    auto first = std::make_shared<test::HookedDestination>(fresh());
    std::mutex m;
    std::condition_variable cv;
    bool paused = false, goOn = false;
    first->beforePut = [&](const std::string&) {
        std::unique_lock<std::mutex> lock(m);
        if (paused) return;
        paused = true;
        cv.notify_all();
        cv.wait(lock, [&] { return goOn; });
    };
    auto running = std::async(std::launch::async, [&] { return backup(first); });
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(60), [&] { return paused; }));
    }

    auto second = std::make_shared<test::HookedDestination>(fresh());
    try {
        backup(second);
        ADD_FAILURE() << "two backups of one archive ran at once";
    } catch (const BackupBusyError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("another backup of this archive to " + second->label() +
                                                  " is under way (started ",
                                              0),
                  0u)
            << e.what();
        EXPECT_NE(std::string(e.what()).find("wait for it to finish"), std::string::npos);
    }
    EXPECT_TRUE(second->puts.empty()) << "the refused run stored something";

    {
        std::lock_guard<std::mutex> lock(m);
        goOn = true;
    }
    cv.notify_all();
    EXPECT_EQ(running.get().verification, UploadReceipt::Verification::verified);
    EXPECT_FALSE(leaseText().has_value()) << "a finished run gives its lease back";
    // Once the first is done the second goes ahead.
    EXPECT_EQ(backup(fresh()).verification, UploadReceipt::Verification::verified);
    engine(fresh()).restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");
}

TEST_P(OneBackupAtATime, TheLeaseOfAKilledRunIsTakenOver) {
    // A child process takes the lease and is killed with it held.
    ASSERT_TRUE(test::killChildWhereItStops([&](const std::function<void()>& stopHere) {
        BackupLease held(fresh(), "kelvara/jorin/tresk.db.lease",
                         {std::chrono::seconds(600), std::chrono::milliseconds(200), {}});
        stopHere();
    })) << "the child could not take the lease";
    ASSERT_TRUE(leaseText().has_value());

    // Its process is gone from this computer: the next run does not wait for the expiry.
    EXPECT_EQ(backup(fresh()).verification, UploadReceipt::Verification::verified);

    // A lease from another computer holds until it expires, then is taken over.
    const Date start = std::chrono::system_clock::now();
    nlohmann::json other = {{"format", 1},
                            {"holder", "0123456789abcdef0123456789abcdef"},
                            {"machine", "another computer"},
                            {"pid", 1},
                            {"startedAt", formatISO8601(start)},
                            {"expiresAt", formatISO8601(start + std::chrono::minutes(2))}};
    std::string text = other.dump();
    fresh()->put("kelvara/jorin/tresk.db.lease", text.size(),
                 [&](uint64_t off, unsigned char* b, size_t n) { std::memcpy(b, text.data() + off, n); },
                 ObjectClass::control, {});
    test::addMessages(archive, 5, 22);
    EXPECT_THROW(backup(fresh()), BackupBusyError);
    EXPECT_EQ(leaseText(), text) << "a refused run leaves the other lease alone";
    const auto later = [start] { return start + std::chrono::minutes(3); };
    EXPECT_EQ(backup(fresh(), later).verification, UploadReceipt::Verification::verified);
    engine(fresh()).restore("jorin/tresk.db", work / "restored/jorin");
    EXPECT_EQ(test::compareArchives(archive, work / "restored/jorin"), "");
}

TEST_P(OneBackupAtATime, OfRunsStartingAtTheSameMomentOneGoesOnWithTheDefaultPause) {
    // A run that takes a while between reading the lease and writing its own
    // (a slower computer, a slower line).
    class SlowToWrite final : public test::ForwardingDestination {
    public:
        using ForwardingDestination::ForwardingDestination;
        bool updateControl(const std::string& n, const ControlChange& change) override {
            return inner_->updateControl(n, [&](const std::optional<std::string>& current) {
                auto next = change(current);
                std::this_thread::sleep_for(std::chrono::milliseconds(120));
                return next;
            });
        }
    };
    // Two runs start together, again and again. The pause an object store's
    // runs take after writing their lease follows how fast the store answers,
    // yet never lets both go on.
    for (int round = 0; round < 6; ++round) {
        std::promise<void> go;
        std::shared_future<void> start = go.get_future().share();
        auto take = [&](std::shared_ptr<BackupDestination> d) {
            start.wait();
            try {
                return std::make_unique<BackupLease>(std::move(d), "kelvara/jorin/tresk.db.lease");
            } catch (const BackupBusyError&) {
                return std::unique_ptr<BackupLease>();
            }
        };
        auto quick = std::async(std::launch::async, take, fresh());
        auto slow = std::async(std::launch::async, take, std::make_shared<SlowToWrite>(fresh()));
        go.set_value();
        std::unique_ptr<BackupLease> a = quick.get(), b = slow.get();
        EXPECT_EQ((a ? 1 : 0) + (b ? 1 : 0), 1) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Destinations, OneBackupAtATime, ::testing::Values(Kind::folder, Kind::s3),
                         [](const auto& param) { return param.param == Kind::folder ? "Folder" : "S3"; });
