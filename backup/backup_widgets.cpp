#include "backup/backup_widgets.h"

#include "sources/screen_widgets.h"
#include "sources/source_display.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QRegularExpression>

namespace backupui {

QWidget* symbolTitle(const QString& text, const QString& symbol, TextStyle style, const QColor& symbolColor,
                     const QColor& textColor, QWidget* parent, bool wrap) {
    auto* w = new QWidget(parent);
    auto* row = sources::flushRow(w, 6);
    const int size = QFontMetrics(textFont(style)).height();
    row->addWidget(sources::symbolView(symbol, size, symbolColor.isValid() ? symbolColor : textColor, w), 0,
                   Qt::AlignTop);
    QLabel* title = sources::textLabel(text, style, textColor, w, wrap);
    title->setObjectName(QStringLiteral("symbolTitleText"));
    row->addWidget(title, 1);
    w->setAccessibleName(text);
    return w;
}

QLabel* titleOf(QWidget* symbolTitle) { return symbolTitle->findChild<QLabel*>(QStringLiteral("symbolTitleText")); }

QString abbreviatedDateTime(kx::Date date) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(date.time_since_epoch()).count();
    const QDateTime local = QDateTime::fromMSecsSinceEpoch(ms).toLocalTime();
    // The locale's short time without seconds.
    QString format = QLocale().timeFormat(QLocale::ShortFormat);
    format.remove(QRegularExpression(QStringLiteral("[:.]ss?")));
    return sources::mediumDate(date) + QStringLiteral(", ") + QLocale().toString(local.time(), format.trimmed());
}

} // namespace backupui
