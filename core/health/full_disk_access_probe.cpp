#include "core/health/full_disk_access_probe.h"

#include "core/archive/snapshot.h"
#include "core/health/read_only_database.h"
#include "core/health/schedule_arguments.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {
namespace {

// The longest engine error text passed on to the user; the rest is cut off.
constexpr size_t kMaxShownErrorChars = 1000;

std::string trimmed(const std::string& s) {
    const char* ws = " \t\r\n\v\f";
    const auto first = s.find_first_not_of(ws);
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(ws);
    return s.substr(first, last - first + 1);
}

std::string asSentence(std::string s) {
    if (!s.empty() && s.back() != '.' && s.back() != '!' && s.back() != '?') s += '.';
    return s;
}

std::string ownExecutable() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string parentFolder(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// How many rows the message table at path holds; nothing when it has none.
// The file itself is read immutably, which is cheap but sees only what has been
// checkpointed into it. A database whose tables still live only in its -wal file
// (a new one Messages has not checkpointed yet) looks empty that way, so it is
// then read from a private snapshot copy, as the archive readers read it; nothing
// is created beside the database either way. Throws kx::Error.
std::optional<int64_t> messageRowCount(const std::string& path) {
    {
        ReadOnlyDatabase db(path);
        if (db.hasTable("message")) return db.scalar("SELECT count(*) FROM message");
    }
    struct stat wal {};
    if (::stat((path + "-wal").c_str(), &wal) != 0 || wal.st_size == 0) return std::nullopt;
    DatabaseSnapshot copy{std::filesystem::path(path)};
    if (!ReadOnlyDatabase::hasTableIn(copy.handle(), "message")) return std::nullopt;
    return ReadOnlyDatabase::scalarIn(copy.handle(), "SELECT count(*) FROM message");
}

} // namespace

std::string FullDiskAccessProbe::Verdict::headline() const {
    switch (kind) {
    case Case::allGranted: return "Kelvara and its scheduled job can both read your messages.";
    case Case::scheduledBlocked: return "The scheduled job cannot read your messages.";
    case Case::appBlocked: return "Kelvara cannot read your messages.";
    case Case::notChecked:
        if (text == kNotRunYet) return "Access for the scheduled job has not been checked yet.";
        return "Access for the scheduled job could not be checked: " + text;
    case Case::noDatabase: return "There is no Messages database on this computer.";
    }
    return "Access for the scheduled job is not known.";
}

std::string FullDiskAccessProbe::liveMessagesDatabasePath() {
    return fs::appendComponent(fs::appendComponent(systemInfo().homeDirectory(), "Library/Messages"), "chat.db");
}

bool FullDiskAccessProbe::databaseExists(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return true;
    return errno != ENOENT && errno != ENOTDIR;
}

std::optional<int64_t> FullDiskAccessProbe::appContextMessageCount(const std::string& path) {
    try {
        return messageRowCount(path);
    } catch (const Error&) {
        return std::nullopt;
    }
}

FullDiskAccessProbe::Verdict FullDiskAccessProbe::verdict(std::optional<int64_t> appMessages, bool exists,
                                                          const ScheduledOutcome& scheduled) {
    const ProbeOutput* reply = scheduled.replyValue();
    // The engine seeing a database the application does not see still means there
    // is something to archive; only when neither sees one is there nothing.
    if (!exists && !(reply && reply->databaseExists)) return Verdict::noDatabase();

    if (!appMessages) {
        std::string detail = "Kelvara itself cannot open the Messages database";
        if (reply && !reply->databasePath.empty()) detail += " at " + reply->databasePath;
        detail += ", so nothing on this computer can be archived.";
        return Verdict::appBlocked(detail);
    }

    if (!reply) return Verdict::notChecked(*scheduled.failureSentence());

    if (reply->readable) {
        return Verdict::allGranted("Kelvara reads " + std::to_string(*appMessages) +
                                   " messages; the scheduled job reads " +
                                   std::to_string(reply->messageCount.value_or(0)) + ".");
    }
    std::string detail = "The scheduled job";
    if (!reply->executable.empty()) detail += " (" + reply->executable + ")";
    if (!reply->databaseExists) detail += " finds no Messages database at " + reply->databasePath;
    else detail += " cannot read " + reply->databasePath;
    if (reply->problem && !reply->problem->empty()) detail += ": " + *reply->problem;
    detail = asSentence(detail);
    detail += " It would report success every night and save nothing.";
    return Verdict::scheduledBlocked(detail);
}

std::vector<std::string> FullDiskAccessProbe::grantPaths(const std::string& appBundlePath) {
    std::string app = appBundlePath;
    while (app.size() > 1 && app.back() == '/') app.pop_back();
    if (app.size() > 4 && app.compare(app.size() - 4, 4, ".app") == 0)
        return {app, fs::appendComponent(app, "Contents/Frameworks/kxctl")};
    return {app, fs::appendComponent(parentFolder(app), "kxctl")};
}

ProbeOutput FullDiskAccessProbe::probeThisProcess(const std::string& databasePath) {
    ProbeOutput out;
    out.databasePath = databasePath;
    out.userId = static_cast<int64_t>(::getuid());
    out.executable = ownExecutable();

    struct stat st {};
    if (::stat(databasePath.c_str(), &st) != 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) {
            out.databaseExists = false;
            out.problem = "there is no file at " + databasePath;
        } else {
            out.databaseExists = true;
            out.problem = "this program may not look at " + databasePath + " (" + fs::errnoText(err) + ")";
        }
        return out;
    }
    out.databaseExists = true;
    try {
        const std::optional<int64_t> count = messageRowCount(databasePath);
        if (!count) {
            out.problem = databasePath + " opens but holds no message table";
            return out;
        }
        out.messageCount = *count;
        out.readable = true;
    } catch (const Error& e) {
        std::string reason = e.what();
        if (reason.rfind(databasePath, 0) != 0) reason = databasePath + ": " + reason;
        // Say who may read it: on Linux that is the whole answer to "why not".
        if (::access(databasePath.c_str(), R_OK) != 0) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            reason += " (the file belongs to user " + std::to_string(st.st_uid) + " with mode " + mode +
                      "; this program runs as user " + std::to_string(::getuid()) + ")";
        }
        out.problem = reason;
    }
    return out;
}

