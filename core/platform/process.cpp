#include "core/platform/process.h"

#include "core/platform/fs.h"
#include "core/platform/posix_file.h"

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

struct Pipe {
    UniqueFd readEnd, writeEnd;
    // Returns 0 or the errno.
    int open() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
        readEnd.reset(fds[0]);
        writeEnd.reset(fds[1]);
        return 0;
    }
};

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

    Pipe inPipe, outPipe, errPipe, execPipe;
    for (Pipe* p : {&inPipe, &outPipe, &errPipe, &execPipe}) {
        if (const int err = p->open()) {
            result.startError = std::string("could not create pipes: ") + std::strerror(err);
            return result;
        }
    }

    const pid_t pid = ::fork();
    if (pid < 0) {
        result.startError = std::string("could not start a process: ") + std::strerror(errno);
        return result;
    }
    if (pid == 0) {
        // Child: own process group so a timeout can end its children too.
        ::setpgid(0, 0);
        ::dup2(inPipe.readEnd.get(), 0);
        ::dup2(outPipe.writeEnd.get(), 1);
        ::dup2(errPipe.writeEnd.get(), 2);
        ::signal(SIGPIPE, SIG_DFL);
        if (req.environment) ::execve(argv[0], argv.data(), envp.data());
        else ::execve(argv[0], argv.data(), environ);
        const int err = errno;
        (void)!::write(execPipe.writeEnd.get(), &err, sizeof err);
        ::_exit(127);
    }

    inPipe.readEnd.reset();
    outPipe.writeEnd.reset();
    errPipe.writeEnd.reset();
    execPipe.writeEnd.reset();
    int execErr = 0;
    const bool execFailed = readSome(execPipe.readEnd.get(), &execErr, sizeof execErr) ==
                            static_cast<ssize_t>(sizeof execErr);
    execPipe.readEnd.reset();

    UniqueFd fdIn = std::move(inPipe.writeEnd), fdOut = std::move(outPipe.readEnd), fdErr = std::move(errPipe.readEnd);
    ::fcntl(fdIn.get(), F_SETFL, O_NONBLOCK);
    size_t inOffset = 0;
    if (req.standardInput.empty()) fdIn.reset();

    const auto deadline = Clock::now() + req.timeout;
    auto killAt = Clock::time_point::max();
    bool exited = false;
    int status = 0;

    auto append = [&](UniqueFd& fd, std::string& into) {
        char buf[65536];
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n > 0) {
            const size_t room = req.maxOutputBytes > into.size() ? req.maxOutputBytes - into.size() : 0;
            into.append(buf, std::min(room, static_cast<size_t>(n)));
            if (static_cast<size_t>(n) > room) result.outputTruncated = true;
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            fd.reset();
        }
    };

    while (!exited || fdOut || fdErr) {
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
        if (fdOut) fds[n++] = {fdOut.get(), POLLIN, 0};
        if (fdErr) fds[n++] = {fdErr.get(), POLLIN, 0};
        if (fdIn) fds[n++] = {fdIn.get(), POLLOUT, 0};
        if (n == 0) {
            if (!exited) {
                ::usleep(5000);
            }
            continue;
        }
        ::poll(fds, n, 20);
        for (nfds_t i = 0; i < n; ++i) {
            if (!fds[i].revents) continue;
            if (fds[i].fd == fdOut.get()) append(fdOut, result.standardOutput);
            else if (fds[i].fd == fdErr.get()) append(fdErr, result.standardError);
            else if (fds[i].fd == fdIn.get()) {
                if (fds[i].revents & (POLLERR | POLLHUP)) {
                    fdIn.reset();
                    continue;
                }
                const ssize_t w = ::write(fdIn.get(), req.standardInput.data() + inOffset,
                                          req.standardInput.size() - inOffset);
                if (w > 0) inOffset += static_cast<size_t>(w);
                else if (w < 0 && errno != EAGAIN && errno != EINTR) fdIn.reset();
                if (inOffset >= req.standardInput.size()) fdIn.reset();
            }
        }
    }
    fdIn.reset();
    fdOut.reset();
    fdErr.reset();
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
