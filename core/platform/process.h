#pragma once
// Running child processes with a time limit.
//
// The runner drains standard output and standard error while the child runs (so a
// chatty child never blocks on a full pipe), keeps at most `maxOutputBytes` of
// each, and when the time limit passes sends SIGTERM to the child's process group,
// waits `killGrace`, sends SIGKILL, and always reaps the child.
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kx {

struct ProcessRequest {
    std::string program;                // absolute path, or a name looked up on PATH
    std::vector<std::string> arguments; // not including the program itself
    // Environment for the child; nothing = inherit this process's environment.
    std::optional<std::map<std::string, std::string>> environment;
    std::string standardInput; // written to the child's stdin, then closed
    std::chrono::milliseconds timeout{std::chrono::seconds(60)};
    std::chrono::milliseconds killGrace{std::chrono::seconds(2)};
    size_t maxOutputBytes = 4 * 1024 * 1024;
};

struct ProcessResult {
    bool started = false; // false: the program could not be started (see startError)
    std::string startError;
    int exitCode = -1;     // valid when exited normally
    int signal = 0;        // non-zero when ended by a signal
    bool timedOut = false; // the time limit passed and the child was ended
    bool outputTruncated = false;
    std::string standardOutput;
    std::string standardError;
    bool succeeded() const { return started && !timedOut && signal == 0 && exitCode == 0; }
};

class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;
    virtual ProcessResult run(const ProcessRequest& request) = 0;
};

// fork/exec on POSIX.
class PosixProcessRunner final : public ProcessRunner {
public:
    ProcessResult run(const ProcessRequest& request) override;
};

// Looks a program name up on PATH (or returns it when it contains a "/").
std::optional<std::string> findExecutable(const std::string& name, const std::string& pathVariable);

} // namespace kx
