#include "app/ui/workspace.h"

#include <QDBusConnection>
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

// Asks the desktop's file manager to show items (its ShowFolders or ShowItems
// method); false when no file manager answers on the session bus.
bool callFileManager(const char* method, const QString& path) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                                       QStringLiteral("/org/freedesktop/FileManager1"),
                                                       QStringLiteral("org.freedesktop.FileManager1"),
                                                       QString::fromLatin1(method));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    const QDBusMessage reply = bus.call(call, QDBus::Block, 3000);
    return reply.type() == QDBusMessage::ReplyMessage;
}

class DesktopWorkspace final : public Workspace {
public:
    bool open(const QUrl& url) override { return url.isValid() && QDesktopServices::openUrl(url); }

    bool openFolder(const QString& path) override {
        if (path.isEmpty() || !QFileInfo(path).isDir()) return false;
        return callFileManager("ShowFolders", path) || open(QUrl::fromLocalFile(path));
    }

    bool revealItem(const QString& path) override {
        if (path.isEmpty() || !QFileInfo::exists(path)) return false;
        return callFileManager("ShowItems", path) || open(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
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

QString messagesPlace() { return QDir(QDir::homePath()).filePath(QStringLiteral("Library/Messages")); }

Workspace& workspace() {
    static DesktopWorkspace desktop;
    return installed() ? *installed() : desktop;
}

void setWorkspaceForTesting(std::shared_ptr<Workspace> w) { installed() = std::move(w); }
