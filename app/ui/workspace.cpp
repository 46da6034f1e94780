#include "app/ui/workspace.h"

#include <QDesktopServices>

namespace {

class DesktopWorkspace final : public Workspace {
public:
    bool open(const QUrl& url) override { return QDesktopServices::openUrl(url); }
};

std::shared_ptr<Workspace>& installed() {
    static std::shared_ptr<Workspace> w;
    return w;
}

} // namespace

Workspace& workspace() {
    static DesktopWorkspace desktop;
    return installed() ? *installed() : desktop;
}

void setWorkspaceForTesting(std::shared_ptr<Workspace> w) { installed() = std::move(w); }
