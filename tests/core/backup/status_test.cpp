#include "core/backup/archive_locations.h"
#include "core/backup/config_file.h"
#include "core/platform/error.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

using namespace kx;
using std::chrono::hours;

TEST(ArchiveLocations, JudgesFreshnessAndWhatNeedsAttention) {
    Date now = *parseISO8601("2026-12-09T12:00:00Z");
    ArchiveLocations none;
    EXPECT_TRUE(none.needsAttention(now, 30));
    EXPECT_NE(none.summary(now, 30).find("only on this computer"), std::string::npos);

    ArchiveLocations::Location s3{"1",      "AWS S3",
                                  "bucket", ArchiveLocations::PlaceClass::independentBackup,
                                  true,     now - hours(24 * 29)};
    ArchiveLocations::Location dropbox{"2",  "Dropbox folder",   "/x", ArchiveLocations::PlaceClass::syncedCopy,
                                       true, now - hours(24 * 2)};
    ArchiveLocations fresh{{s3, dropbox}, "/root"};
    EXPECT_TRUE(s3.isCurrent(now, 30));
    EXPECT_FALSE(s3.isCurrent(now, 28));
    EXPECT_FALSE(fresh.needsAttention(now, 30));
    EXPECT_EQ(
        fresh.summary(now, 30),
        "Your archive exists in 3 places: this computer, 1 independent backup and 1 synced copy. All are current.");

    // Only synced copies, however fresh, still need an independent backup.
    EXPECT_TRUE(ArchiveLocations({{dropbox}, "/root"}).needsAttention(now, 30));
    // A never-verified place is unproven and needs attention; a switched-off one counts for nothing.
    ArchiveLocations::Location drive{"3",  "External drive or NAS",
                                     "",   ArchiveLocations::PlaceClass::sameMachine,
                                     true, std::nullopt};
    EXPECT_TRUE(drive.isUnproven());
    EXPECT_TRUE(ArchiveLocations({{s3, drive}, std::nullopt}).needsAttention(now, 30));
    drive.enabled = false;
    EXPECT_FALSE(ArchiveLocations({{s3, drive}, std::nullopt}).needsAttention(now, 30));
    EXPECT_NE(ArchiveLocations({{s3}, std::nullopt}).summary(now + hours(24 * 5), 30).find("out of date"),
              std::string::npos);

    // A destination that holds no copy yet is no place the archive exists in.
    drive.enabled = true;
    EXPECT_EQ(ArchiveLocations({{s3, drive}, "/root"}).summary(now, 30),
              "Your archive exists in 2 places: this computer and 1 independent backup. 1 destination holds no copy "
              "yet.");
    ArchiveLocations::Location tested = s3;
    tested.lastVerified.reset();
    EXPECT_EQ(ArchiveLocations({{tested, drive}, "/root"}).summary(now, 30),
              "Your archive exists only on this computer. 2 destinations hold no copy yet. Run a backup so losing this "
              "computer does not lose the archive.");
}

TEST(ConfigFile, TellsMissingLoadedAndFailedApartAndBlocksSaves) {
    test::TempDir dir;
    auto decode = [](const nlohmann::json& j) {
        if (!j.is_array()) throw std::runtime_error("the file does not hold a list");
        return j.get<std::vector<int>>();
    };
    auto path = dir / "destinations.json";
    EXPECT_EQ(ConfigFile::load<std::vector<int>>(path, decode).kind,
              ConfigFile::LoadOutcome<std::vector<int>>::Kind::missing);
    ConfigFile::save(nlohmann::ordered_json::array({1, 2}), path, false);
    auto loaded = ConfigFile::load<std::vector<int>>(path, decode);
    ASSERT_EQ(loaded.kind, ConfigFile::LoadOutcome<std::vector<int>>::Kind::loaded);
    EXPECT_EQ(*loaded.value, (std::vector<int>{1, 2}));

    test::writeAll(path, "{\"not\": \"a list\"}");
    auto failed = ConfigFile::load<std::vector<int>>(path, decode);
    EXPECT_EQ(failed.kind, ConfigFile::LoadOutcome<std::vector<int>>::Kind::failed);
    EXPECT_NE(failed.reason.find("list"), std::string::npos);
    EXPECT_THROW(ConfigFile::save(nlohmann::ordered_json::array({3}), path, true), Error);
    EXPECT_EQ(test::readAll(path), "{\"not\": \"a list\"}");
}
