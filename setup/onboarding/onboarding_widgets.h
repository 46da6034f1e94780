#pragma once
// Small pieces the onboarding sheet and its steps share.
#include "app/ui/style.h"

#include <QFont>
#include <QString>
#include <QWidget>

class QAbstractButton;
class QLabel;

namespace setup {

// A symbol in front of a text that wraps, the symbol as tall as the text's
// first line and level with it. The labels are named "<name>Symbol" (its
// "symbol" property holds the symbol's name) and "<name>Text"; the line's
// accessible name is its text unless a caller sets another.
class SymbolLine : public QWidget {
    Q_OBJECT
public:
    SymbolLine(TextStyle style, const QString& name, int spacing, QWidget* parent = nullptr, bool selectable = false);
    // The symbol in `symbolColor`; the text in `textColor` (invalid: the palette's).
    void set(const QString& symbol, const QColor& symbolColor, const QString& text,
             QFont::Weight weight = QFont::Normal, const QColor& textColor = QColor());
    QLabel* textLabel() const { return text_; }
    QString symbol() const { return symbol_; }
    QString text() const;

private:
    TextStyle style_;
    QLabel* icon_;
    QLabel* text_;
    QString symbol_;
};

// A button of a step: Return never presses it (Return belongs to the sheet's
// advance button). Call it after any styling that makes a button the default.
void makeStepButton(QAbstractButton* button);

} // namespace setup
