#include "app/shell/settings_window.h"

#include "app/ui/symbols.h"
#include "app/ui/widgets.h"

#include <QTabWidget>
#include <QVBoxLayout>

QWidget* makeSettingsContent(AppModel&, QWidget* parent) {
    auto* tabs = new QTabWidget(parent);
    tabs->setObjectName(QStringLiteral("settingsTabs"));
    tabs->setDocumentMode(true);
    struct Tab {
        const char* title;
        const char* symbol;
    };
    for (const Tab& t : {Tab{QT_TR_NOOP("General"), "gearshape"}, Tab{QT_TR_NOOP("Permissions"), "lock.shield"},
                         Tab{QT_TR_NOOP("Archive"), "archivebox"}, Tab{QT_TR_NOOP("Privacy"), "hand.raised"}}) {
        const QString title = QObject::tr(t.title);
        tabs->addTab(new ContentUnavailableWidget(title, QString::fromLatin1(t.symbol), QString(), tabs),
                     symbolIcon(QString::fromLatin1(t.symbol)), title);
    }
    tabs->setCurrentIndex(0);
    return tabs;
}

SettingsWindow::SettingsWindow(AppModel& model, QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("settingsWindow"));
    setWindowTitle(tr("Settings"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(makeSettingsContent(model, this));
    setFixedWidth(kWidth);
    resize(kWidth, 470);
}
