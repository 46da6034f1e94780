#pragma once
// The grouped form every settings tab is: sections, each an optional small
// heading over a rounded box of rows, in a column that scrolls when the window
// is shorter than the form.
#include "app/ui/style.h"

#include <QLabel>
#include <QScrollArea>
#include <QString>
#include <QWidget>

class QAbstractButton;
class QHBoxLayout;
class QVBoxLayout;

namespace setup {

// A rounded box a shade off the window colour, with a hairline edge: a form
// section's rows, or a group of facts inside a screen.
class GroupBox : public QWidget {
    Q_OBJECT
public:
    explicit GroupBox(QWidget* parent = nullptr) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent* event) override;
};

class FormSection : public QWidget {
    Q_OBJECT
public:
    explicit FormSection(const QString& title, QWidget* parent = nullptr);
    // Adds a full-width row; returns it.
    QWidget* addRow(QWidget* row);
    // A row with a label on the left and `value` on the right; returns the row.
    QWidget* addLabeledRow(const QString& label, QWidget* value);
    // A labelled row whose value is text; returns the value label.
    QLabel* addLabeledValue(const QString& label, const QString& value = QString());
    // A row of widgets laid out left to right (centred when asked); returns its layout.
    QHBoxLayout* addButtonRow(bool centred = false);

private:
    QVBoxLayout* rows_;
};

class SettingsForm : public QScrollArea {
    Q_OBJECT
public:
    explicit SettingsForm(QWidget* parent = nullptr);
    FormSection* addSection(const QString& title = QString());
    // Ends the form (the sections keep to the top).
    void finish();

private:
    QVBoxLayout* column_;
};

// Plain text in a style and colour, wrapping, optionally selectable.
QLabel* formText(const QString& text, TextStyle style, const QColor& color = QColor(), QWidget* parent = nullptr,
                 bool selectable = false);
// A caption in the secondary colour.
QLabel* captionText(const QString& text, QWidget* parent = nullptr);
// A symbol and a text side by side in one colour, the text wrapping; the
// text label is named "<name>Text".
QWidget* symbolText(const QString& symbol, const QString& text, const QColor& color, TextStyle style,
                    const QString& name, QWidget* parent = nullptr);
// Shrinks a button to the small control size.
void makeSmall(QAbstractButton* button);

// A small indeterminate progress indicator and a text, for work in progress.
QWidget* progressRow(const QString& text, QWidget* parent = nullptr, TextStyle style = TextStyle::caption);

} // namespace setup
