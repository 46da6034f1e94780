#include "app/platform/user_defaults.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

TEST(SettingsUserDefaults, ReadsWhatAnEarlierRunAndAHandEditedFileSaid) {
    const auto file = std::filesystem::path(getenv("XDG_CONFIG_HOME")) / "com.dunholt.kelvara.ini";
    kx::test::writeAll(file, "[General]\nonboardingSkipped=true\ndestinationRoot=/data/Tresk\n");
    {
        SettingsUserDefaults d;
        EXPECT_TRUE(d.flag(DefaultsKey::onboardingSkipped));
        EXPECT_FALSE(d.flag(DefaultsKey::onboardingCompleted));
        EXPECT_EQ(d.string(DefaultsKey::destinationRoot), QString("/data/Tresk"));
        EXPECT_FALSE(d.string(DefaultsKey::archiveOwner).has_value());
        d.setFlag(DefaultsKey::onboardingCompleted, true);
        d.setString(DefaultsKey::archiveOwner, "jorin");
    }
    SettingsUserDefaults again;
    EXPECT_TRUE(again.flag(DefaultsKey::onboardingCompleted));
    EXPECT_EQ(again.string(DefaultsKey::archiveOwner), QString("jorin"));
    std::filesystem::remove(file);
}
