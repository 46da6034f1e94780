#include "core/household/machine_identity.h"

#include "core/platform/error.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <thread>

using namespace kx;

namespace {

const Date kNow = std::chrono::sys_days{std::chrono::year{2026} / 12 / 9};

unsigned modeOf(const std::filesystem::path& p) {
    struct stat st {};
    ::stat(p.c_str(), &st);
    return st.st_mode & 0777;
}

} // namespace

TEST(MachineIdentity, MadeOnceAndIdenticalAtEveryLaterStart) {
    test::TempDir dir;
    const auto config = dir / "Kelvara"; // does not exist yet: the first start creates it
    int calls = 0;
    auto gen = [&] {
        ++calls;
        return "ID-" + std::to_string(calls);
    };
    const std::string first = MachineIdentity::resolve(config.string(), gen, kNow);
    EXPECT_EQ(first, "ID-1");
    EXPECT_EQ(modeOf(config), 0700u);
    EXPECT_EQ(modeOf(MachineIdentity::path(config.string())), 0600u);
    EXPECT_EQ(MachineIdentity::resolve(config.string(), gen, kNow), "ID-1");
    EXPECT_EQ(MachineIdentity::resolve(config.string(), gen, kNow), "ID-1");
    EXPECT_EQ(calls, 1);
}

TEST(MachineIdentity, DamagedFileIsReportedAndNeverReplaced) {
    test::TempDir dir;
    const auto file = dir / MachineIdentity::kFileName;
    for (const std::string bad : {"{ nope", "[]", R"({"machineID": 7})", R"({"machineID": "../x"})", ""}) {
        test::writeAll(file, bad);
        bool generated = false;
        try {
            MachineIdentity::resolve(
                dir.path().string(),
                [&] {
                    generated = true;
                    return std::string("NEW");
                },
                kNow);
            ADD_FAILURE() << "no error for " << bad;
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos);
        }
        EXPECT_FALSE(generated);
        EXPECT_EQ(test::readAll(file), bad);
    }
}

TEST(MachineIdentity, UnusableGeneratedIdentityWritesNothing) {
    test::TempDir dir;
    EXPECT_THROW(MachineIdentity::resolve(
                     dir.path().string(), [] { return std::string("bad/id"); }, kNow),
                 Error);
    EXPECT_THROW(MachineIdentity::resolve(
                     dir.path().string(), [] { return std::string(); }, kNow),
                 Error);
    EXPECT_THROW(MachineIdentity::resolve(dir.path().string(), nullptr, kNow), Error);
    EXPECT_FALSE(std::filesystem::exists(MachineIdentity::path(dir.path().string())));
    EXPECT_EQ(test::snapshotTree(dir.path()), "");
}

TEST(MachineIdentity, ProcessesStartingTogetherAgreeOnOneIdentity) {
    test::TempDir dir;
    constexpr int kThreads = 8;
    std::vector<std::string> results(kThreads);
    std::atomic<int> counter{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            results[i] = MachineIdentity::resolve(
                dir.path().string(), [&] { return "T-" + std::to_string(counter++); }, kNow);
        });
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_EQ(r, results[0]);
    EXPECT_EQ(MachineIdentity::resolve(
                  dir.path().string(), [] { return std::string("LATER"); }, kNow),
              results[0]);
    // No temporary files left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
}

TEST(MachineIdentity, DisplayNameIsTrimmedAndNeverEmpty) {
    EXPECT_EQ(MachineIdentity::displayName("  Jorin's laptop \n"), "Jorin's laptop");
    EXPECT_EQ(MachineIdentity::displayName(""), "This Mac");
    EXPECT_EQ(MachineIdentity::displayName(" \t "), "This Mac");
    EXPECT_EQ(MachineIdentity::displayName("a\x1b[31mb"), "a [31mb");
    const std::string longName = std::string(127, 'a') + "\xc3\xa9" + "zzz"; // é straddles byte 128
    EXPECT_EQ(MachineIdentity::displayName(longName), std::string(127, 'a'));
}

TEST(MachineIdentity, RandomUUIDsAreUpperCaseVersion4AndDistinct) {
    const std::regex form("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const auto id = makeRandomUUID();
        EXPECT_TRUE(std::regex_match(id, form)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
}
