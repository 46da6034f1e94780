#include "app/platform/workspace.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
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

bool Workspace::askFileManager(const QString& method, const QStringList& uris) {
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

bool Workspace::openFolder(const QString& path) {
    if (path.isEmpty() || !QFileInfo(path).isDir()) return false;
    const QUrl folder = QUrl::fromLocalFile(path);
    return askFileManager(QStringLiteral("ShowFolders"), {folder.toString(QUrl::FullyEncoded)}) || open(folder);
}

bool Workspace::revealItem(const QString& path) {
    const QFileInfo info(path);
    if (path.isEmpty() || (!info.exists() && !info.isSymLink())) return false;
    if (askFileManager(QStringLiteral("ShowItems"), {QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded)}))
        return true;
    // Without a file manager that can select the item, open the folder that
    // holds it: opening the item itself could open or run it.
    const QString folder = info.absolutePath();
    return QFileInfo(folder).isDir() && open(QUrl::fromLocalFile(folder));
}

QString Workspace::saveFile(QWidget* parent, const QString& suggestedName, const QString& message,
                            const QStringList& fileTypes) {
    // The dialog has no message line of its own; its title carries the message.
    QFileDialog dialog(parent, message);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    if (!fileTypes.isEmpty()) dialog.setNameFilters(fileTypes);
    dialog.setDirectory(QDir::homePath());
    dialog.selectFile(suggestedName);
    if (dialog.exec() != QDialog::Accepted) return {};
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}

QString Workspace::chooseFolder(QWidget* parent, const QString& message) {
    return QFileDialog::getExistingDirectory(parent, message, QString(), QFileDialog::ShowDirsOnly);
}

bool Workspace::openMessagesPlace() { return openFolder(messagesPlace()); }

QString revealInFileManager(const QString& path) {
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isAbsolute())
        return QStringLiteral("Could not show this source: its path is not a full path on this computer.");
    if (!info.exists() && !info.isSymLink())
        return "Could not show " + path + ": nothing is there any more. The source stays registered.";
    if (workspace().revealItem(info.absoluteFilePath())) return {};
    return "Could not show " + path + ": no file manager could open the folder " + info.absolutePath() + ".";
}

QString messagesPlace() { return QDir(QDir::homePath()).filePath(QStringLiteral("Library/Messages")); }

Workspace& workspace() {
    static DesktopWorkspace desktop;
    return installed() ? *installed() : desktop;
}

void setWorkspaceForTesting(std::shared_ptr<Workspace> w) { installed() = std::move(w); }
