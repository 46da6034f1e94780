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

TEST_F(ExportAndSeal, TheSealDescribesTheExportAndNamesTheManifestHead) {
    const OwnerPaths paths = ArchiveLayout(root().string()).owner("jorin/work");
    test::addMessages(paths.database, {.owner = "jorin/work", .count = 8});
    const SealFile unanchored = exportAndSeal(request("jorin/work", out / "a.csv"), names);
    EXPECT_FALSE(unanchored.manifestHead);
    EXPECT_EQ(unanchored.exportFile, "a.csv");
    EXPECT_EQ(unanchored.size, stdfs::file_size(out / "a.csv"));

    const TreskStore store(paths.database);
    const auto manifest = TreskManifest::generate(store, "jorin/work", test::fixtureDate(50), 1000);
    TreskManifest::write(manifest, paths.manifest);
    const SealFile sealed = exportAndSeal(request("jorin/work", out / "b.csv"), names);
    EXPECT_EQ(sealed.manifestHead, manifest.chainHead);
    EXPECT_EQ(sealed.format, ExportFormat::csv);
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
