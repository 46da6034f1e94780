#pragma once
// Shared set-up of the model tests.
//
// PrivateHomeTest: a private home and application-support folder for each
// test (HOME and XDG_DATA_HOME point into it) and in-memory user defaults.
//
// ModelTest adds a made-up login, a notification center double, start-up of
// the model and generated Messages folders.
#include "app/model/alerts_model.h"
#include "app/model/analysis_model.h"
#include "app/model/app_model.h"
#include "app/model/contacts_model.h"
#include "app/model/evidence_model.h"
#include "app/model/filters_model.h"
#include "app/model/household_model.h"
#include "app/model/owners_model.h"
#include "app/model/permissions_model.h"
#include "app/model/runs_model.h"
#include "app/model/sources_model.h"
#include "app/platform/notification_center.h"
#include "app/platform/user_defaults.h"
#include "core/platform/system.h"
#include "tests/fixtures/fixtures.h"
#include "tests/support/model_tasks.h"
#include "tests/support/notification_center_double.h"
#include "tests/support/platform_doubles.h"
#include "tests/support/test_env.h"
#include "tests/support/user_defaults_double.h"

#include <QTest>
#include <gtest/gtest.h>

#include <filesystem>

namespace kx::test {

class PrivateHomeTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("HOME", home.path().c_str(), 1);
        setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
        defaults = std::make_shared<MemoryUserDefaults>();
        setUserDefaultsForTesting(defaults);
    }
    void TearDown() override { setUserDefaultsForTesting(nullptr); }

    std::filesystem::path configDir() const { return home / ".local/share/Kelvara"; }

    TempDir home;
    std::shared_ptr<MemoryUserDefaults> defaults;
};

class ModelTest : public PrivateHomeTest {
protected:
    void SetUp() override {
        PrivateHomeTest::SetUp();
        system = std::make_shared<FakeSystemInfo>();
        system->home = home.path().string();
        system->appSupport = (home / ".local/share").string();
        system->shortName = "jorin";
        system->fullName = "Jorin Vale";
        system->computer = "Jorin's laptop";
        setSystemInfoForTesting(system);
        center = std::make_shared<FakeNotificationCenter>();
        setNotificationCenterForTesting(center);
    }
    void TearDown() override {
        model.reset();
        PrivateHomeTest::TearDown();
        setSystemInfoForTesting(nullptr);
        setNotificationCenterForTesting(nullptr);
    }

    std::filesystem::path defaultRoot() const { return configDir() / "Tresk"; }

    // Starts the model and lets its start-up tasks run to the end.
    AppModel& start(std::shared_ptr<const Clock> clock = nullptr) {
        model = std::make_unique<AppModel>(std::move(clock));
        EXPECT_TRUE(drainModelTasks(*model));
        return *model;
    }

    // A generated copied Messages folder.
    fixtures::Summary messagesFolder(const std::filesystem::path& folder, int64_t messages = 40) {
        fixtures::Options o;
        o.messages = messages;
        return fixtures::writeMessagesFolder(folder, o);
    }
    static Source folderSource(const std::string& id, const std::string& owner, const std::filesystem::path& path) {
        Source s;
        s.id = id;
        s.owner = owner;
        s.path = path.string();
        s.format = SourceFormat::macosMessagesFolder;
        s.label = "Folder " + id;
        return s;
    }

    // Waits for the run the model started to end, and for what it set off.
    bool waitForRun() { return drainModelTasks(*model); }

    std::shared_ptr<FakeSystemInfo> system;
    std::shared_ptr<FakeNotificationCenter> center;
    std::unique_ptr<AppModel> model;
};

} // namespace kx::test
