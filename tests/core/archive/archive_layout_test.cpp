#include "core/archive/archive_layout.h"
#include "core/platform/error.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kx;
using kx::test::TempDir;

namespace {

const std::string kNul("a\0b", 3);

} // namespace

// The names stored archives depend on.
TEST(ArchiveLayout, NamesEveryPathOfTheRootAndOfAnOwner) {
    const ArchiveLayout layout("/r");
    EXPECT_EQ(layout.root(), "/r");
    EXPECT_EQ(layout.statusFile(), "/r/STATUS.json");
    EXPECT_EQ(layout.runLock(), "/r/.kelvara-run.lock");
    EXPECT_EQ(layout.machineReport("8C1E2A4B-0000-4000-8000-00000000CAFE"),
              "/r/8C1E2A4B-0000-4000-8000-00000000CAFE.machine-run.json");
    const OwnerPaths p = layout.owner("jorin/work");
    EXPECT_EQ(p.folderName, "jorin_work");
    EXPECT_EQ(p.folder, "/r/jorin_work");
    EXPECT_EQ(p.database, "/r/jorin_work/tresk.db");
    EXPECT_EQ(p.attachments, "/r/jorin_work/attachments");
    EXPECT_EQ(p.searchIndex, "/r/jorin_work/search.db");
    EXPECT_EQ(p.manifest, "/r/jorin_work/tresk.manifest.json");
    EXPECT_EQ(ArchiveLayout("/r/").owner("jo").database, "/r/jo/tresk.db");
    OwnerPaths beside = ArchiveLayout::besideDatabase(p.database);
    EXPECT_EQ(beside, p);
    EXPECT_EQ(ArchiveLayout::inFolder("/restore/jo").database, "/restore/jo/tresk.db");
}

TEST(ArchiveLayout, SlashesBecomeUnderscoresAndUnsafeOwnersAreRefused) {
    // "../x" and "./.." stay one folder inside the root.
    const std::pair<const char*, const char*> named[] = {{"jorin/work", "jorin_work"},
                                                         {"a//b", "a__b"},
                                                         {"a/b", "a_b"},
                                                         {" Jo ", " Jo "},
                                                         {"/", "_"},
                                                         {"../x", ".._x"},
                                                         {"./..", "._.."}};
    for (const auto& [owner, folder] : named) EXPECT_EQ(ownerFolderName(owner), folder);
    EXPECT_EQ(ArchiveLayout("/r").owner("../x").folder, "/r/.._x");

    const ArchiveLayout layout("/r");
    for (const std::string& bad : {std::string(), std::string("."), std::string(".."), kNul}) {
        EXPECT_THROW(ArchiveLayout::ownerFolderName(bad), Error);
        EXPECT_THROW(layout.owner(bad), Error);
        EXPECT_FALSE(layout.ownerIfValid(bad));
        const auto problem = ArchiveLayout::ownerFolderProblem(bad);
        ASSERT_TRUE(problem);
        try {
            ArchiveLayout::ownerFolderName(bad);
        } catch (const Error& e) {
            EXPECT_EQ(*problem, e.what());
        }
    }
    EXPECT_EQ(*ArchiveLayout::ownerFolderProblem(""), "an archive owner cannot be blank");
    EXPECT_EQ(*ArchiveLayout::ownerFolderProblem(".."), "\"..\" cannot name an archive folder");
    EXPECT_EQ(*ArchiveLayout::ownerFolderProblem(kNul), "the archive owner contains a NUL character");
    EXPECT_FALSE(ArchiveLayout::ownerFolderProblem("a/b"));
    ASSERT_TRUE(layout.ownerIfValid("a/b"));
    EXPECT_EQ(*layout.ownerIfValid("a/b"), layout.owner("a/b"));
}

TEST(ArchiveLayout, MachineIdentitiesThatCouldLeaveTheRootAreRefused) {
    const ArchiveLayout layout("/r");
    for (const std::string& bad : {std::string(), std::string(".."), std::string("../escape"), std::string("a/b"),
                                   std::string("/abs"), std::string(".hidden"), kNul, std::string(129, 'a')}) {
        EXPECT_THROW(layout.machineReport(bad), Error) << bad;
    }
    EXPECT_EQ(layout.machineReport("mac-1.local_2"), "/r/mac-1.local_2.machine-run.json");
}

TEST(ArchiveLayout, OwnerFoldersAreTheFoldersHoldingAStoreFileSorted) {
    TempDir dir;
    const ArchiveLayout layout(dir.path().string());
    EXPECT_TRUE(layout.ownerFolders().empty());
    kx::test::writeAll(dir / "zed/tresk.db", "x");
    kx::test::writeAll(dir / "ann/tresk.db", "x");
    kx::test::writeAll(dir / "jorin_work/tresk.db", "x");
    kx::test::writeAll(dir / "empty/search.db", "x");             // no store
    std::filesystem::create_directories(dir / "folder/tresk.db"); // a folder, not a store
    kx::test::writeAll(dir / "tresk.db", "x");                    // a file at the root is no owner
    kx::test::writeAll(dir / "STATUS.json", "{}");
    EXPECT_EQ(layout.ownerFolders(), (std::vector<std::string>{"ann", "jorin_work", "zed"}));
    EXPECT_TRUE(ArchiveLayout((dir / "missing").string()).ownerFolders().empty());
}
