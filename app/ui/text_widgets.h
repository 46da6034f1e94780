#pragma once
// Text widgets every room uses (clamped, symbol-led and monospaced texts,
// styled labels) and the segmented picker.
#include "app/ui/style.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QStringList>
#include <QWidget>

class QButtonGroup;
class QHBoxLayout;

// A wrapping, selectable plain text shown in at most `maxLines` lines; a text
// that needs more ends its last line with "…".
class ClampedTextLabel : public QLabel {
    Q_OBJECT
public:
    explicit ClampedTextLabel(int maxLines, QWidget* parent = nullptr);
    void setFullText(const QString& text);
    QString fullText() const { return full_; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // The text as shown at `width`, and how many lines it takes.
    QString clamped(int width, int* lines) const;
    QString full_;
    int maxLines_;
    int shownWidth_ = -1;
};

// A symbol in front of a wrapping, selectable text, both in one colour (the
// text colour when none is given).
class SymbolTextLabel : public QWidget {
    Q_OBJECT
public:
    SymbolTextLabel(const QString& text, const QString& symbol, TextStyle style, const QColor& color = QColor(),
                    QWidget* parent = nullptr);
    void setText(const QString& text);
    QString text() const;
    QLabel* textLabel() const { return text_; }
    QLabel* symbolLabel() const { return symbol_; }

private:
    QLabel* symbol_;
    QLabel* text_;
};

// A segmented control: one checkable segment per item, exactly one chosen.
class SegmentedPicker : public QWidget {
    Q_OBJECT
public:
    explicit SegmentedPicker(QWidget* parent = nullptr);
    // Replaces the segments; `values` tag them (the labels when empty).
    void setItems(const QStringList& labels, const QStringList& values = {});
    QStringList values() const { return values_; }
    QString currentValue() const;
    // Chooses the segment tagged `value` (none chosen when there is none); no signal.
    void setCurrentValue(const QString& value);
    // The segment tagged `value`, for tests.
    class QAbstractButton* segment(const QString& value) const;

signals:
    // The user chose a segment.
    void chosen(const QString& value);

private:
    QButtonGroup* group_;
    QHBoxLayout* row_;
    QStringList values_;
};

// A text style's font in the monospaced family.
QFont monospacedFont(TextStyle style);
// A label in a style and colour, plain text, wrapping when asked.
QLabel* styledLabel(const QString& text, TextStyle style, const QColor& color = QColor(), QWidget* parent = nullptr,
                    bool wrap = false);
// A selectable monospaced text (paths, digests) that wraps anywhere, so a long
// path or digest never widens its sheet; copying it gives the text unbroken.
class MonospacedText : public QPlainTextEdit {
    Q_OBJECT
public:
    MonospacedText(const QString& text, TextStyle style, QWidget* parent = nullptr);
    QString text() const { return toPlainText(); }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
};
