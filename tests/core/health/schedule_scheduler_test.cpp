// The daily-job schedulers: systemd user units against a fake systemctl on a
// temporary PATH, launchctl against a fake process runner.
#include "core/platform/scheduler.h"

#include "core/platform/error.h"
#include "tests/support/fake_systemctl.h"
#include "tests/support/platform_doubles.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

namespace kx {
namespace {

namespace stdfs = std::filesystem;

using test::FakeSystemctl;

ScheduledJob sampleJob(const stdfs::path& engine, const stdfs::path& logs) {
    ScheduledJob job;
    job.label = "com.dunholt.kelvara";
    job.programArguments = {engine.string(),     "ingest",       "--registry", "/cfg dir/sources.json", "--root",
                            "/srv/100% archive", "--machine-id", "m$1"};
    job.environment = {{"PATH", "/usr/bin:/bin:/usr/sbin:/sbin"}};
    job.hour = 3;
    job.minute = 30;
    job.standardOutPath = (logs / "ingest.log").string();
    job.standardErrorPath = (logs / "ingest.error.log").string();
    job.definitionPath = "/home/jo/Library/LaunchAgents/com.dunholt.kelvara.plist";
    return job;
}

TEST(SystemdUserScheduler, QuotesEveryArgumentSoSystemdTakesItLiterally) {
    EXPECT_EQ(SystemdUserScheduler::quoteArgument("/usr/bin/kxctl"), "\"/usr/bin/kxctl\"");
    EXPECT_EQ(SystemdUserScheduler::quoteArgument("a b"), "\"a b\"");
    EXPECT_EQ(SystemdUserScheduler::quoteArgument("100%"), "\"100%%\"");
    EXPECT_EQ(SystemdUserScheduler::quoteArgument("$HOME"), "\"$$HOME\"");
    EXPECT_EQ(SystemdUserScheduler::quoteArgument("/opt/$x/kxctl", true), "\"/opt/$x/kxctl\"");
    EXPECT_EQ(SystemdUserScheduler::quoteArgument("say \"hi\" \\ now"), "\"say \\\"hi\\\" \\\\ now\"");
    EXPECT_EQ(SystemdUserScheduler::quoteArgument("line\nbreak"), "\"line\\nbreak\"");
    EXPECT_EQ(SystemdUserScheduler::quoteArgument(""), "\"\"");
}

TEST(SystemdUserScheduler, UnitFolderFollowsXdgConfigHome) {
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_CONFIG_HOME", "/x/config", 1);
    EXPECT_EQ(SystemdUserScheduler::userUnitDirectory("/home/jo"), "/x/config/systemd/user");
    ::setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    EXPECT_EQ(SystemdUserScheduler::userUnitDirectory("/home/jo"), "/home/jo/.config/systemd/user");
    ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
}

TEST(SystemdUserScheduler, UnitsCarryTheWholeSchedule) {
    const ScheduledJob job = sampleJob("/opt/k/kxctl", "/home/jo/Library/Logs/Kelvara");
    const std::string service = SystemdUserScheduler::serviceUnit(job);
    EXPECT_NE(service.find(
                  "\nExecStart=\"/opt/k/kxctl\" \"ingest\" \"--registry\" \"/cfg dir/sources.json\" \"--root\" "
                  "\"/srv/100%% archive\" \"--machine-id\" \"m$$1\"\n"),
              std::string::npos)
        << service;
    EXPECT_NE(service.find("\nType=oneshot\nTimeoutStartSec=infinity\n"), std::string::npos);
    EXPECT_NE(service.find("\nEnvironment=\"PATH=/usr/bin:/bin:/usr/sbin:/sbin\"\n"), std::string::npos);
    EXPECT_NE(service.find("\nStandardOutput=append:/home/jo/Library/Logs/Kelvara/ingest.log\n"), std::string::npos);
    EXPECT_NE(service.find("\nStandardError=append:/home/jo/Library/Logs/Kelvara/ingest.error.log\n"),
              std::string::npos);
    EXPECT_NE(service.find("\nNice=10\nCPUSchedulingPolicy=batch\nIOSchedulingClass=idle\n"), std::string::npos);

    const std::string timer = SystemdUserScheduler::timerUnit(job);
    EXPECT_NE(timer.find("\nOnCalendar=*-*-* 03:30:00\nPersistent=true\nUnit=com.dunholt.kelvara.service\n"),
              std::string::npos)
        << timer;
    EXPECT_NE(timer.find("\n[Install]\nWantedBy=timers.target\n"), std::string::npos);
}

TEST(SystemdUserScheduler, RefusesWhatAUnitFileCannotHold) {
    ScheduledJob job = sampleJob("/opt/k/kxctl", "/logs");
    job.standardOutPath = "/logs/in\nject.log";
    EXPECT_THROW(SystemdUserScheduler::serviceUnit(job), Error);
    job = sampleJob("/opt/k/kxctl", "/logs");
    job.environment["PATH"] = "/bin\n[Service]";
    EXPECT_THROW(SystemdUserScheduler::serviceUnit(job), Error);
    job = sampleJob("/opt/it's \"here\"/kxctl", "/logs");
    EXPECT_THROW(SystemdUserScheduler::serviceUnit(job), Error);
    job = sampleJob("relative/kxctl", "/logs");
    EXPECT_THROW(SystemdUserScheduler::serviceUnit(job), Error);
    job = sampleJob("/opt/k/kxctl", "/logs");
    job.label = "../../evil";
    EXPECT_THROW(SystemdUserScheduler::timerUnit(job), Error);
    job = sampleJob("/opt/k/kxctl", "/logs");
    job.hour = 24;
    EXPECT_THROW(SystemdUserScheduler::timerUnit(job), Error);
    // An argument with a line break is fine: it is escaped inside its quotes.
    job = sampleJob("/opt/k/kxctl", "/logs");
    job.programArguments.push_back("two\nlines");
    EXPECT_NO_THROW(SystemdUserScheduler::serviceUnit(job));
}

TEST(SystemdUserScheduler, RegisterWritesBothUnitsReloadsAndEnablesTheTimer) {
    FakeSystemctl systemctl;
    test::TempDir home;
    const auto unitDir = home / "config/systemd/user";
    SystemdUserScheduler scheduler(std::make_shared<PosixProcessRunner>(), unitDir.string());
    const ScheduledJob job = sampleJob("/opt/k/kxctl", home / "logs");

    const SchedulerResult r = scheduler.registerJob(job);
    EXPECT_TRUE(r.ok()) << r.output;
    EXPECT_EQ(test::readAll(unitDir / "com.dunholt.kelvara.service"), SystemdUserScheduler::serviceUnit(job));
    EXPECT_EQ(test::readAll(unitDir / "com.dunholt.kelvara.timer"), SystemdUserScheduler::timerUnit(job));
    EXPECT_EQ(systemctl.calls(), "--user daemon-reload\n--user enable --now com.dunholt.kelvara.timer\n");

    const SchedulerResult u = scheduler.unregisterJob("com.dunholt.kelvara");
    EXPECT_TRUE(u.ok());
    EXPECT_FALSE(stdfs::exists(unitDir / "com.dunholt.kelvara.service"));
    EXPECT_FALSE(stdfs::exists(unitDir / "com.dunholt.kelvara.timer"));
    EXPECT_EQ(systemctl.calls(), "--user daemon-reload\n--user enable --now com.dunholt.kelvara.timer\n"
                                 "--user disable --now com.dunholt.kelvara.timer\n--user daemon-reload\n");
}

TEST(SystemdUserScheduler, FailedEnableLeavesNoUnitFilesBehind) {
    FakeSystemctl systemctl;
    systemctl.failOn("enable", 4);
    test::TempDir home;
    SystemdUserScheduler scheduler(std::make_shared<PosixProcessRunner>(), (home / "units").string());

    const SchedulerResult r = scheduler.registerJob(sampleJob("/opt/k/kxctl", home / "logs"));
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.output, "Failed to enable: no user session\n");
    EXPECT_FALSE(stdfs::exists(home / "units/com.dunholt.kelvara.service"));
    EXPECT_FALSE(stdfs::exists(home / "units/com.dunholt.kelvara.timer"));
}

TEST(SystemdUserScheduler, MissingSystemctlIsAFailureWithAReason) {
    test::TempDir home;
    SystemdUserScheduler scheduler(std::make_shared<PosixProcessRunner>(), (home / "units").string(),
                                   (home / "no-systemctl").string());
    const SchedulerResult r = scheduler.registerJob(sampleJob("/opt/k/kxctl", home / "logs"));
    EXPECT_EQ(r.status, -1);
    EXPECT_NE(r.output.find("no-systemctl"), std::string::npos);
    EXPECT_FALSE(stdfs::exists(home / "units/com.dunholt.kelvara.timer"));
    // Unregistering when nothing was registered is harmless.
    EXPECT_EQ(scheduler.unregisterJob("com.dunholt.kelvara").status, -1);
}

TEST(SystemdUserScheduler, GeneratedUnitsPassSystemdAnalyzeVerify) {
    const auto analyze = findExecutable("systemd-analyze", std::getenv("PATH") ? std::getenv("PATH") : "");
    if (!analyze) KX_SKIP_WITHOUT_PEER("systemd-analyze is not installed");
    test::TempDir dir;
    // A real program with awkward characters in its path, so the quoting is checked too.
    const auto engine = dir / "Kelvara 100% $tool";
    test::writeAll(engine, "#!/bin/sh\nexit 0\n");
    ::chmod(engine.c_str(), 0755);
    ScheduledJob job = sampleJob(engine, dir / "logs");
    test::writeAll(dir / "com.dunholt.kelvara.service", SystemdUserScheduler::serviceUnit(job));
    test::writeAll(dir / "com.dunholt.kelvara.timer", SystemdUserScheduler::timerUnit(job));

    PosixProcessRunner runner;
    ProcessRequest req;
    req.program = *analyze;
    req.arguments = {"verify", (dir / "com.dunholt.kelvara.service").string(),
                     (dir / "com.dunholt.kelvara.timer").string()};
    req.timeout = std::chrono::seconds(60);
    const ProcessResult r = runner.run(req);
    ASSERT_TRUE(r.started) << r.startError;
    if (r.standardError.find("Failed to initialize manager") != std::string::npos)
        KX_SKIP_WITHOUT_PEER("systemd-analyze cannot run here: " << r.standardError);
    EXPECT_EQ(r.exitCode, 0) << r.standardError;
    // verify also reports settings it ignores, with exit status 0; there must be none.
    EXPECT_EQ(r.standardError, "");
}

TEST(LaunchctlScheduler, BootstrapsAndBootsOutInTheUsersGuiDomain) {
    auto runner = std::make_shared<FakeProcessRunner>();
    LaunchctlScheduler scheduler(runner, 501);
    ProcessResult failed;
    failed.started = true;
    failed.exitCode = 5;
    failed.standardOutput = "Bootstrap failed: 5: ";
    failed.standardError = "Input/output error\n";
    runner->answers = {runner->defaultAnswer, failed};

    EXPECT_TRUE(scheduler.unregisterJob("com.dunholt.kelvara").ok());
    ScheduledJob job;
    job.definitionPath = "/Users/jo/Library/LaunchAgents/com.dunholt.kelvara.plist";
    const SchedulerResult r = scheduler.registerJob(job);
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.output, "Bootstrap failed: 5: Input/output error\n");

