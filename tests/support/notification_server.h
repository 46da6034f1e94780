#pragma once
// A notification server of our own on a private session bus, so tests can post
// real desktop notifications without the user's desktop seeing them.
//
// A test that needs the bus starts with `if (!onPrivateBus()) return;`: in the
// parent process that runs the same test again under dbus-run-session (which
// gives the child a bus of its own and removes it afterwards) and checks that
// it passed; in that child it returns true.
#include "app/platform/dbus_notification_center.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QProcess>
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace kx::test {

inline constexpr const char* kMarker = "KX_PRIVATE_SESSION_BUS";

// True in the child that runs on the private bus. In the parent, runs this one
// test again under dbus-run-session and checks that it passed.
inline bool onPrivateBus() {
    if (std::getenv(kMarker)) return true;
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const QString filter = QString("--gtest_filter=%1.%2").arg(info->test_suite_name(), info->name());
    QProcess child;
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert(kMarker, "1");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start("dbus-run-session", {"--", QCoreApplication::applicationFilePath(), filter});
    EXPECT_TRUE(child.waitForStarted(10000)) << "dbus-run-session could not be started (package dbus)";
    child.waitForFinished(120000);
    const QByteArray out = child.readAll();
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit) << out.constData();
    EXPECT_EQ(child.exitCode(), 0) << out.constData();
    EXPECT_TRUE(out.contains("[  PASSED  ] 1 test")) << out.constData();
    return false;
}

// A minimal org.freedesktop.Notifications server on its own connection.
class NotificationServer final : public QDBusVirtualObject {
public:
    struct Posted {
        uint replacesId;
        QString summary;
        QString body;
        QVariantMap hints;
    };
    std::vector<Posted> posted;
    std::vector<uint> closed;
    QString refuseSummary;
    bool refuseAll = false;

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const QString member = message.member();
        if (member == "GetServerInformation") {
            connection.send(message.createReply(QVariantList{"Kelvara tests", "kx", "1", "1.2"}));
            return true;
        }
        if (member == "Notify") {
            const auto args = message.arguments();
            Posted p{args.value(1).toUInt(), args.value(3).toString(), args.value(4).toString(),
                     qdbus_cast<QVariantMap>(args.value(6))};
            if (refuseAll || p.summary == refuseSummary) {
                connection.send(
                    message.createErrorReply("org.freedesktop.Notifications.Error.Refused", "the server refused it"));
                return true;
            }
            posted.push_back(p);
            const uint id = p.replacesId ? p.replacesId : nextId_++;
            connection.send(message.createReply(QVariant::fromValue(id)));
            return true;
        }
        if (member == "CloseNotification") {
            const uint id = message.arguments().value(0).toUInt();
            closed.push_back(id);
            connection.send(message.createReply());
            QDBusMessage signal = QDBusMessage::createSignal(DBusNotificationCenter::kPath,
                                                             DBusNotificationCenter::kInterface, "NotificationClosed");
            signal << id << uint(3);
            connection.send(signal);
            return true;
        }
        return false;
    }
    QString introspect(const QString&) const override { return {}; }

private:
    uint nextId_ = 1;
};

} // namespace kx::test