FullDiskAccessProbe::ScheduledOutcome FullDiskAccessProbe::runScheduledProbe(const std::string& enginePath,
                                                                             double timeoutSeconds,
                                                                             ProcessRunner& runner) {
    if (!(timeoutSeconds > 0)) timeoutSeconds = 1;
    ProcessRequest req;
    req.program = enginePath;
    req.arguments = {"fda-probe", "--json"};
    req.environment = std::map<std::string, std::string>{{"PATH", ScheduleArguments::kPath}};
    req.timeout = std::chrono::milliseconds(static_cast<int64_t>(std::llround(timeoutSeconds * 1000.0)));
    req.killGrace = std::chrono::seconds(1);
    // One byte more than a reply may have, so an oversized reply is recognised as
    // such instead of being read as a truncated one.
    req.maxOutputBytes = ProbeOutput::kMaxReplyBytes + 1;

    const ProcessResult result = runner.run(req);
    if (!result.started) {
        std::string reason = result.startError;
        const std::string echo = "could not start " + enginePath + ": ";
        if (reason.rfind(echo, 0) == 0) reason = reason.substr(echo.size());
        return ScheduledOutcome::failure(asSentence("Could not start " + enginePath + ": " + reason));
    }
    if (result.timedOut) {
        return ScheduledOutcome::failure("The check did not finish within " +
                                         std::to_string(static_cast<long long>(timeoutSeconds)) + " seconds.");
    }

    const std::string errText = isValidUTF8(result.standardError) ? trimmed(result.standardError) : std::string();
    if (!result.standardOutput.empty()) {
        try {
            return ScheduledOutcome::reply(ProbeOutput::decode(result.standardOutput));
        } catch (const Error& e) {
            return ScheduledOutcome::failure(
                asSentence(std::string("The engine's reply could not be read: ") + e.what()));
        }
    }
    if (!errText.empty()) {
        std::string shown = errText;
        if (shown.size() > kMaxShownErrorChars) {
            shown.resize(kMaxShownErrorChars);
            // Do not cut a UTF-8 sequence in half.
            while (!shown.empty() && (static_cast<unsigned char>(shown.back()) & 0xC0) == 0x80) shown.pop_back();
            if (!shown.empty() && static_cast<unsigned char>(shown.back()) >= 0xC0) shown.pop_back();
            shown += "…";
        }
        return ScheduledOutcome::failure("The engine failed: " + shown);
    }
    // A child ended by a signal reports the signal number, as a termination status
    // does on macOS.
    const int status = result.signal != 0 ? result.signal : result.exitCode;
    return ScheduledOutcome::failure("The engine produced no output (exit " + std::to_string(status) + ").");
}

} // namespace kx
