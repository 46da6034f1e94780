#include "app/ui/symbol_title.h"

#include "app/ui/dates.h"
#include "app/ui/screen_widgets.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QRegularExpression>

QWidget* symbolTitle(const QString& text, const QString& symbol, TextStyle style, const QColor& symbolColor,
                     const QColor& textColor, QWidget* parent, bool wrap) {
    auto* w = new QWidget(parent);
    auto* row = flushRow(w, 6);
    const int size = QFontMetrics(textFont(style)).height();
    row->addWidget(symbolView(symbol, size, symbolColor.isValid() ? symbolColor : textColor, w), 0, Qt::AlignTop);
    QLabel* title = textLabel(text, style, textColor, w, wrap);
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
    return mediumDate(date) + QStringLiteral(", ") + QLocale().toString(local.time(), format.trimmed());
}
