// The desktop notification center against a notification server of our own on
// a private session bus. The test starts itself again under dbus-run-session
// (which gives the child a bus of its own and removes it afterwards), so the
// user's desktop never sees these notifications.
#include "app/model/health_notifier.h"
#include "app/platform/dbus_notification_center.h"
#include "core/health/health_alert.h"
#include "tests/support/notification_server.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using kx::test::NotificationServer;
using kx::test::onPrivateBus;

kx::HealthAlert alert(kx::HealthAlert::Kind kind, const std::string& body) {
    kx::HealthAlert a;
    a.kind = kind;
    a.body = body;
    return a;
}

} // namespace

TEST(NotificationBus, WithoutABusNotificationsAreUnavailable) {
    auto nobus = QDBusConnection::connectToBus("unix:path=/nonexistent/kelvara-test-bus", "kx-no-bus");
    auto center = std::make_shared<DBusNotificationCenter>(nobus);
    HealthNotifier notifier(center);
    notifier.refreshAuthorization();
    EXPECT_EQ(notifier.authorization(), HealthNotifier::Authorization::unavailable);
    std::optional<QString> error;
    center->add({"kx.alert.test", "t", "b", true}, [&](std::optional<QString> e) { error = e; });
    ASSERT_TRUE(error.has_value());
    EXPECT_FALSE(error->isEmpty());
}

TEST(NotificationBus, WithoutAServiceNotificationsAreUnavailable) {
    if (!onPrivateBus()) return;
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected());
    HealthNotifier notifier(std::make_shared<DBusNotificationCenter>(QDBusConnection::sessionBus()));
    bool done = false;
    notifier.refreshAuthorization([&] { done = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 20000));
    EXPECT_EQ(notifier.authorization(), HealthNotifier::Authorization::unavailable);
}

TEST(NotificationBus, PostsReplacesAndWithdrawsThroughTheService) {
    if (!onPrivateBus()) return;
    using Kind = kx::HealthAlert::Kind;
    NotificationServer server;
    auto serverBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "kx-test-server");
    ASSERT_TRUE(serverBus.isConnected());
    ASSERT_TRUE(serverBus.registerVirtualObject(DBusNotificationCenter::kPath, &server));
    ASSERT_TRUE(serverBus.registerService(DBusNotificationCenter::kService));

    HealthNotifier notifier(std::make_shared<DBusNotificationCenter>(QDBusConnection::sessionBus()));
    bool ready = false;
    notifier.refreshAuthorization([&] { ready = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return ready; }, 20000));
    ASSERT_EQ(notifier.authorization(), HealthNotifier::Authorization::authorized);

    auto deliver = [&](const std::vector<kx::HealthAlert>& alerts) {
        int result = -1;
        notifier.deliver(alerts, [&](int n) { result = n; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return result >= 0; }, 20000));
        return result;
    };

    // Two of one kind: the second replaces the first on screen.
    EXPECT_EQ(deliver({alert(Kind::stale, "first"), alert(Kind::stale, "second"), alert(Kind::runFailed, "failed")}),
              3);
    ASSERT_EQ(server.posted.size(), 3u);
    EXPECT_EQ(server.posted[0].summary, "Your archive is out of date");
    EXPECT_EQ(server.posted[0].replacesId, 0u);
    EXPECT_EQ(server.posted[1].body, "second");
    EXPECT_EQ(server.posted[1].replacesId, 1u);
    EXPECT_EQ(server.posted[2].summary, "Kelvara could not archive");
    EXPECT_EQ(server.posted[0].hints.value("sound-name").toString(), "message-new-instant");

    // A new delivery of a kind withdraws the one shown before posting again.
    EXPECT_EQ(deliver({alert(Kind::stale, "third")}), 1);
    EXPECT_EQ(server.closed, std::vector<uint>{1});

    // A refused request is reported with the server's reason; the rest go out.
    server.refuseSummary = "A message source was unreadable";
    EXPECT_EQ(deliver({alert(Kind::sourceUnreachable, "x"), alert(Kind::neverRan, "y")}), 1);
    EXPECT_EQ(notifier.lastPostError(), "A message source was unreadable: the server refused it");

    // When the problems clear, their notifications are withdrawn.
    server.closed.clear();
    notifier.withdrawCleared({});
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.closed.size() == 3; }, 20000));

    // The test notification replaces an earlier test notification.
    bool sent = false;
    notifier.sendTest([&](bool ok) { sent = ok; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return sent; }, 20000));
    sent = false;
    notifier.sendTest([&](bool ok) { sent = ok; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return sent; }, 20000));
    EXPECT_EQ(server.posted.back().summary, "Kelvara notifications are working");
    EXPECT_EQ(server.posted[server.posted.size() - 2].replacesId, 0u);
    EXPECT_NE(server.posted.back().replacesId, 0u);

    serverBus.unregisterObject(DBusNotificationCenter::kPath);
    QDBusConnection::disconnectFromBus("kx-test-server");
}
