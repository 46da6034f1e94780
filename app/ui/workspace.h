#pragma once
// Opening files and folders with the desktop's applications.
//
// Screens go through workspace() so that tests can see what would have been
// opened without starting another program.
#include <QString>
#include <QUrl>

#include <memory>

class Workspace {
public:
    virtual ~Workspace() = default;
    // Opens a file or folder in its default application. False when the desktop
    // could not be asked.
    virtual bool open(const QUrl& url) = 0;
};

// The desktop's own (QDesktopServices), unless a test installed another.
Workspace& workspace();
void setWorkspaceForTesting(std::shared_ptr<Workspace> workspace);
