// Measuring an archive folder: what counts, what is skipped, and when there is
// no answer rather than a wrong one.
#include "core/archive/tresk_stats.h"

#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace kx {
namespace {

namespace stdfs = std::filesystem;

uint64_t allocated(const stdfs::path& p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0);
    return static_cast<uint64_t>(st.st_blocks) * 512;
}

TEST(TreskStats, AFolderIsMeasuredOnceThroughLinksAndNotBeyondThem) {
    test::TempDir dir;
    const auto root = dir / "Tresk/jorin";
    stdfs::create_directories(root / "attachments/ab");
    test::writeAll(root / "tresk.db", std::string(100000, 'x'));
    test::writeAll(root / "attachments/ab/photo", std::string(50000, 'y'));
    stdfs::create_hard_link(root / "attachments/ab/photo", root / "attachments/ab/photo-again");
    // A link to a large folder outside is not walked.
    stdfs::create_directories(dir / "outside");
    test::writeAll(dir / "outside/big", std::string(1 << 20, 'z'));
    stdfs::create_directory_symlink(dir / "outside", root / "link");

    uint64_t expected = allocated(root / "tresk.db") + allocated(root / "attachments/ab/photo") +
                        allocated(root / "attachments") + allocated(root / "attachments/ab") + allocated(root / "link");
    EXPECT_EQ(TreskStatsReader::directoryBytes(root.string()), expected);
    EXPECT_EQ(TreskStatsReader::directoryBytes((dir / "missing").string()), std::nullopt);
    EXPECT_EQ(TreskStatsReader::directoryBytes((root / "tresk.db").string()), std::nullopt);
    EXPECT_EQ(TreskStatsReader::directoryBytes(""), std::nullopt);
}

TEST(TreskStats, SizeTexts) {
    EXPECT_EQ(byteCountText(0), "0 bytes");
    EXPECT_EQ(byteCountText(1), "1 byte");
    EXPECT_EQ(byteCountText(999), "999 bytes");
    EXPECT_EQ(byteCountText(12300), "12.3 KB");
    EXPECT_EQ(byteCountText(1'410'000'000), "1.41 GB");
    EXPECT_EQ(byteCountText(999'999'999), "1.00 GB");
    EXPECT_EQ((TreskStats{"jorin", 2'000'000, 1000}.sizeDescription()), "2.00 MB, about 2,000 bytes a message");
    EXPECT_EQ((TreskStats{"jorin", 2'000'000, std::nullopt}.sizeDescription()), "2.00 MB");
    EXPECT_EQ((TreskStats{"jorin", 2'000'000, 0}.sizeDescription()), "2.00 MB");
    EXPECT_EQ((TreskStats{"jorin", std::nullopt, 10}.sizeDescription()),
              "Could not be measured (the folder is missing or cannot be read)");
}

} // namespace
} // namespace kx
