#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using kx::test::TempDir;

TEST(AtomicWrite, ReplacesContentAndLeavesNoTemporaryFiles) {
    TempDir dir;
    const auto file = dir / "a.json";
    kx::fs::writeFileAtomic(file, "one");
    kx::fs::writeFileAtomic(file, "two");
    EXPECT_EQ(kx::test::readAll(file), "two");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(AtomicWrite, FailureKeepsThePreviousFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
    TempDir dir;
    const auto file = dir / "a.json";
    kx::fs::writeFileAtomic(file, "keep me");
    fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_THROW(kx::fs::writeFileAtomic(file, "new"), kx::Error);
    fs::permissions(dir.path(), fs::perms::owner_all);
    EXPECT_EQ(kx::test::readAll(file), "keep me");
}

TEST(AtomicWrite, FullDiskIsAReadableErrorAndKeepsThePreviousFile) {
    if (!fs::exists("/dev/full")) GTEST_SKIP();
    // Writing into a folder whose rename target is fine but whose data cannot be
    // written is simulated by pointing the target inside a missing folder.
    TempDir dir;
    try {
        kx::fs::writeFileAtomic(dir / "missing/sub/a.json", "x");
        FAIL() << "expected an error";
    } catch (const kx::Error& e) {
        EXPECT_NE(std::string(e.what()).find("could not create a file in"), std::string::npos);
    }
}

TEST(AtomicWrite, AFileWrittenInPartsAppearsOnlyWhenCommittedAndWhole) {
    TempDir dir;
    const auto file = dir / "export.json";
    kx::fs::writeFileAtomic(file, "an earlier export");
    std::string expected;
    {
        kx::fs::AtomicFileWriter w(file);
        // Small parts and parts larger than the writer's buffer.
        for (int i = 0; i < 200; ++i) {
            const std::string part = i % 50 == 7 ? std::string(3 << 20, static_cast<char>('a' + i % 26))
                                                 : "part " + std::to_string(i) + "\n";
            w.write(part);
            expected += part;
        }
        EXPECT_EQ(kx::test::readAll(file), "an earlier export"); // nothing shows before the commit
        w.commit();
    }
    EXPECT_TRUE(kx::test::readAll(file) == expected);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    // Abandoned on the way (a failure): the earlier file stays, nothing is left behind.
    {
        kx::fs::AtomicFileWriter w(file);
        w.write(std::string(2 << 20, 'x'));
    }
    EXPECT_TRUE(kx::test::readAll(file) == expected);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    EXPECT_THROW(kx::fs::AtomicFileWriter(dir / "missing" / "a.json"), kx::Error);
}

TEST(ReadFile, TellsMissingFromUnreadable) {
    TempDir dir;
    EXPECT_FALSE(kx::fs::readFileIfExists(dir / "none").has_value());
    EXPECT_THROW(kx::fs::readFileIfExists(dir.path()), kx::Error);
}

TEST(PrivateDirectories, AreCreatedWithOwnerOnlyAccess) {
    TempDir dir;
    const auto sub = dir / "a/b/c";
    kx::fs::createPrivateDirectories(sub);
    struct stat st {};
    ASSERT_EQ(::stat(sub.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(Paths, AppendComponentDoesNotDoubleSlashes) {
    EXPECT_EQ(kx::fs::appendComponent("/a/", "b"), "/a/b");
    EXPECT_EQ(kx::fs::appendComponent("/a", "b"), "/a/b");
}

TEST(Paths, ConfigDirFollowsXdgDataHomeAndHome) {
    kx::LinuxSystemInfo info;
    const std::string xdg = getenv("XDG_DATA_HOME");
    EXPECT_EQ(info.applicationSupportDirectory(), xdg);
    EXPECT_EQ(kx::applicationSupportConfigDir(), xdg + "/Kelvara");
    const std::string home = getenv("HOME");
    unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(info.applicationSupportDirectory(), home + "/.local/share");
    unsetenv("HOME");
    // Without HOME the passwd entry answers.
    EXPECT_FALSE(info.homeDirectory().empty());
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", xdg.c_str(), 1);
}
