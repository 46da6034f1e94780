#include "tests/support/test_env.h"

#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace kx::test {
namespace {
fs::path g_root;
}

void isolateEnvironment() {
    std::string tmpl = (fs::temp_directory_path() / "kx-test-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a temporary test folder");
    g_root = tmpl;
    const fs::path home = g_root / "home";
    for (const char* sub : {"", "/.local/share", "/.config", "/.cache", "/.local/state", "/run"})
        fs::create_directories(home.string() + sub);
    fs::permissions(home / "run", fs::perms::owner_all, fs::perm_options::replace);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home / ".cache").c_str(), 1);
    setenv("XDG_STATE_HOME", (home / ".local/state").c_str(), 1);
    setenv("TMPDIR", g_root.c_str(), 1);
}

void removeIsolatedEnvironment() {
    if (g_root.empty()) return;
    std::error_code ec;
    // Tests may leave read-only folders behind; make them writable before removing.
    for (auto it = fs::recursive_directory_iterator(g_root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(g_root, ec);
}

fs::path home() { return g_root / "home"; }

TempDir::TempDir() {
    std::string tmpl = (g_root.empty() ? fs::temp_directory_path() : g_root).string() + "/t-XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a temporary folder");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

std::string readAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeAll(const fs::path& p, const std::string& bytes) {
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string snapshotTree(const fs::path& root) {
    std::map<std::string, std::string> entries;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const auto rel = fs::relative(it->path(), root).string();
        if (it->is_symlink(ec)) entries[rel] = "link:" + fs::read_symlink(it->path(), ec).string();
        else if (it->is_directory(ec)) entries[rel] = "dir";
        else
            entries[rel] = std::to_string(std::hash<std::string>{}(readAll(it->path()))) + ":" +
                           std::to_string(fs::file_size(it->path(), ec));
    }
    std::string out;
    for (const auto& [k, v] : entries) out += k + " " + v + "\n";
    return out;
}

bool underCI() {
    const char* ci = std::getenv("CI");
    return ci && *ci && std::string(ci) != "false";
}

} // namespace kx::test
