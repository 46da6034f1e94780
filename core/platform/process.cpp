#include "core/platform/process.h"

#include "core/platform/fs.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace kx {

std::optional<std::string> findExecutable(const std::string& name, const std::string& pathVariable) {
    if (name.find('/') != std::string::npos) return name;
    std::stringstream ss(pathVariable);
    std::string dir;
    while (std::getline(ss, dir, ':')) {
        if (dir.empty()) continue;
        const std::string candidate = fs::appendComponent(dir, name);
        if (::access(candidate.c_str(), X_OK) == 0 && fs::isRegularFile(candidate)) return candidate;
    }
    return std::nullopt;
}

namespace {

using Clock = std::chrono::steady_clock;

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

} // namespace

ProcessResult PosixProcessRunner::run(const ProcessRequest& req) {
    ProcessResult result;
    const char* envPath = std::getenv("PATH");
    std::string pathVar = envPath ? envPath : "/usr/bin:/bin";
    if (req.environment) {
        auto it = req.environment->find("PATH");
        if (it != req.environment->end()) pathVar = it->second;
    }
    const auto program = findExecutable(req.program, pathVar);
    if (!program || ::access(program->c_str(), X_OK) != 0) {
        result.startError = "the program " + req.program + " was not found or is not executable";
        return result;
    }

    std::vector<std::string> argStore;
    argStore.push_back(*program);
    argStore.insert(argStore.end(), req.arguments.begin(), req.arguments.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    std::vector<std::string> envStore;
    std::vector<char*> envp;
    if (req.environment) {
        for (const auto& [k, v] : *req.environment) envStore.push_back(k + "=" + v);
        for (auto& e : envStore) envp.push_back(e.data());
        envp.push_back(nullptr);
    }

    int inPipe[2], outPipe[2], errPipe[2], execPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) || ::pipe2(outPipe, O_CLOEXEC) || ::pipe2(errPipe, O_CLOEXEC) ||
        ::pipe2(execPipe, O_CLOEXEC)) {
        result.startError = std::string("could not create pipes: ") + std::strerror(errno);
        return result;
    }

    const pid_t pid = ::fork();
    if (pid < 0) {
        result.startError = std::string("could not start a process: ") + std::strerror(errno);
        for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1], execPipe[0], execPipe[1]}) ::close(fd);
        return result;
    }
    if (pid == 0) {
        // Child: own process group so a timeout can end its children too.
        ::setpgid(0, 0);
        ::dup2(inPipe[0], 0);
        ::dup2(outPipe[1], 1);
        ::dup2(errPipe[1], 2);
        ::signal(SIGPIPE, SIG_DFL);
        if (req.environment) ::execve(argv[0], argv.data(), envp.data());
        else ::execve(argv[0], argv.data(), environ);
        const int err = errno;
        (void)!::write(execPipe[1], &err, sizeof err);
        ::_exit(127);
    }

    ::close(inPipe[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    ::close(execPipe[1]);
    int execErr = 0;
    const bool execFailed = ::read(execPipe[0], &execErr, sizeof execErr) == static_cast<ssize_t>(sizeof execErr);
    ::close(execPipe[0]);

    int fdIn = inPipe[1], fdOut = outPipe[0], fdErr = errPipe[0];
    ::fcntl(fdIn, F_SETFL, O_NONBLOCK);
    size_t inOffset = 0;
    if (req.standardInput.empty()) closeFd(fdIn);

    const auto deadline = Clock::now() + req.timeout;
    auto killAt = Clock::time_point::max();
    bool exited = false;
    int status = 0;

    auto append = [&](int& fd, std::string& into) {
        char buf[65536];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            const size_t room = req.maxOutputBytes > into.size() ? req.maxOutputBytes - into.size() : 0;
            into.append(buf, std::min(room, static_cast<size_t>(n)));
            if (static_cast<size_t>(n) > room) result.outputTruncated = true;
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            closeFd(fd);
        }
    };

    while (!exited || fdOut >= 0 || fdErr >= 0) {
        if (!exited) {
            const pid_t w = ::waitpid(pid, &status, WNOHANG);
            if (w == pid) exited = true;
        }
        const auto now = Clock::now();
        if (!exited && !result.timedOut && now >= deadline) {
            result.timedOut = true;
            ::kill(-pid, SIGTERM);
            ::kill(pid, SIGTERM);
            killAt = now + req.killGrace;
        }
        if (!exited && now >= killAt) {
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            killAt = Clock::time_point::max();
        }
        // After the child is gone, grandchildren may still hold the pipes open; do
        // not wait for them past the time limit.
        if (exited && (result.timedOut || now >= deadline)) break;

        pollfd fds[3];
        nfds_t n = 0;
        if (fdOut >= 0) fds[n++] = {fdOut, POLLIN, 0};
        if (fdErr >= 0) fds[n++] = {fdErr, POLLIN, 0};
        if (fdIn >= 0) fds[n++] = {fdIn, POLLOUT, 0};
        if (n == 0) {
            if (!exited) {
                ::usleep(5000);
            }
            continue;
        }
        ::poll(fds, n, 20);
        for (nfds_t i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == fdOut) append(fdOut, result.standardOutput);
            else if (fds[i].fd == fdErr) append(fdErr, result.standardError);
            else if (fds[i].fd == fdIn) {
                if (fds[i].revents & (POLLERR | POLLHUP)) {
                    closeFd(fdIn);
                    continue;
                }
                const ssize_t w = ::write(fdIn, req.standardInput.data() + inOffset, req.standardInput.size() - inOffset);
                if (w > 0) inOffset += static_cast<size_t>(w);
                else if (w < 0 && errno != EAGAIN && errno != EINTR) closeFd(fdIn);
                if (inOffset >= req.standardInput.size()) closeFd(fdIn);
            }
        }
    }
    closeFd(fdIn);
    closeFd(fdOut);
    closeFd(fdErr);
    if (!exited) ::waitpid(pid, &status, 0);

    if (execFailed) {
        result.startError = "could not start " + *program + ": " + std::strerror(execErr);
        return result;
    }
    result.started = true;
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

} // namespace kx
