#pragma once
// A symbol before a plain-text title, and a date with its time, as the backup
// and household screens show them.
#include "app/ui/style.h"
#include "core/platform/time.h"

#include <QColor>
#include <QString>

class QLabel;
class QWidget;

// A symbol followed by a plain-text title (never read as markup, so any owner
// name shows as typed). The title label is named "symbolTitleText".
QWidget* symbolTitle(const QString& text, const QString& symbol, TextStyle style, const QColor& symbolColor,
                     const QColor& textColor, QWidget* parent, bool wrap = false);
// The title label of a symbolTitle.
QLabel* titleOf(QWidget* symbolTitle);
// "Dec 9, 2026, 3:41 PM": an abbreviated date and a short time in the current locale.
QString abbreviatedDateTime(kx::Date date);
