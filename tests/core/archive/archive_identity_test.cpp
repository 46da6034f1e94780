#include "core/archive/archive_identity.h"

#include <gtest/gtest.h>

using kx::ArchiveIdentity;
using Origin = ArchiveIdentity::Origin;

TEST(ArchiveIdentity, NormalizeTrimsCollapsesSpaceAndDropsControlCharacters) {
    EXPECT_EQ(ArchiveIdentity::normalize("  Jorin \t Vale\n"), "Jorin Vale");
    EXPECT_EQ(ArchiveIdentity::normalize(std::string("jo\0rin\x07", 7)), "jorin");
    EXPECT_EQ(ArchiveIdentity::normalize(" \t\n "), "");
    EXPECT_EQ(ArchiveIdentity::normalize("jorin/work"), "jorin/work");
}

TEST(ArchiveIdentity, ResolvePrefersChosenThenAccountThenFullName) {
    EXPECT_EQ(ArchiveIdentity::resolve(std::string(" Family "), "jorin", "Jorin Vale", {}).owner, "Family");
    EXPECT_EQ(ArchiveIdentity::resolve(std::string("   "), "jorin", "Jorin Vale", {}).origin, Origin::accountName);
    const auto full = ArchiveIdentity::resolve(std::nullopt, "", "Jorin Vale", {});
    EXPECT_EQ(full.owner, "Jorin Vale");
    EXPECT_EQ(full.origin, Origin::fullName);
    EXPECT_EQ(ArchiveIdentity::resolve(std::nullopt, "", "", {}).owner, "me");
}

TEST(ArchiveIdentity, ResolveTakesTheSpellingOfAnExistingArchive) {
    const auto id = ArchiveIdentity::resolve(std::nullopt, "jorin", "", {"Jorin", "sam"});
    EXPECT_EQ(id.owner, "Jorin");
    EXPECT_TRUE(id.matchesExisting);
    EXPECT_FALSE(id.needsConfirmation({"Jorin", "sam"}));
}

TEST(ArchiveIdentity, ConfirmationOnlyForAnUnchosenNewNameBesideOtherArchives) {
    const std::vector<std::string> others{"sam"};
    EXPECT_FALSE(ArchiveIdentity::resolve(std::nullopt, "jorin", "", {}).needsConfirmation({}));
    EXPECT_TRUE(ArchiveIdentity::resolve(std::nullopt, "jorin", "", others).needsConfirmation(others));
    EXPECT_FALSE(ArchiveIdentity::resolve(std::string("jorin"), "x", "", others).needsConfirmation(others));
}

TEST(ArchiveIdentity, ProblemRefusesNamesThatCannotNameTheirOwnFolder) {
    EXPECT_EQ(ArchiveIdentity::problem("", {}), "An archive name cannot be blank.");
    EXPECT_TRUE(ArchiveIdentity::problem(".", {}).has_value());
    EXPECT_TRUE(ArchiveIdentity::problem("..", {}).has_value());
    EXPECT_TRUE(ArchiveIdentity::problem(std::string("a\0b", 3), {}).has_value());
    const auto clash = ArchiveIdentity::problem("a/b", {"a_b"});
    ASSERT_TRUE(clash.has_value());
    EXPECT_EQ(*clash, "The archive name \"a/b\" would share the folder \"a_b\" with the archive of \"a_b\". Choose "
                      "another name so the two histories stay apart.");
    EXPECT_FALSE(ArchiveIdentity::problem("a/b", {"a/b", "c"}).has_value());
    EXPECT_FALSE(ArchiveIdentity::problem("a/b/..", {}).has_value()); // the folder is "a_b_..", inside the root
}
