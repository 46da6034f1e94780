#pragma once
// Settings, Privacy: three things Kelvara never does with your data, and the
// health alerts: whether to be told when archiving stops working, after how
// many days, and whether the desktop lets Kelvara post notifications at all.
#include "app/model/health_notifier.h"

#include <QWidget>

class AppModel;
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace setup {

// One point: a grey symbol, a title and a detail.
class PrivacyPoint : public QWidget {
    Q_OBJECT
public:
    PrivacyPoint(const QString& symbol, const QString& title, const QString& detail, QWidget* parent = nullptr);
};

class PrivacySettingsTab : public QWidget {
    Q_OBJECT
public:
    explicit PrivacySettingsTab(AppModel& model, QWidget* parent = nullptr);
    static constexpr int kHeight = 640;

    // The "Warn me after" choices, in order.
    static constexpr int kWarnAfterChoices[] = {2, 7, 14, 30};

    struct NotificationRow {
        QString text;
        QString symbol;
        QColor color;
        QString button; // empty: none
    };
    static NotificationRow notificationRow(HealthNotifier::Authorization authorization);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();
    void setAlertsOn(bool on);
    void pickWarnAfter(int index);
    void pressNotificationButton();

    AppModel& model_;
    QCheckBox* alerts_;
    QWidget* alertsBlock_;
    QComboBox* warnAfter_;
    QLabel* rowSymbol_;
    QLabel* rowText_;
    QPushButton* rowButton_;
    QLabel* deniedNote_;
    QLabel* postError_;
};

} // namespace setup
