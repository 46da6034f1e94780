// The Secret Service store against a real gnome-keyring daemon on a private
// session bus. The outer test re-runs this executable under dbus-run-session
// with a temporary HOME and a keyring unlocked from standard input; the inner
// test (selected by KX_LIVE_KEYRING) talks to that daemon.
#include "core/keys/owner_keys.h"
#include "core/keys/secret_store.h"
#include "core/platform/process.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>

#include <cstdlib>
#include <fstream>
#include <unistd.h>

using namespace kx;

namespace {

std::string selfPath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

bool liveInner() { return std::getenv("KX_LIVE_KEYRING") != nullptr; }

} // namespace

TEST(SecretServiceLive, RealKeyringDaemonOnAPrivateBus) {
    if (liveInner()) return;  // already inside the private bus
    auto path = std::string(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    if (!findExecutable("dbus-run-session", path) || !findExecutable("gnome-keyring-daemon", path))
        GTEST_SKIP() << "dbus-run-session or gnome-keyring-daemon is not installed";

    test::TempDir home;
    std::filesystem::create_directories(home.path() / "run");
    std::filesystem::permissions(home.path() / "run", std::filesystem::perms::owner_all);
    std::string script =
        "export HOME='" + home.path().string() + "' XDG_DATA_HOME='" + home.path().string() +
        "/.local/share' XDG_RUNTIME_DIR='" + home.path().string() +
        "/run' KX_LIVE_KEYRING=1\n"
        "printf 'kelvara-test-password' | gnome-keyring-daemon --unlock --components=secrets >/dev/null || exit 90\n"
        "exec '" + selfPath() + "' --gtest_also_run_disabled_tests --gtest_filter='SecretServiceInner.*'\n";
    ProcessRequest req;
    req.program = "dbus-run-session";
    req.arguments = {"--", "sh", "-c", script};
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

// Disabled in ordinary runs; the test above runs it on the private bus.
TEST(SecretServiceInner, DISABLED_StoresReadsRemovesAndTellsLockedFromMissing) {
    if (!liveInner()) GTEST_SKIP() << "runs only inside the private session bus";
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
    SecretCollection* coll =
        secret_collection_for_alias_sync(ss, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
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
