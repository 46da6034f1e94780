#include "setup/privacy_settings_tab.h"

#include "app/model/alerts_model.h"
#include "app/model/app_model.h"
#include "app/platform/workspace.h"
#include "app/ui/symbols.h"
#include "setup/settings_form.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace setup {

namespace {

struct Point {
    const char* symbol;
    const char* title;
    const char* detail;
};

constexpr Point kPoints[] = {
    {"hand.raised", QT_TRANSLATE_NOOP("PrivacySettingsTab", "No telemetry"),
     QT_TRANSLATE_NOOP("PrivacySettingsTab", "Message content never leaves this Mac. There is no analytics service, "
                                             "no crash reporter and no account.")},
    {"lock", QT_TRANSLATE_NOOP("PrivacySettingsTab", "Sources are read-only"),
     QT_TRANSLATE_NOOP("PrivacySettingsTab", "Every source database is opened immutable. Kelvara has never written to "
                                             "your Messages database and cannot.")},
    {"person.text.rectangle", QT_TRANSLATE_NOOP("PrivacySettingsTab", "Names are display only"),
     QT_TRANSLATE_NOOP("PrivacySettingsTab", "The phone number or email stored with each message is never rewritten. "
                                             "That identifier is what the archive can be checked against.")},
};

void setColor(QLabel* label, const QColor& color) {
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, color);
    label->setPalette(p);
}

} // namespace

PrivacyPoint::PrivacyPoint(const QString& symbol, const QString& title, const QString& detail, QWidget* parent)
    : QWidget(parent) {
    auto* line = new QHBoxLayout(this);
    line->setContentsMargins(0, 2, 0, 2);
    line->setSpacing(10);
    auto* icon = new QLabel(this);
    icon->setPixmap(symbolPixmap(symbol, 16, secondaryTextColor()));
    icon->setFixedWidth(18);
    icon->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    line->addWidget(icon, 0, Qt::AlignTop);
    auto* column = new QVBoxLayout;
    column->setSpacing(3);
    auto* name = formText(title, TextStyle::body, QColor(), this);
    QFont f = name->font();
    f.setWeight(QFont::Medium);
    name->setFont(f);
    column->addWidget(name);
    column->addWidget(captionText(detail, this));
    line->addLayout(column, 1);
    setAccessibleName(title + QStringLiteral(". ") + detail);
}

PrivacySettingsTab::NotificationRow PrivacySettingsTab::notificationRow(HealthNotifier::Authorization authorization) {
    using A = HealthNotifier::Authorization;
    switch (authorization) {
    case A::notDetermined: return {tr("Not asked yet"), QStringLiteral("bell"), secondaryTextColor(), tr("Allow")};
    case A::authorized:
        return {tr("Notifications allowed"), QStringLiteral("checkmark.circle"), toneColor(Tone::green),
                tr("Send a test")};
    case A::provisional:
        return {tr("Delivered quietly to Notification Centre"), QStringLiteral("bell.badge"), toneColor(Tone::orange),
                tr("Send a test")};
    case A::denied:
        return {tr("Notifications are blocked"), QStringLiteral("bell.slash"), toneColor(Tone::orange),
                tr("Open Settings")};
    case A::unavailable: break;
    }
    // Unavailable, and any answer this version does not know.
    return {tr("Notifications unavailable"), QStringLiteral("bell.slash"), secondaryTextColor(), QString()};
}

