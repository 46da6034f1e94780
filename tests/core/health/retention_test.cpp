// Reading what Messages keeps: the property list in both encodings, the values
// Messages writes, and every way the file can be missing or wrong.
#include "core/health/retention.h"

#include "tests/support/platform_doubles.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

namespace kx {
namespace {

using Setting = RetentionPolicy::Setting;

std::string preferences(plist_t value, bool binary) {
    plist_t dict = plist_new_dict();
    if (value) plist_dict_set_item(dict, RetentionReader::kKey, value);
    char* out = nullptr;
    uint32_t length = 0;
    if (binary) plist_to_bin(dict, &out, &length);
    else plist_to_xml(dict, &out, &length);
    std::string bytes(out, length);
    free(out);
    plist_free(dict);
    return bytes;
}

TEST(Retention, TheValuesMessagesWritesInEitherEncoding) {
    for (bool binary : {false, true}) {
        EXPECT_EQ(RetentionReader::fromPropertyList(preferences(plist_new_uint(30), binary)), Setting::ofDays(30));
        EXPECT_EQ(RetentionReader::fromPropertyList(preferences(plist_new_uint(365), binary)), Setting::ofDays(365));
        EXPECT_EQ(RetentionReader::fromPropertyList(preferences(plist_new_uint(0), binary)), Setting::keepForever());
        // Messages leaves the key out until the setting is changed: its default is forever.
        EXPECT_EQ(RetentionReader::fromPropertyList(preferences(nullptr, binary)), Setting::keepForever());
        EXPECT_EQ(RetentionReader::fromPropertyList(preferences(plist_new_real(30.0), binary)), Setting::ofDays(30));
        // Values that are not a count of days are not guessed at.
        for (plist_t odd : {plist_new_string("30"), plist_new_real(1.5), plist_new_uint(uint64_t(-1))}) {
            const Setting s = RetentionReader::fromPropertyList(preferences(odd, binary));
            EXPECT_EQ(s.kind, Setting::Kind::unreadable);
            EXPECT_FALSE(s.reason.empty());
        }
    }
    for (const std::string bad : {"", "garbage", "<plist><array/></plist>"})
        EXPECT_EQ(RetentionReader::fromPropertyList(bad).kind, Setting::Kind::unreadable) << bad;
}

TEST(Retention, LabelsInMessagesOwnWords) {
    EXPECT_EQ(Setting::ofDays(30).appleLabel(), "30 Days");
    EXPECT_EQ(Setting::ofDays(365).appleLabel(), "1 Year");
    EXPECT_EQ(Setting::ofDays(366).appleLabel(), "366 Days");
    EXPECT_EQ(Setting::ofDays(1).appleLabel(), "1 Day");
    EXPECT_EQ(Setting::keepForever().appleLabel(), "Forever");
    EXPECT_EQ(Setting::unreadable("x").appleLabel(), "Unknown");
}

TEST(Retention, TheFileInTheHomeFolderAndWhyItCannotBeRead) {
    test::TempDir home;
    auto system = std::make_shared<FakeSystemInfo>();
    system->home = home.path().string();
    setSystemInfoForTesting(system);
    EXPECT_EQ(RetentionReader::currentSetting(RetentionReader::domain),
              Setting::unreadable("Messages' settings are not on this computer"));
    const auto file = home / "Library/Preferences/com.apple.MobileSMS.plist";
    std::filesystem::create_directories(file.parent_path());
    test::writeAll(file, preferences(plist_new_uint(30), true));
    EXPECT_EQ(RetentionReader::currentSetting(RetentionReader::domain), Setting::ofDays(30));
    // A link is not followed, a folder is not read, a domain cannot name a path.
    std::filesystem::remove(file);
    std::filesystem::create_symlink(home / "elsewhere.plist", file);
    EXPECT_EQ(RetentionReader::currentSetting(RetentionReader::domain).kind, Setting::Kind::unreadable);
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    EXPECT_EQ(RetentionReader::currentSetting(RetentionReader::domain).kind, Setting::Kind::unreadable);
    EXPECT_EQ(RetentionReader::currentSetting("../../etc/passwd").kind, Setting::Kind::unreadable);
    setSystemInfoForTesting(nullptr);
}

} // namespace
} // namespace kx
