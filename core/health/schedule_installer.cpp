#include "core/health/schedule_installer.h"

#include "core/health/probe_output.h"
#include "core/health/schedule_arguments.h"
#include "core/platform/fs.h"
#include "core/platform/system.h"

#include <plist/plist.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <unistd.h>

namespace kx {

namespace {

namespace stdfs = std::filesystem;

std::mutex g_seamsMutex;
ScheduleInstaller::Seams g_seams;

ScheduleInstaller::Seams seams() {
    std::lock_guard lock(g_seamsMutex);
    return g_seams;
}

std::shared_ptr<kx::Scheduler> scheduler() {
    auto s = seams();
    return s.scheduler ? s.scheduler() : kx::makePlatformScheduler();
}

std::string applicationExecutable() {
    auto s = seams();
    if (s.applicationExecutable) return s.applicationExecutable();
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string homeFolder() { return kx::systemInfo().homeDirectory(); }

bool isExecutableFile(const std::string& path) {
    return kx::fs::isRegularFile(path) && ::access(path.c_str(), X_OK) == 0;
}

// For error sentences: replaces bytes that are not printable UTF-8 with "?".
std::string displayable(const std::string& text) {
    const bool utf8 = kx::isValidUTF8(text);
    std::string out;
    for (unsigned char c : text) out += (c < 0x20 || c == 0x7f || (!utf8 && c >= 0x80)) ? '?' : static_cast<char>(c);
    return out;
}

// A text a property list can carry: UTF-8 without the control characters XML 1.0
// forbids.
void checkPlistText(const std::string& text) {
    bool bad = !kx::isValidUTF8(text);
    for (unsigned char c : text)
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') bad = true;
    if (bad) {
        throw ScheduleInstaller::InstallError::writeFailed(
            "the path or value \"" + displayable(text) +
            "\" holds characters a property list cannot store. Rename it and try again.");
    }
}

struct PlistHolder {
    plist_t node = nullptr;
    ~PlistHolder() {
        if (node) plist_free(node);
    }
};

std::optional<std::string> stringValue(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    char* v = nullptr;
    plist_get_string_val(node, &v);
    if (!v) return std::nullopt;
    std::string out = v;
    std::free(v);
    return out;
}

std::optional<int> intValue(plist_t node) {
    if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
    uint64_t v = 0;
    plist_get_uint_val(node, &v);
    if (v > 1000) return std::nullopt;
    return static_cast<int>(v);
}

} // namespace

// ---- errors ------------------------------------------------------------------

ScheduleInstaller::InstallError ScheduleInstaller::InstallError::writeFailed(const std::string& description) {
    return InstallError(Kind::writeFailed, description, "Could not write the schedule: " + description);
}

ScheduleInstaller::InstallError ScheduleInstaller::InstallError::launchctlFailed(const std::string& output) {
    return InstallError(Kind::launchctlFailed, output, "Could not register the schedule: " + output);
}

ScheduleInstaller::InstallError ScheduleInstaller::InstallError::engineMissing() {
    return InstallError(
        Kind::engineMissing, {},
        "The kxctl engine is not inside the app bundle, so a scheduled run would have nothing to execute.");
}

// ---- paths -------------------------------------------------------------------

std::string ScheduleInstaller::plistURL() {
    return kx::fs::appendComponent(kx::fs::appendComponent(homeFolder(), "Library/LaunchAgents"),
                                   std::string(kLabel) + ".plist");
}

bool ScheduleInstaller::isInstalled() { return kx::fs::exists(plistURL()); }

std::string ScheduleInstaller::logFolder() { return kx::fs::appendComponent(homeFolder(), "Library/Logs/Kelvara"); }

void ScheduleInstaller::setSeamsForTesting(Seams s) {
    std::lock_guard lock(g_seamsMutex);
    g_seams = std::move(s);
}

std::optional<std::string> ScheduleInstaller::locateEngine() {
    const std::string exe = applicationExecutable();
    if (exe.empty()) return std::nullopt;
    const stdfs::path exePath(exe);
    const stdfs::path exeDir = exePath.parent_path();

    std::vector<stdfs::path> candidates;
    // A macOS bundle: <bundle>.app/Contents/MacOS/<executable>.
    if (exeDir.filename() == "MacOS" && exeDir.parent_path().filename() == "Contents" &&
        exeDir.parent_path().parent_path().extension() == ".app") {
        const stdfs::path bundle = exeDir.parent_path().parent_path();
        candidates.push_back(bundle / "Contents/Frameworks/kxctl");
        candidates.push_back(bundle / "Contents/MacOS/kxctl");
    }
    candidates.push_back(exeDir / "kxctl");
    if (exeDir.filename() == "bin") candidates.push_back(exeDir.parent_path() / "libexec/kelvara/kxctl");
    // Running from the build tree: <build>/app/kelvara beside <build>/tools/kxctl/kxctl.
    if (exeDir.filename() == "app") candidates.push_back(exeDir.parent_path() / "tools/kxctl/kxctl");

    for (const auto& c : candidates) {
        const std::string p = c.lexically_normal().string();
        if (isExecutableFile(p)) return p;
    }
    return std::nullopt;
}

// ---- the property list ---------------------------------------------------------

std::string ScheduleInstaller::propertyList(const std::vector<std::string>& programArguments, int hour, int minute) {
    const std::string folder = logFolder();
    const std::string outLog = kx::fs::appendComponent(folder, "ingest.log");
    const std::string errLog = kx::fs::appendComponent(folder, "ingest.error.log");
    for (const auto& a : programArguments) checkPlistText(a);
    checkPlistText(outLog);

    PlistHolder dict{plist_new_dict()};
    plist_dict_set_item(dict.node, "Label", plist_new_string(kLabel));
    plist_t args = plist_new_array();
    for (const auto& a : programArguments) plist_array_append_item(args, plist_new_string(a.c_str()));
    plist_dict_set_item(dict.node, "ProgramArguments", args);
    plist_t env = plist_new_dict();
    plist_dict_set_item(env, "PATH", plist_new_string(kx::ScheduleArguments::kPath));
    plist_dict_set_item(dict.node, "EnvironmentVariables", env);
    plist_t when = plist_new_dict();
    plist_dict_set_item(when, "Hour", plist_new_uint(static_cast<uint64_t>(hour)));
    plist_dict_set_item(when, "Minute", plist_new_uint(static_cast<uint64_t>(minute)));
    plist_dict_set_item(dict.node, "StartCalendarInterval", when);
    plist_dict_set_item(dict.node, "RunAtLoad", plist_new_bool(0));
    plist_dict_set_item(dict.node, "StandardOutPath", plist_new_string(outLog.c_str()));
    plist_dict_set_item(dict.node, "StandardErrorPath", plist_new_string(errLog.c_str()));
    plist_dict_set_item(dict.node, "ProcessType", plist_new_string("Background"));
    plist_dict_set_item(dict.node, "LowPriorityIO", plist_new_bool(1));

    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(dict.node, &xml, &length);
    if (!xml || length == 0) {
        if (xml) plist_to_xml_free(xml);
        throw InstallError::writeFailed("the schedule could not be turned into a property list.");
    }
    std::string bytes(xml, length);
    plist_to_xml_free(xml);
    return bytes;
}

std::optional<ScheduleInstaller::InstalledSchedule> ScheduleInstaller::readInstalled() {
    std::optional<std::string> bytes;
    try {
        bytes = kx::fs::readFileIfExists(plistURL());
    } catch (const kx::Error&) {
        return std::nullopt;
    }
    if (!bytes || bytes->empty() || bytes->size() > 1024 * 1024) return std::nullopt;
    PlistHolder root;
    plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &root.node);
    if (!root.node || plist_get_node_type(root.node) != PLIST_DICT) return std::nullopt;

