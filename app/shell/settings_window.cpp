#include "app/shell/settings_window.h"

#include "app/shell/kelvara_app.h"

#include "app/ui/style.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "setup/archive_settings_tab.h"
#include "setup/general_settings_tab.h"
#include "setup/permissions_settings_tab.h"
#include "setup/privacy_settings_tab.h"

#include <QButtonGroup>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QScreen>
#include <QShortcut>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

namespace {

struct TabInfo {
    SettingsTab tab;
    const char* key;
    const char* title;
    const char* symbol;
    int height; // of the tab's form
};

const std::array<TabInfo, 4> kTabs = {{
    {SettingsTab::general, "general", QT_TRANSLATE_NOOP("SettingsWindow", "General"), "gearshape", 470},
    {SettingsTab::permissions, "permissions", QT_TRANSLATE_NOOP("SettingsWindow", "Permissions"), "lock.shield", 470},
    {SettingsTab::archive, "archive", QT_TRANSLATE_NOOP("SettingsWindow", "Archive"), "archivebox", 610},
    {SettingsTab::privacy, "privacy", QT_TRANSLATE_NOOP("SettingsWindow", "Privacy"), "hand.raised", 640},
}};

const TabInfo& info(SettingsTab tab) { return kTabs[static_cast<size_t>(tab)]; }

} // namespace

QWidget* makeSettingsTab(SettingsTab tab, AppModel& model, QWidget* parent) {
    const auto bringMainWindowForward = [] { showMainWindow(); };
    switch (tab) {
    case SettingsTab::general: return new setup::GeneralSettingsTab(model, bringMainWindowForward, parent);
    case SettingsTab::permissions: return new setup::PermissionsSettingsTab(model, parent);
    case SettingsTab::archive: return new setup::ArchiveSettingsTab(model, bringMainWindowForward, parent);
    case SettingsTab::privacy: break;
    }
    return new setup::PrivacySettingsTab(model, parent);
}

SettingsWindow::SettingsWindow(AppModel& model, QWidget* parent) : QWidget(parent, Qt::Window), model_(model) {
    setObjectName(QStringLiteral("settingsWindow"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* strip = new QWidget(this);
    strip->setObjectName(QStringLiteral("settingsTabStrip"));
    auto* row = new QHBoxLayout(strip);
    row->setContentsMargins(8, 6, 8, 6);
    row->setSpacing(2);
    row->addStretch(1);
    buttons_ = new QButtonGroup(this);
    buttons_->setExclusive(true);
    stack_ = new QStackedWidget(this);
    for (const TabInfo& t : kTabs) {
        auto* b = new QToolButton(strip);
        b->setObjectName(QStringLiteral("settingsTab.") + QString::fromLatin1(t.key));
        b->setText(tr(t.title));
        b->setIcon(symbolIcon(QString::fromLatin1(t.symbol)));
        b->setIconSize(QSize(22, 22));
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setCheckable(true);
        b->setAutoRaise(true);
        b->setMinimumWidth(76);
        b->setFont(textFont(TextStyle::subheadline));
        buttons_->addButton(b, static_cast<int>(t.tab));
        row->addWidget(b);
        stack_->addWidget(new QWidget(stack_)); // filled when first selected
    }
    row->addStretch(1);
    column->addWidget(strip);
    QFrame* divider = makeDivider(this);
    column->addWidget(divider);
    column->addWidget(stack_, 1);
    connect(buttons_, &QButtonGroup::idClicked, this, [this](int id) { selectTab(static_cast<SettingsTab>(id)); });

    // The window is 620 wide on every tab and its height follows the
    // selected tab's form, less on a screen too short for it (the forms then
    // scroll).
    chrome_ = strip->sizeHint().height() + divider->sizeHint().height();
    setFixedWidth(kWidth);

    for (const QKeySequence& keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)})
        connect(new QShortcut(keys, this), &QShortcut::activated, this, &QWidget::close);
    selectTab(SettingsTab::general);
}

void SettingsWindow::selectTab(SettingsTab tab) {
    current_ = tab;
    const int index = static_cast<int>(tab);
    if (auto* b = buttons_->button(index)) b->setChecked(true);
    // The selected tab's symbol takes the accent colour.
    for (const TabInfo& t : kTabs)
        if (auto* b = buttons_->button(static_cast<int>(t.tab)))
            b->setIcon(symbolIcon(QString::fromLatin1(t.symbol), t.tab == tab ? toneColor(Tone::blue) : QColor()));
    QWidget* page = stack_->widget(index);
    if (page && !page->property("filled").toBool()) {
        QWidget* form = makeSettingsTab(tab, model_, stack_);
        stack_->removeWidget(page);
        page->deleteLater();
        stack_->insertWidget(index, form);
        form->setProperty("filled", true);
    }
    stack_->setCurrentIndex(index);
    setWindowTitle(tr(info(tab).title));
    fitToScreen();
}

void SettingsWindow::fitToScreen() {
    const int formHeight = std::min(info(current_).height, roomForWindow(this).height() - chrome_);
    stack_->setFixedHeight(formHeight);
    setFixedHeight(chrome_ + formHeight);
    // Placed for a shorter tab, a taller one would run past the bottom of a
    // short screen: the window moves up as far as it must, never above the
    // top of the screen's available area.
    const QScreen* screen = this->screen();
    if (!screen) return;
    const QRect room = screen->availableGeometry();
    const QRect frame = frameGeometry();
    const int up = std::min(frame.bottom() - room.bottom(), frame.top() - room.top());
    if (up > 0) move(pos() - QPoint(0, up));
}

void SettingsWindow::showEvent(QShowEvent* event) {
    // The screen it opens on may not be the one it was made on.
    fitToScreen();
    QWidget::showEvent(event);
}
