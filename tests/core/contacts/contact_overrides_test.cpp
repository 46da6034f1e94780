#include "core/contacts/contact_overrides.h"

#include "core/platform/error.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace kx;

TEST(ContactOverrides, SetRemoveAndLookUp) {
    ContactOverrides o;
    EXPECT_TRUE(o.empty());
    o.set("+15551234567", "Mum");
    o.set("sam@example.com", "Sam");
    o.set("+15551234567", "Mother");
    EXPECT_EQ(o.size(), 2u);
    EXPECT_EQ(o.name("+15551234567"), "Mother");
    o.remove("sam@example.com");
    o.remove("never-there");
    EXPECT_FALSE(o.name("sam@example.com"));
    o.set("+15551234567", ""); // an empty name removes the entry
    EXPECT_TRUE(o.empty());
}

TEST(ContactOverrides, MissingFileGivesEmptyAndSaveRoundTrips) {
    test::TempDir dir;
    const std::string path = (dir / "Kelvara" / "contacts-overrides.json").string();
    EXPECT_TRUE(ContactOverrides::load(path).empty());
    ContactOverrides o;
    o.set("+15551234567", "Mum \"the best\" \xf0\x9f\x98\x80");
    o.set("sam@example.com", "Sam");
    o.save(path);
    struct stat st {};
    ::stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(ContactOverrides::load(path), o);
}

TEST(ContactOverrides, DamagedFileThrowsAndIsNeverOverwritten) {
    test::TempDir dir;
    for (const std::string bad : {"{ not json", "[\"a\"]", R"({"names": ["a"]})", R"({"names": {"+1555": 3}})",
                                  R"({"version": 2, "names": {}})"}) {
        const auto path = dir / ("overrides-" + std::to_string(bad.size()) + ".json");
        test::writeAll(path, bad);
        EXPECT_THROW(ContactOverrides::load(path.string()), Error) << bad;
        // The application keeps empty overrides after the failure and later saves
        // a name: that save must not replace the user's file.
        ContactOverrides fresh;
        fresh.set("x@example.com", "X");
        try {
            fresh.save(path.string());
            ADD_FAILURE() << "save was not refused for " << bad;
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find("was not saved"), std::string::npos);
        }
        EXPECT_EQ(test::readAll(path), bad);
    }
}

TEST(ContactOverrides, RepairedFileLoadsAndUnblocksSaving) {
    test::TempDir dir;
    const auto path = dir / "contacts-overrides.json";
    test::writeAll(path, "{");
    EXPECT_THROW(ContactOverrides::load(path.string()), Error);
    test::writeAll(path, R"({"version": 1, "names": {"a@b.c": "A", "": "skipped", "e@f.g": ""}, "extra": true})");
    const auto o = ContactOverrides::load(path.string());
    EXPECT_EQ(o.size(), 1u);
    EXPECT_EQ(o.name("a@b.c"), "A");
    EXPECT_NO_THROW(o.save(path.string()));
}
