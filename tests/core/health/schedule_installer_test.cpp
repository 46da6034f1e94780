// The daily schedule installer: property list, registration through the
// scheduler seam, engine search, refresh on changed inputs and the access probe.
#include "core/health/schedule_installer.h"

#include "core/health/schedule_arguments.h"
#include "core/platform/system.h"
#include "tests/support/platform_doubles.h"
#include "tests/support/schedule_seams.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <regex>

namespace {

namespace stdfs = std::filesystem;
using kx::ScheduleInstaller;
using kx::test::readAll;
using kx::test::writeAll;
using Kind = ScheduleInstaller::InstallError::Kind;

void makeExecutable(const stdfs::path& p, const std::string& body = "#!/bin/sh\nexit 0\n") {
    writeAll(p, body);
    ::chmod(p.c_str(), 0755);
}

class ScheduleInstallerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto info = std::make_shared<kx::FakeSystemInfo>();
        info->home = (dir / "home").string();
        stdfs::create_directories(info->home);
        kx::setSystemInfoForTesting(info);
        exe = dir / "prefix/bin/kelvara";
        makeExecutable(exe);
        engine = dir / "prefix/bin/kxctl";
        makeExecutable(engine);
        seams_.emplace([this] { return exe.string(); });
        fake = seams_->scheduler;
    }
    void TearDown() override {
        seams_.reset();
        kx::setSystemInfoForTesting(nullptr);
    }
    stdfs::path home() const { return dir / "home"; }
    stdfs::path plist() const { return home() / "Library/LaunchAgents/com.dunholt.kelvara.plist"; }
    void installDefault(const std::string& root = "/archive", const std::optional<std::string>& machine = "mac-1") {
        ScheduleInstaller::install("/cfg/sources.json", root, "/cfg/filters.json", machine, 3, 30);
    }
    Kind failureKind(const std::function<void()>& f, std::string* description = nullptr) {
        try {
            f();
        } catch (const ScheduleInstaller::InstallError& e) {
            if (description) *description = e.what();
            return e.kind();
        }
        ADD_FAILURE() << "no InstallError";
        return Kind::writeFailed;
    }

    kx::test::TempDir dir;
    stdfs::path exe, engine;
    std::shared_ptr<kx::FakeScheduler> fake;

private:
    std::optional<kx::test::ScheduleSeams> seams_;
};

TEST_F(ScheduleInstallerTest, PathsFollowTheHomeFolder) {
    EXPECT_EQ(ScheduleInstaller::plistURL(), plist().string());
    EXPECT_EQ(ScheduleInstaller::logFolder(), (home() / "Library/Logs/Kelvara").string());
    EXPECT_FALSE(ScheduleInstaller::isInstalled());
}

TEST_F(ScheduleInstallerTest, WithoutAnEngineNothingIsCreated) {
    stdfs::remove(engine);
    std::string description;
    EXPECT_EQ(failureKind([&] { installDefault(); }, &description), Kind::engineMissing);
    EXPECT_EQ(description,
              "The kxctl engine is not inside the app bundle, so a scheduled run would have nothing to execute.");
    EXPECT_FALSE(stdfs::exists(home() / "Library"));
    EXPECT_TRUE(fake->calls.empty());
}

