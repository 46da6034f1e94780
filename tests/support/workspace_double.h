#pragma once
// A workspace that opens nothing and records what it was asked, one line per
// call: "open <url>", "folder <path>", "reveal <path>", "notification-settings".
// The choosers answer with nextSavePath and nextFolder (null: the person
// cancelled) and keep the file types and message they were given.
#include "app/platform/workspace.h"

#include <QStringList>

namespace kx::test {

class RecordingWorkspace final : public Workspace {
public:
    bool open(const QUrl& url) override { return record(QStringLiteral("open ") + url.toString()); }
    bool openFolder(const QString& path) override { return record(QStringLiteral("folder ") + path); }
    bool revealItem(const QString& path) override { return record(QStringLiteral("reveal ") + path) && revealSucceeds; }
    bool canOpenNotificationSettings() const override { return hasNotificationSettings; }
    bool openNotificationSettings() override { return record(QStringLiteral("notification-settings")); }
    QString saveFile(QWidget*, const QString&, const QString&, const QStringList& fileTypes) override {
        savedFileTypes = fileTypes;
        return nextSavePath;
    }
    QString chooseFolder(QWidget*, const QString& message) override {
        folderMessage = message;
        return nextFolder;
    }

    QStringList calls;
    bool hasNotificationSettings = true;
    bool revealSucceeds = true;
    QString nextSavePath;
    QString nextFolder;
    // What the last chooser was asked to offer and say.
    QStringList savedFileTypes;
    QString folderMessage;

private:
    bool record(const QString& call) {
        calls << call;
        return true;
    }
};

} // namespace kx::test
