#include "core/archive/attachment_store.h"
#include "core/platform/error.h"
#include "tests/support/test_env.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using kx::AttachmentStore;
using kx::test::TempDir;
namespace stdfs = std::filesystem;

namespace {
// SHA-256("abc")
const std::string kAbc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
} // namespace

TEST(AttachmentObjects, StoredUnderTheirHashInShardedFoldersOnce) {
    TempDir dir;
    AttachmentStore store(dir / "attachments");
    kx::test::writeAll(dir / "in.txt", "abc");
    EXPECT_EQ(store.put(dir / "in.txt"), kAbc);
    EXPECT_EQ(store.putBytes("abc"), kAbc);
    const auto p = store.objectPath(kAbc);
    EXPECT_EQ(p, dir / "attachments" / "ba" / "78" / kAbc);
    EXPECT_EQ(kx::test::readAll(p), "abc");
    EXPECT_EQ(store.verify(kAbc), AttachmentStore::Check::verified);
    // Nothing is left in the incoming folder.
    EXPECT_TRUE(stdfs::is_empty(dir / "attachments" / ".incoming"));
    kx::test::writeAll(p, "abd");
    EXPECT_EQ(store.verify(kAbc), AttachmentStore::Check::mismatch);
    stdfs::remove(p);
    EXPECT_EQ(store.verify(kAbc), AttachmentStore::Check::missing);
}

TEST(AttachmentObjects, ObjectPathAcceptsOnlyWellFormedKeys) {
    AttachmentStore store("/archive/attachments");
    for (const std::string& bad :
         {std::string(), std::string("../../etc/passwd"), kAbc.substr(0, 63), kAbc + "0", std::string(64, 'A'),
          "ba/78" + kAbc.substr(5), std::string(63, 'a') + "/", std::string(63, 'a') + '\0', std::string(64, 'g')}) {
        EXPECT_FALSE(AttachmentStore::isValidKey(bad));
        EXPECT_THROW(store.objectPath(bad), kx::Error);
        EXPECT_FALSE(store.contains(bad));
    }
}

TEST(AttachmentObjects, RefusesLinksAndSpecialFilesAsSources) {
    TempDir dir;
    AttachmentStore store(dir / "attachments");
    kx::test::writeAll(dir / "secret", "outside");
    stdfs::create_symlink(dir / "secret", dir / "link");
    EXPECT_THROW(store.put(dir / "link"), kx::Error);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_THROW(store.put(dir / "fifo"), kx::Error); // must not block
    EXPECT_THROW(store.put(dir / "missing"), kx::Error);
    stdfs::create_directory(dir / "folder");
    EXPECT_THROW(store.put(dir / "folder"), kx::Error);
}

TEST(AttachmentObjects, AStoreThatCannotBeWrittenSaysSoAndLeavesNoPartialObject) {
    TempDir dir;
    kx::test::writeAll(dir / "in.txt", "abc");
    // The store's folder is a file: nothing can be created under it.
    kx::test::writeAll(dir / "attachments", "not a folder");
    AttachmentStore store(dir / "attachments");
    EXPECT_THROW(store.put(dir / "in.txt"), AttachmentStore::WriteError);
    EXPECT_EQ(kx::test::readAll(dir / "attachments"), "not a folder");
}

TEST(AttachmentObjects, AWriteThatRunsOutOfSpaceIsAWriteErrorAndLeavesNothingBehind) {
    TempDir dir;
    kx::test::writeAll(dir / "in.bin", std::string(200000, 'x'));
    AttachmentStore store(dir / "attachments");
    // A file-size limit makes writes fail part-way, as a full disk does.
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 50000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_THROW(store.put(dir / "in.bin"), AttachmentStore::WriteError);
    EXPECT_THROW(store.putBytes(std::string(100000, 'y')), AttachmentStore::WriteError);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_TRUE(stdfs::is_empty(dir / "attachments" / ".incoming"));
    EXPECT_EQ(std::distance(stdfs::directory_iterator(dir / "attachments"), stdfs::directory_iterator()), 1);
    EXPECT_EQ(store.put(dir / "in.bin").size(), 64u); // works again once there is room
}