TEST_F(ScheduleInstallerTest, InstallWritesThePropertyListAndRegistersIt) {
    installDefault();
    ASSERT_TRUE(ScheduleInstaller::isInstalled());
    const std::string xml = readAll(plist());
    EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", 0), 0u) << xml;
    EXPECT_NE(xml.find("<plist version=\"1.0\">"), std::string::npos);

    // The nine top-level keys in their order.
    std::vector<std::string> keys;
    const std::regex topKey("\n\t<key>([A-Za-z]+)</key>");
    for (auto it = std::sregex_iterator(xml.begin(), xml.end(), topKey); it != std::sregex_iterator(); ++it)
        keys.push_back((*it)[1]);
    EXPECT_EQ(keys, (std::vector<std::string>{"Label", "ProgramArguments", "EnvironmentVariables",
                                              "StartCalendarInterval", "RunAtLoad", "StandardOutPath",
                                              "StandardErrorPath", "ProcessType", "LowPriorityIO"}));
    EXPECT_NE(xml.find("<key>Label</key>\n\t<string>com.dunholt.kelvara</string>"), std::string::npos);
    EXPECT_NE(xml.find("<key>PATH</key>\n\t\t<string>/usr/bin:/bin:/usr/sbin:/sbin</string>"), std::string::npos);
    EXPECT_NE(xml.find("<key>Hour</key>\n\t\t<integer>3</integer>\n\t\t<key>Minute</key>\n\t\t<integer>30</integer>"),
              std::string::npos);
    EXPECT_NE(xml.find("<key>RunAtLoad</key>\n\t<false/>"), std::string::npos);
    EXPECT_NE(xml.find("<key>StandardOutPath</key>\n\t<string>" +
                       (home() / "Library/Logs/Kelvara/ingest.log").string()),
              std::string::npos);
    EXPECT_NE(xml.find("<key>StandardErrorPath</key>\n\t<string>" +
                       (home() / "Library/Logs/Kelvara/ingest.error.log").string()),
              std::string::npos);
    EXPECT_NE(xml.find("<key>ProcessType</key>\n\t<string>Background</string>"), std::string::npos);
    EXPECT_NE(xml.find("<key>LowPriorityIO</key>\n\t<true/>"), std::string::npos);

    const auto installed = ScheduleInstaller::readInstalled();
    ASSERT_TRUE(installed);
    const auto expectedArgs = kx::ScheduleArguments::ingest(engine.string(), "/cfg/sources.json", "/archive",
                                                            "/cfg/filters.json", "mac-1", true);
    EXPECT_EQ(installed->programArguments, expectedArgs);
    EXPECT_TRUE(stdfs::is_directory(home() / "Library/Logs/Kelvara"));

    // Unregister first, then register the job the property list describes.
    ASSERT_EQ(fake->calls.size(), 2u);
    EXPECT_EQ(fake->calls[0].action, "unregister");
    EXPECT_EQ(fake->calls[0].label, "com.dunholt.kelvara");
    EXPECT_EQ(fake->calls[1].action, "register");
    const kx::ScheduledJob& job = fake->calls[1].job;
    EXPECT_EQ(job.programArguments, expectedArgs);
    EXPECT_EQ(job.environment, (std::map<std::string, std::string>{{"PATH", "/usr/bin:/bin:/usr/sbin:/sbin"}}));
    EXPECT_EQ(job.hour, 3);
    EXPECT_EQ(job.minute, 30);
    EXPECT_EQ(job.definitionPath, plist().string());
    EXPECT_EQ(job.standardOutPath, (home() / "Library/Logs/Kelvara/ingest.log").string());
}

TEST_F(ScheduleInstallerTest, InstallingTwiceLeavesOneIdenticalFileAndOneRegistration) {
    installDefault();
    const std::string first = readAll(plist());
    installDefault();
    EXPECT_EQ(readAll(plist()), first);
    ASSERT_EQ(fake->calls.size(), 4u);
    EXPECT_EQ(fake->calls[2].action, "unregister");
    EXPECT_EQ(fake->calls[3].action, "register");
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : stdfs::directory_iterator(plist().parent_path())) ++files;
    EXPECT_EQ(files, 1u);
}

TEST_F(ScheduleInstallerTest, FailedRegistrationLeavesNothingThatLooksInstalled) {
    fake->registerResult = {5, ""};
    std::string description;
    EXPECT_EQ(failureKind([&] { installDefault(); }, &description), Kind::launchctlFailed);
    EXPECT_EQ(description, "Could not register the schedule: launchctl exited 5");
    EXPECT_FALSE(ScheduleInstaller::isInstalled());

    fake->registerResult = {1, "Bootstrap failed: 5: Input/output error\n"};
    EXPECT_EQ(failureKind([&] { installDefault(); }, &description), Kind::launchctlFailed);
    EXPECT_EQ(description, "Could not register the schedule: Bootstrap failed: 5: Input/output error\n");
    EXPECT_FALSE(ScheduleInstaller::isInstalled());
}

TEST_F(ScheduleInstallerTest, UnwritablePropertyListFolderIsAWriteFailureAndRegistersNothing) {
    writeAll(home() / "Library/LaunchAgents", "a file where the folder should be");
    std::string description;
    EXPECT_EQ(failureKind([&] { installDefault(); }, &description), Kind::writeFailed);
    EXPECT_EQ(description.rfind("Could not write the schedule: ", 0), 0u);
    EXPECT_TRUE(fake->calls.empty());
}

