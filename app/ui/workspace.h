#pragma once
// Opening things outside the application: files in their default application,
// folders in the file manager, and the desktop's own settings.
//
// Screens go through workspace() so that tests can see what would have been
// opened without starting another program.
//
// Where a Mac would open a System Settings pane, Linux has:
//  - no Full Disk Access list and no Messages application: openMessagesPlace
//    opens the folder that holds the live Messages database
//    (~/Library/Messages, where a copied Messages folder goes) when it exists;
//  - the notification settings in the desktop's settings program (GNOME
//    Settings, KDE System Settings or the Xfce notification settings) when one
//    is installed; canOpenNotificationSettings says whether one is.
// Every call returns whether something was opened; none waits for the program
// it starts.
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>

class Workspace {
public:
    virtual ~Workspace() = default;
    // Opens a file, folder or address in its default application.
    virtual bool open(const QUrl& url) = 0;
    // Shows a folder in a file-manager window (false when it is not a folder).
    virtual bool openFolder(const QString& path);
    // Shows the folder holding `path` with that item selected, where the file
    // manager can select it (false when nothing is at `path`).
    virtual bool revealItem(const QString& path);
    virtual bool canOpenNotificationSettings() const { return false; }
    virtual bool openNotificationSettings() { return false; }
    // The place a person goes to let Kelvara read Messages (see above).
    bool openMessagesPlace();
};

// The folder openMessagesPlace shows.
QString messagesPlace();

// Asks the desktop's file manager (org.freedesktop.FileManager1, started on
// demand where the bus can activate it) to show these file URIs: "ShowItems"
// selects each in its folder, "ShowFolders" opens each folder. False when no
// file manager answered.
bool askFileManager(const QString& method, const QStringList& uris);

// The desktop's own, unless a test installed another.
Workspace& workspace();
void setWorkspaceForTesting(std::shared_ptr<Workspace> workspace);
