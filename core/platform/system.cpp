#include "core/platform/system.h"

#include "core/platform/fs.h"

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace kx {
namespace {

const passwd* passwdEntry(std::vector<char>& buf, passwd& pw) {
    buf.resize(16384);
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) != 0) return nullptr;
    return result;
}

std::string envOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return (v && *v) ? std::string(v) : fallback;
}

// The "pretty" host name systemd keeps in /etc/machine-info, if any.
std::string prettyHostName() {
    std::ifstream in("/etc/machine-info");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("PRETTY_HOSTNAME=", 0) == 0) {
            std::string v = line.substr(16);
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            return v;
        }
    }
    return {};
}

std::mutex g_mutex;
std::shared_ptr<SystemInfo> g_info;

} // namespace

std::string LinuxSystemInfo::homeDirectory() const {
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    std::vector<char> buf;
    passwd pw{};
    if (const passwd* e = passwdEntry(buf, pw); e && e->pw_dir) return e->pw_dir;
    return "/";
}

std::string LinuxSystemInfo::applicationSupportDirectory() const {
    const char* x = std::getenv("XDG_DATA_HOME");
    // The XDG rules ignore a relative XDG_DATA_HOME.
    if (x && *x == '/') return x;
    return fs::appendComponent(homeDirectory(), ".local/share");
}

std::string LinuxSystemInfo::shortUserName() const {
    std::vector<char> buf;
    passwd pw{};
    if (const passwd* e = passwdEntry(buf, pw); e && e->pw_name) return e->pw_name;
    return envOr("USER", "user");
}

std::string LinuxSystemInfo::fullUserName() const {
    std::vector<char> buf;
    passwd pw{};
    const passwd* e = passwdEntry(buf, pw);
    if (!e || !e->pw_gecos) return {};
    std::string gecos = e->pw_gecos;
    // The GECOS field is "Full Name,room,phone,..."; only the first part is the name.
    if (auto comma = gecos.find(','); comma != std::string::npos) gecos.resize(comma);
    return gecos;
}

std::string LinuxSystemInfo::computerName() const {
    if (std::string pretty = prettyHostName(); !pretty.empty()) return pretty;
    char buf[256] = {};
    if (gethostname(buf, sizeof buf - 1) == 0) return buf;
    return {};
}

unsigned LinuxSystemInfo::userId() const { return static_cast<unsigned>(getuid()); }

const SystemInfo& systemInfo() {
    std::lock_guard lock(g_mutex);
    if (!g_info) g_info = std::make_shared<LinuxSystemInfo>();
    return *g_info;
}

void setSystemInfoForTesting(std::shared_ptr<SystemInfo> info) {
    std::lock_guard lock(g_mutex);
    g_info = std::move(info);
}

std::string applicationSupportConfigDir() {
    return fs::appendComponent(systemInfo().applicationSupportDirectory(), "Kelvara");
}

} // namespace kx
