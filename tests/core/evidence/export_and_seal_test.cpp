// Exporting one conversation of an owner's archive and sealing it, with the
// archive's paths taken from the archive layout.
#include "core/evidence/export_and_seal.h"

#include "core/archive/archive_layout.h"
#include "core/archive/tresk_store.h"
#include "core/contacts/contact_resolver.h"
#include "core/evidence/tresk_manifest.h"
#include "core/platform/error.h"
#include "tests/core/evidence/archive_builder.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace kx {
namespace {

namespace stdfs = std::filesystem;

class ExportAndSeal : public ::testing::Test {
protected:
    stdfs::path root() const { return dir / "Archive"; }
    ExportRequest request(const std::string& owner, const stdfs::path& to) const {
        ExportRequest r;
        r.archiveRoot = root().string();
        r.owner = owner;
        r.conversationKey = "+15550001111";
        r.format = ExportFormat::csv;
        r.destinationPath = to.string();
        r.appVersion = "1.0 (1)";
        r.now = test::fixtureDate(100);
        return r;
    }

    test::TempDir dir;
    test::TempDir out;
    MapContactResolver names;
};

TEST_F(ExportAndSeal, TheSealNamesAHeadThatCoversTheExport) {
    const OwnerPaths paths = ArchiveLayout(root().string()).owner("jorin/work");
    test::addMessages(paths.database, {.owner = "jorin/work", .count = 8});

    // No manifest yet: one is made first, and the seal names its head.
    const SealFile first = exportAndSeal(request("jorin/work", out / "a.csv"), names);
    const auto made = TreskManifest::read(paths.manifest);
    ASSERT_TRUE(made);
    EXPECT_EQ(first.manifestHead, made->chainHead);
    EXPECT_EQ(first.exportFile, "a.csv");
    EXPECT_EQ(first.size, stdfs::file_size(out / "a.csv"));
    EXPECT_EQ(test::verifyManifest(paths.database, *made).status, static_cast<int>(TreskManifest::Status::intact));

    // Growth elsewhere: the manifest still covers this conversation and is kept.
    test::addMessages(paths.database,
                      {.owner = "jorin/work", .handle = "+15550002222", .guidPrefix = "OTHER", .count = 3});
    EXPECT_EQ(exportAndSeal(request("jorin/work", out / "b.csv"), names).manifestHead, made->chainHead);
    EXPECT_EQ(TreskManifest::read(paths.manifest)->chainHead, made->chainHead);

    // New messages in this conversation: the head is renewed to cover them.
    test::addMessages(paths.database, {.owner = "jorin/work", .first = 9, .count = 2});
    const SealFile renewed = exportAndSeal(request("jorin/work", out / "c.csv"), names);
    const auto now = TreskManifest::read(paths.manifest);
    EXPECT_NE(now->chainHead, made->chainHead);
    EXPECT_EQ(renewed.manifestHead, now->chainHead);
    EXPECT_EQ(now->messageCount, 13);
    EXPECT_EQ(test::snapshotTree(paths.folder).find("superseded"), std::string::npos); // it extends the old one
}

TEST_F(ExportAndSeal, AChangedArchiveIsExportedButNotSealed) {
    const OwnerPaths paths = ArchiveLayout(root().string()).owner("jorin");
    test::addMessages(paths.database, {.count = 8});
    const auto manifest = test::generateManifest(paths.database, "jorin", test::fixtureDate(50));
    TreskManifest::write(manifest, paths.manifest);
    test::tamper(paths.database, "UPDATE messages SET date = date + 1 WHERE guid = 'MSG-6'");
    try {
        exportAndSeal(request("jorin", out / "a.csv"), names);
        ADD_FAILURE() << "sealed";
    } catch (const UnsealedExport& e) {
        EXPECT_NE(std::string(e.what()).find("the archive has changed since its manifest was made (first difference "
                                             "at record "),
                  std::string::npos)
            << e.what();
        EXPECT_NE(std::string(e.what()).find(", message MSG-6)"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(stdfs::exists(out / "a.csv"));
    EXPECT_EQ(*TreskManifest::read(paths.manifest), manifest); // the evidence stays as it was

    // A manifest that cannot be read is no ground for a seal either.
    test::writeAll(paths.manifest, "{");
    EXPECT_THROW(exportAndSeal(request("jorin", out / "b.csv"), names), UnsealedExport);
    EXPECT_TRUE(stdfs::exists(out / "b.csv"));
}

TEST_F(ExportAndSeal, OwnersOutsideTheRootAndMissingArchivesWriteNothing) {
    // What "..", "." and "../x" would reach if they were used as folder names as they stand.
    test::addMessages(dir / "tresk.db", {.owner = "..", .count = 3});
    test::addMessages(root() / "tresk.db", {.owner = ".", .count = 3});
    test::addMessages(dir / "x/tresk.db", {.owner = "../x", .count = 3});
    const std::string before = test::snapshotTree(dir.path());
    for (const std::string& owner : std::vector<std::string>{"..", ".", "../x", "", std::string("a\0b", 3), "nobody"}) {
        const stdfs::path to = out / "export.csv";
        EXPECT_THROW(exportAndSeal(request(owner, to), names), Error) << owner;
        EXPECT_FALSE(stdfs::exists(to)) << owner;
    }
    EXPECT_EQ(test::snapshotTree(dir.path()), before);
    EXPECT_TRUE(stdfs::is_empty(out.path()));
}

} // namespace
} // namespace kx
