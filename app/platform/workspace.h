#pragma once
// What the application asks of the desktop: opening files in their default
// application, folders in the file manager and the desktop's own settings, and
// the save and folder choosers.
//
// Screens go through workspace() so that tests can see what would have been
// opened or asked without starting another program or blocking on a dialog.
//
// Where a Mac would open a System Settings pane, Linux has:
//  - no Full Disk Access list and no Messages application: openMessagesPlace
//    opens the folder that holds the live Messages database
//    (~/Library/Messages, where a copied Messages folder goes) when it exists;
//  - the notification settings in the desktop's settings program (GNOME
//    Settings, KDE System Settings or the Xfce notification settings) when one
//    is installed; canOpenNotificationSettings says whether one is.
// Every opening call returns whether something was opened; none waits for the
// program it starts.
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>

class QWidget;

class Workspace {
public:
    virtual ~Workspace() = default;
    // Opens a file, folder or address in its default application.
    virtual bool open(const QUrl& url) = 0;
    // Asks the desktop's file manager (org.freedesktop.FileManager1, started on
    // demand where the bus can activate it) to show these file URIs: "ShowItems"
    // selects each in its folder, "ShowFolders" opens each folder. False when no
    // file manager answered.
    virtual bool askFileManager(const QString& method, const QStringList& uris);
    // Shows a folder in a file-manager window (false when it is not a folder).
    virtual bool openFolder(const QString& path);
    // Shows the folder holding `path` with that item selected, where the file
    // manager can select it, else opens that folder (false when nothing is at
    // `path`). The item itself is never opened.
    virtual bool revealItem(const QString& path);
    virtual bool canOpenNotificationSettings() const { return false; }
    virtual bool openNotificationSettings() { return false; }
    // The save chooser, titled with `message`, in the home folder with
    // `suggestedName` filled in; the chosen path, or null when cancelled. With
    // `fileTypes` (name filters such as "Plain text (*.txt)") it offers only
    // those, else every file.
    virtual QString saveFile(QWidget* parent, const QString& suggestedName, const QString& message,
                             const QStringList& fileTypes = {});
    // The folder chooser, titled with `message`; the chosen folder's path, or
    // null when cancelled.
    virtual QString chooseFolder(QWidget* parent, const QString& message = QString());
    // The place a person goes to let Kelvara read Messages (see above).
    bool openMessagesPlace();
};

// The folder openMessagesPlace shows.
QString messagesPlace();

// Shows an item (a source, a file) in the file manager: selected in its
// folder where the file manager supports that, else the folder that holds it.
// The item itself is never opened or run. A null result means it was shown;
// otherwise the sentence says why not.
QString revealInFileManager(const QString& path);

// The desktop's own, unless a test installed another.
Workspace& workspace();
void setWorkspaceForTesting(std::shared_ptr<Workspace> workspace);
