#pragma once
// Pointing the schedule installer at test stand-ins: ScheduleSeams (a recording
// scheduler and a chosen application executable, for as long as the object
// lives) and installApplicationWithEngine (an application with its engine tool).
#include "core/health/schedule_installer.h"
#include "tests/support/platform_doubles.h"
#include "tests/support/test_env.h"

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace kx::test {

class ScheduleSeams {
public:
    // `applicationExecutable` is asked afresh on every use, so a test may move
    // the executable it names.
    explicit ScheduleSeams(std::function<std::string()> applicationExecutable) {
        ScheduleInstaller::Seams seams;
        seams.scheduler = [fake = scheduler] { return fake; };
        seams.applicationExecutable = std::move(applicationExecutable);
        ScheduleInstaller::setSeamsForTesting(std::move(seams));
    }
    ~ScheduleSeams() { ScheduleInstaller::setSeamsForTesting({}); }
    ScheduleSeams(const ScheduleSeams&) = delete;
    ScheduleSeams& operator=(const ScheduleSeams&) = delete;

    const std::shared_ptr<FakeScheduler> scheduler = std::make_shared<FakeScheduler>();
};

// Writes an application executable "<folder>/kelvara" with the engine tool
// "kxctl" beside it (a shell script whose body is `engineScript`) and makes the
// schedule installer take it for this application's. Undone by
// ScheduleInstaller::setSeamsForTesting({}).
inline void installApplicationWithEngine(const std::filesystem::path& folder,
                                         const std::string& engineScript = "exit 0") {
    std::filesystem::create_directories(folder);
    writeAll(folder / "kelvara", "#!/bin/sh\n");
    writeAll(folder / "kxctl", "#!/bin/sh\n" + engineScript + "\n");
    ::chmod((folder / "kxctl").c_str(), 0755);
    ScheduleInstaller::Seams seams;
    seams.applicationExecutable = [exe = (folder / "kelvara").string()] { return exe; };
    ScheduleInstaller::setSeamsForTesting(std::move(seams));
}

} // namespace kx::test