PrivacySettingsTab::PrivacySettingsTab(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("privacySettingsTab"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* form = new SettingsForm(this);
    outer->addWidget(form);

    FormSection* never = form->addSection(tr("What this app does not do"));
    for (const Point& p : kPoints)
        never->addRow(new PrivacyPoint(QString::fromLatin1(p.symbol), tr(p.title), tr(p.detail)));

    FormSection* alerts = form->addSection(tr("Alerts"));
    alerts_ = new QCheckBox(tr("Tell me when archiving stops working"));
    alerts_->setObjectName(QStringLiteral("alertsSwitch"));
    alerts->addRow(alerts_);
    alerts->addRow(captionText(tr("You are only alerted when a run fails, a drive is missing, or nothing has been "
                                  "archived for a while. Never when everything is fine.")));
    alertsBlock_ = alerts->addRow(new QWidget);
    auto* block = new QVBoxLayout(alertsBlock_);
    block->setContentsMargins(0, 0, 0, 0);
    block->setSpacing(9);
    auto* warnRow = new QHBoxLayout;
    warnRow->addWidget(formText(tr("Warn me after"), TextStyle::body, QColor(), alertsBlock_));
    warnRow->addStretch(1);
    warnAfter_ = new QComboBox(alertsBlock_);
    warnAfter_->setObjectName(QStringLiteral("warnAfter"));
    for (int days : kWarnAfterChoices) warnAfter_->addItem(tr("%1 days").arg(days), days);
    warnRow->addWidget(warnAfter_);
    block->addLayout(warnRow);

    auto* notificationRow = new QHBoxLayout;
    notificationRow->setSpacing(6);
    rowSymbol_ = new QLabel(alertsBlock_);
    rowSymbol_->setObjectName(QStringLiteral("notificationSymbol"));
    rowSymbol_->setFixedSize(16, 16);
    rowText_ = formText(QString(), TextStyle::body, QColor(), alertsBlock_);
    rowText_->setObjectName(QStringLiteral("notificationState"));
    rowButton_ = new QPushButton(alertsBlock_);
    rowButton_->setObjectName(QStringLiteral("notificationButton"));
    notificationRow->addWidget(rowSymbol_, 0, Qt::AlignVCenter);
    notificationRow->addWidget(rowText_, 1, Qt::AlignVCenter);
    notificationRow->addWidget(rowButton_, 0, Qt::AlignVCenter);
    block->addLayout(notificationRow);
    deniedNote_ = captionText(tr("Problems are still listed in the Health panel."), alertsBlock_);
    deniedNote_->setObjectName(QStringLiteral("deniedNote"));
    block->addWidget(deniedNote_);
    postError_ = formText(QString(), TextStyle::caption, toneColor(Tone::orange), alertsBlock_, true);
    postError_->setObjectName(QStringLiteral("postError"));
    block->addWidget(postError_);
    form->finish();

    // Only a person's choices change the settings: putting the controls back
    // to what is stored never saves anything.
    connect(alerts_, &QCheckBox::clicked, this, &PrivacySettingsTab::setAlertsOn);
    connect(warnAfter_, &QComboBox::activated, this, &PrivacySettingsTab::pickWarnAfter);
    connect(rowButton_, &QPushButton::clicked, this, &PrivacySettingsTab::pressNotificationButton);
    connect(&model_.alerts(), &AlertsModel::alertSettingsChanged, this, &PrivacySettingsTab::refresh);
    if (HealthNotifier* notifier = model_.alerts().notifier()) {
        connect(notifier, &HealthNotifier::authorizationChanged, this, &PrivacySettingsTab::refresh);
        connect(notifier, &HealthNotifier::lastPostErrorChanged, this, &PrivacySettingsTab::refresh);
    }
    refresh();
}

void PrivacySettingsTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    refresh();
    if (HealthNotifier* notifier = model_.alerts().notifier()) notifier->refreshAuthorization();
}

void PrivacySettingsTab::setAlertsOn(bool on) {
    kx::HealthAlertSettings settings = model_.alerts().alertSettings();
    settings.enabled = on;
    model_.alerts().setAlertSettings(settings);
    model_.alerts().saveAlertSettings();
    refresh();
}

void PrivacySettingsTab::pickWarnAfter(int index) {
    if (index < 0 || index >= warnAfter_->count()) return;
    kx::HealthAlertSettings settings = model_.alerts().alertSettings();
    settings.warnAfterDays = warnAfter_->itemData(index).toInt();
    model_.alerts().setAlertSettings(settings);
    model_.alerts().saveAlertSettings();
    refresh();
}

void PrivacySettingsTab::pressNotificationButton() {
    HealthNotifier* notifier = model_.alerts().notifier();
    if (!notifier) return;
    using A = HealthNotifier::Authorization;
    switch (notifier->authorization()) {
    case A::notDetermined: notifier->requestAuthorization(); break;
    case A::authorized:
    case A::provisional: notifier->sendTest(); break;
    case A::denied: workspace().openNotificationSettings(); break;
    case A::unavailable: break;
    }
}

void PrivacySettingsTab::refresh() {
    const kx::HealthAlertSettings& settings = model_.alerts().alertSettings();
    {
        const QSignalBlocker quiet(alerts_);
        alerts_->setChecked(settings.enabled);
    }
    alertsBlock_->setVisible(settings.enabled);
    {
        // A stored day count that is none of the choices selects none, and
        // stays as it is until a choice is picked.
        const QSignalBlocker quiet(warnAfter_);
        warnAfter_->setCurrentIndex(warnAfter_->findData(settings.warnAfterDays));
    }
    const HealthNotifier* notifier = model_.alerts().notifier();
    const auto authorization = notifier ? notifier->authorization() : HealthNotifier::Authorization::unavailable;
    const NotificationRow row = notificationRow(authorization);
    rowSymbol_->setPixmap(symbolPixmap(row.symbol, 16, row.color));
    rowSymbol_->setProperty("symbol", row.symbol);
    rowText_->setText(row.text);
    setColor(rowText_, row.color);
    // Without a settings program to open, "Open Settings" would do nothing.
    const bool opensNothing = authorization == HealthNotifier::Authorization::denied &&
                              !workspace().canOpenNotificationSettings();
    rowButton_->setText(row.button);
    rowButton_->setVisible(!row.button.isEmpty() && !opensNothing);
    deniedNote_->setVisible(authorization == HealthNotifier::Authorization::denied);
    const QString error = notifier ? notifier->lastPostError() : QString();
    postError_->setText(error);
    postError_->setVisible(!error.isEmpty());
}

} // namespace setup
