#pragma once
// What the sources screens ask of the desktop: the save and folder choosers and
// showing a source in the file manager. Tests replace them so that no dialog
// blocks and nothing is opened.
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

class QWidget;

namespace sources {

struct DesktopServices {
    // The save chooser; the chosen path, or null when the user cancelled.
    std::function<QString(QWidget* parent, const QString& suggestedName, const QString& message)> saveFile;
    // The folder chooser; the chosen folder's path, or null when cancelled.
    std::function<QString(QWidget* parent)> chooseFolder;
    // Asks the desktop's file manager to show these items selected in their
    // folders (org.freedesktop.FileManager1.ShowItems); false when no file
    // manager answered.
    std::function<bool(const QStringList& uris)> showItems;
    // Opens a folder in the file manager; false when nothing could open it.
    std::function<bool(const QUrl& folder)> openFolder;
};

// The services in use (the real ones unless a test replaced them).
DesktopServices& desktopServices();
// Replaces them (tests); resetDesktopServices() brings back the real ones.
void setDesktopServices(DesktopServices services);
void resetDesktopServices();

// Shows a source in the file manager: the item selected in its containing
// folder where the file manager supports that, else the containing folder
// itself. The source's own file is never opened or run. A null result means it
// was shown; otherwise the sentence says why not.
QString revealInFileManager(const QString& path);

} // namespace sources
