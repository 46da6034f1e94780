#include "tests/support/platform_doubles.h"

namespace kx {

SchedulerResult FakeScheduler::registerJob(const ScheduledJob& job) {
    calls.push_back({"register", job.label, job});
    return registerResult;
}

SchedulerResult FakeScheduler::unregisterJob(const std::string& label) {
    calls.push_back({"unregister", label, {}});
    return unregisterResult;
}

ProcessResult FakeProcessRunner::run(const ProcessRequest& request) {
    requests.push_back(request);
    if (answers.empty()) return defaultAnswer;
    ProcessResult r = answers.front();
    answers.erase(answers.begin());
    return r;
}

} // namespace kx
