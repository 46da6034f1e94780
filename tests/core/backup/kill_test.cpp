// Backups killed with SIGKILL at random points, in a process of their own,
// against a folder and the loopback object store. After every kill the backup
// at the destination restores whole (the one before or the new one), and a
// rerun completes it so that a restore equals the archive message by message
// and file by file.
//
// KX_KILL_RUNS sets the number of kills (default 20, split between the two
// destinations); KX_KILL_SEED repeats a sequence of kill points.
#include "core/backup/backup_engine.h"
#include "core/backup/local_destination.h"
#include "core/backup/s3_destination.h"
#include "core/keys/key_material.h"
#include "core/platform/sha256.h"
#include "tests/core/backup/backup_fixtures.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <random>

extern char** environ;

using namespace kx;
namespace stdfs = std::filesystem;

namespace {

int envNumber(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

// One child backup run; its standard output carries one byte per event.
class ChildRun {
public:
    ChildRun(const std::vector<std::string>& args, const std::string& phrase, const stdfs::path& errorFile) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        std::vector<std::string> all = {KX_BACKUP_CHILD};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envText = {"KX_TEST_PHRASE=" + phrase};
        for (char** e = environ; *e; ++e)
            if (std::string(*e).rfind("KX_TEST_PHRASE=", 0) != 0) envText.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& e : envText) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int rc = posix_spawn(&pid_, KX_BACKUP_CHILD, &fa, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&fa);
        ::close(out[1]);
        if (rc != 0) {
            ::close(out[0]);
            throw std::runtime_error("could not start the backup child");
        }
        out_ = out[0];
    }
    ~ChildRun() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) ::close(out_);
    }
    // Reads events until the nth (then kills the child with SIGKILL) or until
    // the child ends. Returns whether it was killed.
    bool killAt(long n) {
        char buf[4096];
        while (events_ < n) {
            const ssize_t r = ::read(out_, buf, static_cast<size_t>(std::min<long>(sizeof buf, n - events_)));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            events_ += r;
        }
        ::kill(pid_, SIGKILL);
        return true;
    }
    // Waits for the end; the exit code (-1 when killed by a signal).
    int wait() {
        killAt(std::numeric_limits<long>::max());
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    long events() const { return events_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    long events_ = 0;
};

void copyTree(const stdfs::path& from, const stdfs::path& to) {
    stdfs::remove_all(to);
    stdfs::create_directories(to);
    stdfs::copy(from, to, stdfs::copy_options::recursive);
}

struct Tally {
    int killed = 0, finishedFirst = 0, restoredEarlier = 0, restoredNew = 0;
};

// Backs up, kills, restores and reruns against one destination until `runs` runs were killed.
Tally killAndRecover(const std::vector<std::string>& destArgs, const std::shared_ptr<BackupDestination>& dest, int runs,
                     std::mt19937& rng) {
    Tally tally;
    test::TempDir work;
    const stdfs::path archive = work / "root/jorin", resume = work / "config/resume-state.json";
    const stdfs::path errors = work / "child-errors.txt";
    test::makeArchive(archive, 1500, {100, 4000, 40000, 150000, 0}, rng());
    const SymmetricKey key = SymmetricKey::generate();
    const std::string phrase = TreskKeyMaterial::recoveryString(key);
    std::vector<std::string> args = {archive.string(), resume.string()};
    args.insert(args.end(), destArgs.begin(), destArgs.end());
    auto runToEnd = [&] {
        ChildRun child(args, phrase, errors);
        const int rc = child.wait();
        EXPECT_EQ(rc, 0) << test::readAll(errors);
        return child.events();
    };
    int attachments = 0;
    auto change = [&] {
        test::addMessages(archive, 15, rng());
        if (rng() % 2 == 0) {
            std::string bytes(rng() % 120000, '\0');
            for (auto& c : bytes) c = static_cast<char>(rng());
            bytes += std::to_string(++attachments);
            const std::string sha = Sha256::hexOf(bytes);
            test::writeAll(archive / "attachments" / sha.substr(0, 2) / sha, bytes);
        }
    };
    int restores = 0;
    auto restore = [&] {
        stdfs::path into = work / ("restored-" + std::to_string(++restores)) / "jorin";
        BackupEngine(TreskCrypto(key), dest, "kelvara", std::nullopt).restore("jorin/tresk.db", into);
        return into;
    };

    runToEnd();
    change();
    // The events of an ordinary later run. The database grows run by run, so this
    // is measured again each time: a run killed at event n and its rerun take
    // together about one whole run (the rerun takes over what was stored).
    long span = runToEnd();
    const stdfs::path earlier = work / "earlier";
    copyTree(archive, earlier);
    // Runs that finish before their kill point do not count as kills. The span
    // is an estimate (a rerun after a kill takes over what was stored, so its
    // events differ from an ordinary run's), so a share of the runs may finish
    // first: there are enough tries for the kills asked for.
    for (int i = 0; tally.killed < runs && i < 4 * runs && !::testing::Test::HasFailure(); ++i) {
        change();
        const long at = std::uniform_int_distribution<long>(1, std::max(2L, span * 11 / 10))(rng);
        SCOPED_TRACE("run " + std::to_string(i) + ", killed at event " + std::to_string(at));
        bool killed = false;
        {
            ChildRun child(args, phrase, errors);
            killed = child.killAt(at);
            if (killed) ++tally.killed;
            else ++tally.finishedFirst;
            const int rc = child.wait();
            if (!killed) {
                EXPECT_EQ(rc, 0) << test::readAll(errors);
                span = child.events();
            }
        }
        // Whatever the point, the destination holds a whole backup: the earlier one or the new one.
        try {
            const stdfs::path got = restore();
            const std::string asEarlier = test::compareArchives(earlier, got),
                              asNow = test::compareArchives(archive, got);
            EXPECT_TRUE(asEarlier.empty() || asNow.empty()) << asEarlier << " / " << asNow;
            (asNow.empty() ? tally.restoredNew : tally.restoredEarlier) += 1;
        } catch (const std::exception& e) {
            ADD_FAILURE() << "nothing restorable after the kill: " << e.what();
        }
        // The rerun completes it.
        const long rest = runToEnd();
        if (killed) span = at + rest;
        EXPECT_EQ(test::compareArchives(archive, restore()), "");
        copyTree(archive, earlier);
    }
    return tally;
}

} // namespace

