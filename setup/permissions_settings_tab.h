#pragma once
// Settings, Permissions: is anything actually being archived? A banner from the
// access verdict and the schedule, one row per permission, the buttons that fix
// a missing grant and, when contacts can be read, how many names are known.
// Showing the tab checks everything again.
#include "core/health/permissions_summary.h"

#include <QWidget>

class AppModel;
class QLabel;
class QPushButton;
class QVBoxLayout;

namespace setup {

class FormSection;

// One permission: the state symbol, the title (semibold when required, with an
// "Optional" badge when not) and the detail.
class PermissionRowView : public QWidget {
    Q_OBJECT
public:
    explicit PermissionRowView(const kx::PermissionsSummary::Row& row, QWidget* parent = nullptr);
    // The symbol name and colour the row's state is drawn with.
    static std::pair<QString, QColor> stateSymbol(const kx::PermissionsSummary::Row& row);
};

class PermissionsSettingsTab : public QWidget {
    Q_OBJECT
public:
    explicit PermissionsSettingsTab(AppModel& model, QWidget* parent = nullptr);
    static constexpr int kHeight = 470;

    struct Banner {
        QString symbol;
        QColor color;
        bool semibold = false;
        QString text;
    };
    static Banner banner(const kx::PermissionsSummary& summary);
    // "From your address book" value.
    static QString addressBookText(int loaded, int scanned);

    // What the tab does each time it is shown.
    void appear();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();

    AppModel& model_;
    QLabel* bannerSymbol_;
    QLabel* bannerText_;
    QWidget* rowsBox_;
    QVBoxLayout* rows_;
    QPushButton* checkAgain_;
    QWidget* checking_;
    QPushButton* connectContacts_;
    QPushButton* contactsSettings_;
    QLabel* help_;
    FormSection* contactNames_;
    QLabel* addressBook_;
    QLabel* overrides_;
};

} // namespace setup
