#include "tests/support/private_keyring.h"

#include "tests/support/test_env.h"

#include <libsecret/secret.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <unistd.h>

extern char** environ;

namespace kx::test {

namespace {

std::string selfPath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::map<std::string, std::string> currentEnvironment() {
    std::map<std::string, std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    return env;
}

// One method call on the session bus. Calls to the keyring never start a
// service: a daemon started by bus activation instead of the one this test
// unlocked would have no unlocked login collection.
GVariant* busCall(GDBusConnection* bus, const char* destination, const char* path, const char* interface,
                  const char* method, GVariant* args, const char* replyType, std::string& failure) {
    GError* error = nullptr;
    GVariant* reply = g_dbus_connection_call_sync(bus, destination, path, interface, method, args,
                                                  G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NO_AUTO_START, -1,
                                                  nullptr, &error);
    if (!reply) {
        failure = error && error->message ? error->message : "no reason given";
        if (error) g_error_free(error);
    }
    return reply;
}

// What still keeps the keyring from taking a store, or empty once the daemon
// owns the Secret Service name and its default collection exists and is unlocked.
std::string keyringNotReadyReason(GDBusConnection* bus) {
    const char* secrets = "org.freedesktop.secrets";
    std::string failure;
    GVariant* owned = busCall(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                              "NameHasOwner", g_variant_new("(s)", secrets), "(b)", failure);
    if (!owned) return "the bus could not be asked who owns " + std::string(secrets) + " (" + failure + ")";
    gboolean hasOwner = FALSE;
    g_variant_get(owned, "(b)", &hasOwner);
    g_variant_unref(owned);
    if (!hasOwner) return "no keyring daemon owns " + std::string(secrets) + " on the private bus";

    GVariant* alias = busCall(bus, secrets, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "ReadAlias",
                              g_variant_new("(s)", "default"), "(o)", failure);
    if (!alias) return "the keyring daemon could not read the default alias (" + failure + ")";
    const gchar* aliasPath = nullptr;
    g_variant_get(alias, "(&o)", &aliasPath);
    const std::string collection = aliasPath ? aliasPath : "/";
    g_variant_unref(alias);
    if (collection == "/") return "the keyring daemon has no default collection yet";

    GVariant* locked = busCall(bus, secrets, collection.c_str(), "org.freedesktop.DBus.Properties", "Get",
                               g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"), "(v)", failure);
    if (!locked) return "the default collection " + collection + " is not available (" + failure + ")";
    GVariant* value = nullptr;
    g_variant_get(locked, "(v)", &value);
    const bool isLocked = g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
    g_variant_unref(value);
    g_variant_unref(locked);
    if (isLocked) return "the default collection " + collection + " is still locked";
    return {};
}

// The daemon claims its bus name and loads the login collection after its
// start-up command has returned, and later still on a loaded machine. Waits
// for both, polling, up to the deadline; returns why it gave up, or empty.
std::string waitForKeyring(std::chrono::seconds deadline) {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (!bus) {
        std::string reason = error && error->message ? error->message : "no reason given";
        if (error) g_error_free(error);
        return "the private session bus could not be reached (" + reason + ")";
    }
    const auto giveUpAt = std::chrono::steady_clock::now() + deadline;
    std::string reason = keyringNotReadyReason(bus);
    while (!reason.empty() && std::chrono::steady_clock::now() < giveUpAt) {
        g_usleep(10 * 1000);
        reason = keyringNotReadyReason(bus);
    }
    g_object_unref(bus);
    if (reason.empty()) return {};
    return "the keyring was not ready after " + std::to_string(deadline.count()) + " s: " + reason;
}

} // namespace

std::string waitForUnlockedDefaultCollection(std::chrono::seconds deadline) { return waitForKeyring(deadline); }

bool insidePrivateKeyring() { return std::getenv("KX_LIVE_KEYRING") != nullptr; }

std::optional<std::string> privateKeyringUnavailable() {
    auto path = std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    if (!findExecutable("dbus-run-session", path) || !findExecutable("gnome-keyring-daemon", path))
        return "dbus-run-session or gnome-keyring-daemon is not installed";
    return std::nullopt;
}

ProcessResult runUnderPrivateKeyring(const std::string& filter, std::chrono::seconds timeout) {
    test::TempDir home;
    std::filesystem::create_directories(home.path() / "run");
    std::filesystem::permissions(home.path() / "run", std::filesystem::perms::owner_all);
    // The bus itself gets the temporary HOME too, so that anything it starts
    // stays inside it.
    auto env = currentEnvironment();
    env["HOME"] = home.path().string();
    env["XDG_DATA_HOME"] = (home.path() / ".local/share").string();
    env["XDG_RUNTIME_DIR"] = (home.path() / "run").string();
    env["KX_LIVE_KEYRING"] = "1";
    // The daemon runs in the foreground as a child of the shell, so it is
    // stopped however the inner test ends.
    std::string script =
        "printf 'kelvara-test-password' | gnome-keyring-daemon --foreground --unlock --components=secrets "
        ">/dev/null &\n"
        "daemon=$!\n"
        "'" +
        selfPath() + "' --gtest_also_run_disabled_tests --gtest_filter='" + filter +
        "'\n"
        "rc=$?\n"
        "kill $daemon 2>/dev/null\n"
        "wait $daemon\n"
        "exit $rc\n";
    ProcessRequest req;
    req.program = "dbus-run-session";
    req.arguments = {"--", "sh", "-c", script};
    req.environment = env;
    req.timeout = timeout;
    PosixProcessRunner runner;
    ProcessResult r = runner.run(req);
    return r;
}

} // namespace kx::test
