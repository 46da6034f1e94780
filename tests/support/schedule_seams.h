#pragma once
// Points the schedule installer at a recording scheduler and a chosen application
// executable for as long as the object lives; the real parts return afterwards.
#include "core/health/schedule_installer.h"
#include "tests/support/platform_doubles.h"

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

} // namespace kx::test
