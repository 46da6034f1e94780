#include "sources/desktop_services.h"

#include "app/ui/workspace.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

namespace sources {

namespace {

QString realSaveFile(QWidget* parent, const QString& suggestedName, const QString& message) {
    // The dialog has no message line of its own; its title carries the message.
    QFileDialog dialog(parent, message);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDirectory(QDir::homePath());
    dialog.selectFile(suggestedName);
    if (dialog.exec() != QDialog::Accepted) return {};
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}

QString realChooseFolder(QWidget* parent) {
    return QFileDialog::getExistingDirectory(parent, QString(), QString(), QFileDialog::ShowDirsOnly);
}

bool realShowItems(const QStringList& uris) { return askFileManager(QStringLiteral("ShowItems"), uris); }

bool realOpenFolder(const QUrl& folder) { return workspace().open(folder); }

DesktopServices realServices() {
    return DesktopServices{realSaveFile, realChooseFolder, realShowItems, realOpenFolder};
}

DesktopServices& current() {
    static DesktopServices services = realServices();
    return services;
}

} // namespace

DesktopServices& desktopServices() { return current(); }

void setDesktopServices(DesktopServices services) {
    DesktopServices real = realServices();
    if (!services.saveFile) services.saveFile = real.saveFile;
    if (!services.chooseFolder) services.chooseFolder = real.chooseFolder;
    if (!services.showItems) services.showItems = real.showItems;
    if (!services.openFolder) services.openFolder = real.openFolder;
    current() = std::move(services);
}

void resetDesktopServices() { current() = realServices(); }

QString revealInFileManager(const QString& path) {
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isAbsolute())
        return QStringLiteral("Could not show this source: its path is not a full path on this computer.");
    if (!info.exists() && !info.isSymLink())
        return "Could not show " + path + ": nothing is there any more. The source stays registered.";
    const QUrl item = QUrl::fromLocalFile(info.absoluteFilePath());
    if (desktopServices().showItems({item.toString(QUrl::FullyEncoded)})) return {};
    // Without a file manager that can select an item, open the folder that holds
    // it: opening the item itself could open or run the source's own file.
    const QString folder = info.absolutePath();
    if (QFileInfo(folder).isDir() && desktopServices().openFolder(QUrl::fromLocalFile(folder))) return {};
    return "Could not show " + path + ": no file manager could open the folder " + folder + ".";
}

} // namespace sources
