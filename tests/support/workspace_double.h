#pragma once
// A workspace that opens nothing and records what it was asked, one line per
// call: "open <url>", "folder <path>", "reveal <path>", "notification-settings".
#include "app/ui/workspace.h"

#include <QStringList>

namespace kx::test {

class RecordingWorkspace final : public Workspace {
public:
    bool open(const QUrl& url) override { return record(QStringLiteral("open ") + url.toString()); }
    bool openFolder(const QString& path) override { return record(QStringLiteral("folder ") + path); }
    bool revealItem(const QString& path) override { return record(QStringLiteral("reveal ") + path); }
    bool canOpenNotificationSettings() const override { return hasNotificationSettings; }
    bool openNotificationSettings() override { return record(QStringLiteral("notification-settings")); }

    QStringList calls;
    bool hasNotificationSettings = true;

private:
    bool record(const QString& call) {
        calls << call;
        return true;
    }
};

} // namespace kx::test