TEST_F(ScheduleInstallerTest, ValuesAPropertyListCannotHoldAreRefused) {
    std::string description;
    EXPECT_EQ(failureKind([&] { installDefault("/archive/\xff\xfe"); }, &description), Kind::writeFailed);
    EXPECT_NE(description.find("/archive/??"), std::string::npos) << description;
    EXPECT_EQ(failureKind([&] { installDefault("/archive/\x01"); }), Kind::writeFailed);
    EXPECT_FALSE(ScheduleInstaller::isInstalled());
    EXPECT_TRUE(fake->calls.empty());
}

TEST_F(ScheduleInstallerTest, EmptyMachineIdentityIsLeftOut) {
    installDefault("/archive", std::string());
    const auto installed = ScheduleInstaller::readInstalled();
    ASSERT_TRUE(installed);
    for (const auto& a : installed->programArguments) EXPECT_NE(a, "--machine-id");
    EXPECT_EQ(installed->programArguments.back(), "--copy-attachments");
}

TEST_F(ScheduleInstallerTest, UninstallRemovesTheFileAndIsQuietWhenNothingIsInstalled) {
    ScheduleInstaller::uninstall();
    EXPECT_FALSE(stdfs::exists(home() / "Library"));
    ASSERT_EQ(fake->calls.size(), 1u);
    EXPECT_EQ(fake->calls[0].action, "unregister");

    installDefault();
    ScheduleInstaller::uninstall();
    EXPECT_FALSE(ScheduleInstaller::isInstalled());
    EXPECT_EQ(fake->calls.back().action, "unregister");
}

TEST_F(ScheduleInstallerTest, InstalledMeansExactlyThatTheFileExists) {
    writeAll(plist(), "anything");
    EXPECT_TRUE(ScheduleInstaller::isInstalled());
    EXPECT_FALSE(ScheduleInstaller::readInstalled()); // not a property list
    stdfs::remove(plist());
    EXPECT_FALSE(ScheduleInstaller::isInstalled());
}

TEST_F(ScheduleInstallerTest, ChangedRootOrNewMachineIdentityReinstallsKeepingTheTime) {
    // Nothing installed: nothing to refresh.
    EXPECT_FALSE(ScheduleInstaller::refreshIfInstalled("/cfg/sources.json", "/new", "/cfg/filters.json", "mac-1"));
    EXPECT_TRUE(fake->calls.empty());

    ScheduleInstaller::install("/cfg/sources.json", "/old", "/cfg/filters.json", std::nullopt, 4, 15);
    fake->calls.clear();
    // Same values: left alone.
    EXPECT_FALSE(ScheduleInstaller::refreshIfInstalled("/cfg/sources.json", "/old", "/cfg/filters.json", std::nullopt));
    EXPECT_TRUE(fake->calls.empty());

    EXPECT_TRUE(ScheduleInstaller::refreshIfInstalled("/cfg/sources.json", "/new", "/cfg/filters.json", std::nullopt));
    auto installed = ScheduleInstaller::readInstalled();
    ASSERT_TRUE(installed);
    EXPECT_EQ(installed->programArguments, kx::ScheduleArguments::ingest(engine.string(), "/cfg/sources.json", "/new",
                                                                         "/cfg/filters.json", std::nullopt, true));
    EXPECT_EQ(installed->hour, 4);
    EXPECT_EQ(installed->minute, 15);

    EXPECT_TRUE(ScheduleInstaller::refreshIfInstalled("/cfg/sources.json", "/new", "/cfg/filters.json", "mac-9"));
    installed = ScheduleInstaller::readInstalled();
    ASSERT_TRUE(installed);
    EXPECT_EQ(installed->programArguments[installed->programArguments.size() - 2], "mac-9");
    EXPECT_EQ(fake->calls.back().action, "register");
}

TEST_F(ScheduleInstallerTest, EngineSearchOrder) {
    // Beside the executable.
    EXPECT_EQ(ScheduleInstaller::locateEngine(), engine.string());

    // The install prefix's libexec folder.
    stdfs::remove(engine);
    EXPECT_EQ(ScheduleInstaller::locateEngine(), std::nullopt);
    const auto libexec = dir / "prefix/libexec/kelvara/kxctl";
    makeExecutable(libexec);
    EXPECT_EQ(ScheduleInstaller::locateEngine(), libexec.string());

    // A candidate that is not executable, or is a folder, is skipped.
    ::chmod(libexec.c_str(), 0644);
    EXPECT_EQ(ScheduleInstaller::locateEngine(), std::nullopt);
    stdfs::create_directories(engine);
    EXPECT_EQ(ScheduleInstaller::locateEngine(), std::nullopt);
}

