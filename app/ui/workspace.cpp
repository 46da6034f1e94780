#include "app/ui/workspace.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>

#include <array>

namespace {

struct SettingsProgram {
    const char* program;
    const char* argument;
};

// Tried in order; the first one installed opens the notification settings.
constexpr std::array<SettingsProgram, 4> kNotificationSettings = {{
    {"gnome-control-center", "notifications"},
    {"systemsettings", "kcm_notifications"},
    {"systemsettings5", "kcm_notifications"},
    {"xfce4-notifyd-config", nullptr},
}};

class DesktopWorkspace final : public Workspace {
public:
    bool open(const QUrl& url) override { return url.isValid() && QDesktopServices::openUrl(url); }

    bool openFolder(const QString& path) override {
        if (path.isEmpty() || !QFileInfo(path).isDir()) return false;
        return askFileManager(QStringLiteral("ShowFolders"),
                              {QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded)}) ||
               open(QUrl::fromLocalFile(path));
    }

    bool revealItem(const QString& path) override {
        if (path.isEmpty() || !QFileInfo::exists(path)) return false;
        return askFileManager(QStringLiteral("ShowItems"), {QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded)}) ||
               open(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
    }

    bool canOpenNotificationSettings() const override { return !settingsProgram().first.isEmpty(); }

    bool openNotificationSettings() override {
        const auto [program, args] = settingsProgram();
        return !program.isEmpty() && QProcess::startDetached(program, args);
    }

private:
    static std::pair<QString, QStringList> settingsProgram() {
        for (const SettingsProgram& p : kNotificationSettings) {
            const QString program = QStandardPaths::findExecutable(QString::fromLatin1(p.program));
            if (program.isEmpty()) continue;
            QStringList args;
            if (p.argument) args << QString::fromLatin1(p.argument);
            return {program, args};
        }
        return {};
    }
};

std::shared_ptr<Workspace>& installed() {
    static std::shared_ptr<Workspace> w;
    return w;
}

} // namespace

bool Workspace::openFolder(const QString& path) {
    return !path.isEmpty() && QFileInfo(path).isDir() && open(QUrl::fromLocalFile(path));
}

bool Workspace::revealItem(const QString& path) {
    return !path.isEmpty() && QFileInfo::exists(path) && open(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}

bool Workspace::openMessagesPlace() { return openFolder(messagesPlace()); }

bool askFileManager(const QString& method, const QStringList& uris) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    const QString service = QStringLiteral("org.freedesktop.FileManager1");
    QDBusConnectionInterface* iface = bus.interface();
    if (!iface || !iface->isServiceRegistered(service).value()) {
        // A file manager may be started on demand through D-Bus activation.
        if (!iface || !iface->activatableServiceNames().value().contains(service)) return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/FileManager1"),
                                                       service, method);
    call << uris << QString();
    const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage;
}

QString messagesPlace() { return QDir(QDir::homePath()).filePath(QStringLiteral("Library/Messages")); }

Workspace& workspace() {
    static DesktopWorkspace desktop;
    return installed() ? *installed() : desktop;
}

void setWorkspaceForTesting(std::shared_ptr<Workspace> w) { installed() = std::move(w); }