TEST(KilledBackups, EveryKillLeavesARestorableBackupAndTheRerunRestoresIdentically) {
    const int total = std::max(2, envNumber("KX_KILL_RUNS", 20));
    const unsigned seed = static_cast<unsigned>(envNumber("KX_KILL_SEED", static_cast<int>(std::random_device{}())));
    std::mt19937 rng(seed);
    const bool s3 = test::findS3rver().has_value();
    const int folderRuns = s3 ? total / 2 : total;
    std::cout << "kill seed " << seed << " (KX_KILL_SEED repeats it), " << total << " kills\n";

    test::TempDir folder;
    auto local = std::make_shared<LocalDestination>(LocalDestination::volume(folder.path().string(), "Backup folder"));
    Tally f = killAndRecover({"--folder", folder.path().string()}, local, folderRuns, rng);
    std::cout << "folder: " << f.killed << " killed, " << f.finishedFirst << " finished before the kill; restored "
              << f.restoredEarlier << " earlier, " << f.restoredNew << " new\n";
    EXPECT_EQ(f.killed, folderRuns);
    if (!s3) KX_SKIP_WITHOUT_PEER("s3rver is not installed; only the folder destination was tried");

    test::S3Server server;
    auto store = std::make_shared<S3Destination>(S3Destination::compatible(server.endpoint(), "us-east-1",
                                                                           test::S3Server::kKey, test::S3Server::kKey,
                                                                           test::S3Server::kBucket));
    Tally o = killAndRecover({"--endpoint", server.endpoint()}, store, total - folderRuns, rng);
    std::cout << "object store: " << o.killed << " killed, " << o.finishedFirst
              << " finished before the kill; restored " << o.restoredEarlier << " earlier, " << o.restoredNew
              << " new\n";
    EXPECT_EQ(o.killed, total - folderRuns);
}