    InstalledSchedule out;
    plist_t args = plist_dict_get_item(root.node, "ProgramArguments");
    if (!args || plist_get_node_type(args) != PLIST_ARRAY) return std::nullopt;
    for (uint32_t i = 0; i < plist_array_get_size(args); ++i) {
        auto s = stringValue(plist_array_get_item(args, i));
        if (!s) return std::nullopt;
        out.programArguments.push_back(*s);
    }
    if (plist_t when = plist_dict_get_item(root.node, "StartCalendarInterval")) {
        if (auto h = intValue(plist_dict_get_item(when, "Hour")); h && *h < 24) out.hour = *h;
        if (auto m = intValue(plist_dict_get_item(when, "Minute")); m && *m < 60) out.minute = *m;
    }
    return out;
}

// ---- install and remove ----------------------------------------------------------

void ScheduleInstaller::install(const std::string& registryPath, const std::string& destinationRoot,
                                const std::optional<std::string>& filtersPath,
                                const std::optional<std::string>& machineID, int hour, int minute) {
    const auto engine = locateEngine();
    if (!engine) throw InstallError::engineMissing();

    const std::string folder = logFolder();
    try {
        kx::fs::createPrivateDirectories(folder);
    } catch (const kx::Error&) {
        // A later write error reports it.
    }
    const std::string plist = plistURL();
    try {
        kx::fs::createPrivateDirectories(stdfs::path(plist).parent_path());
    } catch (const kx::Error&) {
    }

    const std::vector<std::string> args = kx::ScheduleArguments::ingest(*engine, registryPath, destinationRoot,
                                                                        filtersPath, machineID, true);
    const std::string bytes = propertyList(args, hour, minute);
    try {
        kx::fs::writeFileAtomic(plist, bytes, 0644);
    } catch (const kx::Error& e) {
        throw InstallError::writeFailed(e.localizedDescription());
    }

    const auto sched = scheduler();
    sched->unregisterJob(kLabel); // fails when nothing was registered: the normal first install

    kx::ScheduledJob job;
    job.label = kLabel;
    job.programArguments = args;
    job.environment = {{"PATH", kx::ScheduleArguments::kPath}};
    job.hour = hour;
    job.minute = minute;
    job.standardOutPath = kx::fs::appendComponent(folder, "ingest.log");
    job.standardErrorPath = kx::fs::appendComponent(folder, "ingest.error.log");
    job.definitionPath = plist;
    const kx::SchedulerResult r = sched->registerJob(job);
    if (r.ok()) return;

    // The schedule does not run, so it must not look installed.
    std::error_code ec;
    stdfs::remove(plist, ec);
    throw InstallError::launchctlFailed(r.output.empty() ? "launchctl exited " + std::to_string(r.status) : r.output);
}

void ScheduleInstaller::uninstall() {
    scheduler()->unregisterJob(kLabel);
    const std::string plist = plistURL();
    if (!kx::fs::exists(plist)) return;
    std::error_code ec;
    if (!stdfs::remove(plist, ec) && ec) throw InstallError::writeFailed(ec.message());
}

bool ScheduleInstaller::refreshIfInstalled(const std::string& registryPath, const std::string& destinationRoot,
                                           const std::optional<std::string>& filtersPath,
                                           const std::optional<std::string>& machineID) {
    if (!isInstalled()) return false;
    const auto engine = locateEngine();
    if (!engine) throw InstallError::engineMissing();
    const auto wanted = kx::ScheduleArguments::ingest(*engine, registryPath, destinationRoot, filtersPath, machineID,
                                                      true);
    const auto installed = readInstalled();
    if (installed && installed->programArguments == wanted) return false;
    install(registryPath, destinationRoot, filtersPath, machineID, installed ? installed->hour : kHour,
            installed ? installed->minute : kMinute);
    return true;
}

kx::FullDiskAccessProbe::ScheduledOutcome ScheduleInstaller::probeScheduledAccess(double timeoutSeconds) {
    const auto engine = locateEngine();
    if (!engine) {
        return kx::FullDiskAccessProbe::ScheduledOutcome::failure(
            "The kxctl engine is not inside the app bundle, so the scheduled job has nothing to run and archiving "
            "cannot work at all.");
    }
    auto s = seams();
    std::shared_ptr<kx::ProcessRunner> runner = s.probeRunner ? s.probeRunner
                                                              : std::make_shared<kx::PosixProcessRunner>();
    return kx::FullDiskAccessProbe::runScheduledProbe(*engine, timeoutSeconds, *runner);
}

} // namespace kx