    ASSERT_EQ(runner->requests.size(), 2u);
    EXPECT_EQ(runner->requests[0].program, "/bin/launchctl");
    EXPECT_EQ(runner->requests[0].arguments, (std::vector<std::string>{"bootout", "gui/501/com.dunholt.kelvara"}));
    EXPECT_EQ(runner->requests[1].arguments,
              (std::vector<std::string>{"bootstrap", "gui/501",
                                        "/Users/jo/Library/LaunchAgents/com.dunholt.kelvara.plist"}));
    EXPECT_FALSE(runner->requests[1].environment.has_value()); // the application's own environment

    ProcessResult notStarted;
    notStarted.startError = "the program /bin/launchctl was not found or is not executable";
    runner->answers = {notStarted};
    const SchedulerResult missing = scheduler.runLaunchctl({"list"});
    EXPECT_EQ(missing.status, -1);
    EXPECT_EQ(missing.output, notStarted.startError);
}

TEST(LaunchctlScheduler, RunsARealLaunchctlAndKeepsItsOutput) {
    test::TempDir dir;
    const auto tool = dir / "launchctl";
    test::writeAll(
        tool, "#!/bin/sh\necho \"$*\" >> '" + (dir / "calls.log").string() +
                  "'\nif [ \"$1\" = bootstrap ]; then echo 'Bootstrap failed: 5: Input/output error' >&2; exit 5; fi\n"
                  "echo 'Boot-out failed: 3: No such process'; exit 3\n");
    ::chmod(tool.c_str(), 0755);
    LaunchctlScheduler scheduler(std::make_shared<PosixProcessRunner>(), 501, tool.string());
    const SchedulerResult out = scheduler.unregisterJob("com.dunholt.kelvara");
    EXPECT_EQ(out.status, 3);
    EXPECT_EQ(out.output, "Boot-out failed: 3: No such process\n");
    ScheduledJob job;
    job.definitionPath = "/Users/jo/Library/LaunchAgents/com.dunholt.kelvara.plist";
    const SchedulerResult in = scheduler.registerJob(job);
    EXPECT_EQ(in.status, 5);
    EXPECT_EQ(in.output, "Bootstrap failed: 5: Input/output error\n");
    EXPECT_EQ(test::readAll(dir / "calls.log"), "bootout gui/501/com.dunholt.kelvara\nbootstrap gui/501 "
                                                "/Users/jo/Library/LaunchAgents/com.dunholt.kelvara.plist\n");
}

} // namespace
} // namespace kx
