// The Secret Service store against a real gnome-keyring daemon on a private
// session bus. The outer test re-runs this executable under dbus-run-session
// with a temporary HOME and a keyring daemon unlocked from standard input; the
// inner test (selected by KX_LIVE_KEYRING) waits until that daemon serves an
// unlocked default collection, then talks to it.
#include "core/keys/owner_keys.h"
#include "core/keys/secret_store.h"
#include "core/platform/process.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <unistd.h>

extern char** environ;

using namespace kx;

namespace {

std::string selfPath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool liveInner() { return std::getenv("KX_LIVE_KEYRING") != nullptr; }

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
std::string waitForUnlockedDefaultCollection(std::chrono::seconds deadline) {
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

TEST(SecretServiceLive, RealKeyringDaemonOnAPrivateBus) {
    if (liveInner()) return; // already inside the private bus
    auto path = std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    if (!findExecutable("dbus-run-session", path) || !findExecutable("gnome-keyring-daemon", path))
        GTEST_SKIP() << "dbus-run-session or gnome-keyring-daemon is not installed";

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
        selfPath() +
        "' --gtest_also_run_disabled_tests --gtest_filter='SecretServiceInner.*'\n"
        "rc=$?\n"
        "kill $daemon 2>/dev/null\n"
        "wait $daemon\n"
        "exit $rc\n";
    ProcessRequest req;
    req.program = "dbus-run-session";
    req.arguments = {"--", "sh", "-c", script};
    req.environment = env;
    req.timeout = std::chrono::seconds(90);
    PosixProcessRunner runner;
    ProcessResult r = runner.run(req);
    ASSERT_TRUE(r.started) << r.startError;
    EXPECT_EQ(r.exitCode, 0) << r.standardOutput << r.standardError;
    EXPECT_NE(r.standardOutput.find("[  PASSED  ]"), std::string::npos) << r.standardOutput;
    EXPECT_NE(r.standardOutput.find("[       OK ] SecretServiceInner"), std::string::npos) << r.standardOutput;
    // The secret itself never shows up in any output.
    EXPECT_EQ((r.standardOutput + r.standardError).find("do-not-print-me"), std::string::npos);
}

TEST(SecretServiceInner, DISABLED_StoresReadsRemovesAndTellsLockedFromMissing) {
    if (!liveInner()) GTEST_SKIP() << "runs only inside the private session bus";
    const std::string notReady = waitForUnlockedDefaultCollection(std::chrono::seconds(30));
    ASSERT_TRUE(notReady.empty()) << notReady;
    SecretServiceStore store;
    const std::string service = "com.dunholt.kelvara.test";

    EXPECT_FALSE(store.read(service, "absent").has_value());
    store.write(service, "acct", "Kelvara test item", "do-not-print-me");
    EXPECT_EQ(store.read(service, "acct"), std::optional<std::string>("do-not-print-me"));
    store.write(service, "acct", "Kelvara test item", "replaced");
    EXPECT_EQ(store.read(service, "acct"), std::optional<std::string>("replaced"));
    EXPECT_FALSE(store.read("another.service", "acct").has_value());
    EXPECT_TRUE(store.remove(service, "acct"));
    EXPECT_FALSE(store.remove(service, "acct"));
    EXPECT_FALSE(store.read(service, "acct").has_value());

    OwnerKeyStore keys(service, &store);
    auto created = keys.loadOrCreateOwnerKey("jorin");
    EXPECT_TRUE(created.created);
    EXPECT_TRUE(*keys.ownerKey("jorin") == created.key);

    // Lock the default collection: reading the key must fail, not read as "none".
    GError* error = nullptr;
    SecretService* ss = secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &error);
    ASSERT_NE(ss, nullptr);
    SecretCollection* coll = secret_collection_for_alias_sync(ss, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE,
                                                              nullptr, &error);
    ASSERT_NE(coll, nullptr) << (error ? error->message : "");
    GList* objects = g_list_append(nullptr, coll);
    secret_service_lock_sync(ss, objects, nullptr, nullptr, &error);
    g_list_free(objects);
    ASSERT_EQ(error, nullptr) << error->message;
    EXPECT_THROW(keys.ownerKey("jorin"), SecretStoreError);
    EXPECT_THROW(keys.loadOrCreateOwnerKey("jorin"), Error);
    g_object_unref(coll);
    g_object_unref(ss);
}
