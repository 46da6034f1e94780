#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/posix_file.h"
#include "core/platform/sha256.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using kx::UniqueFd;
using kx::test::TempDir;

namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

std::string pattern(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
    return s;
}

} // namespace

TEST(UniqueFd, OwnsExactlyOneDescriptorAndClosesItOnce) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const int raw = fds[0];
    {
        UniqueFd a(raw);
        UniqueFd b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_EQ(b.get(), raw);
        UniqueFd c;
        c = std::move(b);
        EXPECT_TRUE(isOpen(raw));
    }
    EXPECT_FALSE(isOpen(raw));

    UniqueFd w(fds[1]);
    const int released = w.release();
    EXPECT_FALSE(w);
    EXPECT_TRUE(isOpen(released));
    w.reset(released);
    EXPECT_EQ(w.close(), 0);
    EXPECT_FALSE(isOpen(released));
    EXPECT_EQ(w.close(), 0); // nothing held any more
}

TEST(PosixFile, WriteAllAndReadAllMoveEveryByteThroughAPipe) {
    // More than a pipe holds, so both sides see short transfers.
    const std::string bytes = pattern(3 << 20);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    int writeResult = -1;
    std::thread writer([&] {
        writeResult = kx::writeAll(writeEnd.get(), bytes);
        writeEnd.reset();
    });
    std::string got = "kept ";
    const int readResult = kx::readAll(readEnd.get(), got);
    writer.join();
    EXPECT_EQ(writeResult, 0);
    EXPECT_EQ(readResult, 0);
    EXPECT_EQ(got, "kept " + bytes);
}

TEST(PosixFile, FailuresComeBackAsTheirErrno) {
    if (!fs::exists("/dev/full")) GTEST_SKIP();
    UniqueFd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(full);
    EXPECT_EQ(kx::writeAll(full.get(), std::string_view("x")), ENOSPC);
    std::string out;
    EXPECT_EQ(kx::readAll(-1, out), EBADF);
    EXPECT_EQ(kx::writeAll(-1, std::string_view("x")), EBADF);
}

TEST(PosixFile, PositionedReadsAndWritesLeaveTheFilePositionAlone) {
    TempDir dir;
    UniqueFd fd(::open((dir / "f").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd);
    ASSERT_EQ(kx::writeAll(fd.get(), std::string_view("0123456789")), 0);
    ASSERT_EQ(kx::writeAllAt(fd.get(), "abc", 3, 2), 0);
    EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 10);
    char buf[16] = {};
    std::size_t got = 0;
    ASSERT_EQ(kx::readAllAt(fd.get(), buf, sizeof buf, 1, got), 0);
    EXPECT_EQ(std::string(buf, got), "1abc56789"); // stops at the end of the file
}

TEST(AtomicWrite, UnflushedWritesAreStillAtomicAndLeaveNoTemporaryFiles) {
    TempDir dir;
    const auto file = dir / "resume.json";
    kx::fs::writeFileAtomic(file, "one", 0600, kx::fs::Durability::renamedOnly);
    kx::fs::writeFileAtomic(file, "two", 0600, kx::fs::Durability::renamedOnly);
    EXPECT_EQ(kx::test::readAll(file), "two");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(AtomicWrite, CreatingOnlyWhenAbsentNeverReplacesAFile) {
    TempDir dir;
    const auto file = dir / "identity.json";
    EXPECT_TRUE(kx::fs::createFileAtomic(file, "first"));
    EXPECT_FALSE(kx::fs::createFileAtomic(file, "second"));
    EXPECT_EQ(kx::test::readAll(file), "first");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
    EXPECT_THROW(kx::fs::createFileAtomic(dir / "missing/identity.json", "x"), kx::Error);
}

TEST(Sha256, KnownDigestsIncrementalAndOneShotAgree) {
    EXPECT_EQ(kx::Sha256::hexOf(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(kx::Sha256::hexOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    kx::Sha256 h;
    h.update("a");
    h.update(std::string_view("bc"));
    EXPECT_EQ(h.finishHex(), kx::Sha256::hexOf("abc"));
    // finish starts the object afresh.
    h.update("abc");
    EXPECT_EQ(h.finish(), kx::Sha256::of("abc"));
    EXPECT_EQ(kx::toHex(h.finish()), kx::Sha256::hexOf(""));

    kx::Sha256 moved(std::move(h));
    EXPECT_THROW(h.update("x"), kx::Error); // a moved-from digest refuses work instead of crashing
    EXPECT_EQ(moved.finishHex(), kx::Sha256::hexOf(""));
}

TEST(Sha256, FilesHashLikeTheirBytesAndMissingFilesAreNamed) {
    TempDir dir;
    const std::string bytes = pattern((1 << 20) + 17);
    kx::test::writeAll(dir / "f", bytes);
    EXPECT_EQ(kx::Sha256::hexOfFile(dir / "f"), kx::Sha256::hexOf(bytes));
    try {
        kx::Sha256::hexOfFile(dir / "none");
        FAIL() << "expected an error";
    } catch (const kx::Error& e) {
        EXPECT_EQ(std::string(e.what()), "could not open " + (dir / "none").string() + " (No such file or directory)");
    }
    UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    kx::Sha256 h;
    EXPECT_EQ(h.updateFromFd(folder.get()), EISDIR);
}
