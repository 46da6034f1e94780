#include "core/platform/bounded_read.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

using Failure = kx::fs::BoundedRead::Failure;
using kx::fs::readRegularFileAtMost;
using kx::test::TempDir;

TEST(BoundedRead, ReadsUpToTheLimitAndRefusesLinksPipesFoldersAndLargerFiles) {
    TempDir dir;
    kx::test::writeAll(dir / "exact", std::string(100, 'a'));
    auto r = readRegularFileAtMost((dir / "exact").string(), 100);
    EXPECT_EQ(r.failure, Failure::none);
    EXPECT_EQ(r.bytes, std::string(100, 'a'));

    r = readRegularFileAtMost((dir / "exact").string(), 99);
    EXPECT_EQ(r.failure, Failure::tooLarge);
    EXPECT_TRUE(r.bytes.empty());

    std::filesystem::create_symlink(dir / "exact", dir / "link");
    r = readRegularFileAtMost((dir / "link").string(), 1000);
    EXPECT_EQ(r.failure, Failure::isLink);
    EXPECT_EQ(r.error, ELOOP);

    // A pipe with no writer would block a plain open or read forever.
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(readRegularFileAtMost((dir / "pipe").string(), 1000).failure, Failure::notRegular);
    EXPECT_EQ(readRegularFileAtMost(dir.path().string(), 1000).failure, Failure::notRegular);

    r = readRegularFileAtMost((dir / "missing").string(), 1000);
    EXPECT_EQ(r.failure, Failure::cannotOpen);
    EXPECT_EQ(r.error, ENOENT);
}