TEST_F(ScheduleInstallerTest, EngineOfTheBuildTree) {
    exe = dir / "build/app/kelvara";
    makeExecutable(exe);
    EXPECT_EQ(ScheduleInstaller::locateEngine(), std::nullopt);
    makeExecutable(dir / "build/tools/kxctl/kxctl");
    EXPECT_EQ(ScheduleInstaller::locateEngine(), (dir / "build/tools/kxctl/kxctl").string());
}

TEST_F(ScheduleInstallerTest, EngineInsideAnApplicationBundle) {
    const auto bundle = dir / "Applications/Kelvara.app";
    exe = bundle / "Contents/MacOS/Kelvara";
    makeExecutable(exe);
    EXPECT_EQ(ScheduleInstaller::locateEngine(), std::nullopt);
    makeExecutable(bundle / "Contents/MacOS/kxctl");
    EXPECT_EQ(ScheduleInstaller::locateEngine(), (bundle / "Contents/MacOS/kxctl").string());
    makeExecutable(bundle / "Contents/Frameworks/kxctl");
    EXPECT_EQ(ScheduleInstaller::locateEngine(), (bundle / "Contents/Frameworks/kxctl").string());
    writeAll(bundle / "Contents/Frameworks/kxctl", "not executable");
    ::chmod((bundle / "Contents/Frameworks/kxctl").c_str(), 0644);
    EXPECT_EQ(ScheduleInstaller::locateEngine(), (bundle / "Contents/MacOS/kxctl").string());
}

TEST_F(ScheduleInstallerTest, ProbeWithoutEngineOrWithAReplyingEngine) {
    stdfs::remove(engine);
    const auto none = ScheduleInstaller::probeScheduledAccess(20);
    ASSERT_TRUE(none.failureSentence());
    EXPECT_EQ(
        *none.failureSentence(),
        "The kxctl engine is not inside the app bundle, so the scheduled job has nothing to run and archiving cannot "
        "work at all.");

    kx::ProbeOutput reply;
    reply.databasePath = "/home/x/Library/Messages/chat.db";
    reply.databaseExists = true;
    reply.readable = true;
    reply.messageCount = 12;
    makeExecutable(engine, "#!/bin/sh\necho '" + reply.encode() + "'\n");
    const auto outcome = ScheduleInstaller::probeScheduledAccess(20);
    ASSERT_TRUE(outcome.replyValue());
    EXPECT_EQ(*outcome.replyValue(), reply);
}

// The real Linux scheduler behind the installer, with a fake systemctl on PATH.
TEST_F(ScheduleInstallerTest, OnLinuxInstallAlsoWritesASystemdUserTimerAndRemoveDeletesIt) {
    const auto tools = dir / "tools";
    makeExecutable(tools / "systemctl", "#!/bin/sh\necho \"$*\" >> '" + (tools / "calls.log").string() + "'\n");
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (tools.string() + ":" + oldPath).c_str(), 1);
    const std::string oldConfig = std::getenv("XDG_CONFIG_HOME") ? std::getenv("XDG_CONFIG_HOME") : "";
    ::setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    ScheduleInstaller::Seams seams;
    seams.applicationExecutable = [this] { return exe.string(); };
    ScheduleInstaller::setSeamsForTesting(seams);

    installDefault();
    const auto units = dir / "config/systemd/user";
    EXPECT_TRUE(ScheduleInstaller::isInstalled());
    const std::string service = readAll(units / "com.dunholt.kelvara.service");
    EXPECT_NE(service.find("ExecStart=\"" + engine.string() + "\" \"ingest\" \"--registry\" \"/cfg/sources.json\""),
              std::string::npos)
        << service;
    EXPECT_NE(readAll(units / "com.dunholt.kelvara.timer").find("OnCalendar=*-*-* 03:30:00\nPersistent=true\n"),
              std::string::npos);
    EXPECT_EQ(readAll(tools / "calls.log"), "--user disable --now com.dunholt.kelvara.timer\n--user daemon-reload\n"
                                            "--user enable --now com.dunholt.kelvara.timer\n");

    ScheduleInstaller::uninstall();
    EXPECT_FALSE(ScheduleInstaller::isInstalled());
    EXPECT_FALSE(stdfs::exists(units / "com.dunholt.kelvara.service"));
    EXPECT_FALSE(stdfs::exists(units / "com.dunholt.kelvara.timer"));

    ::setenv("PATH", oldPath.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", oldConfig.c_str(), 1);
}

} // namespace
