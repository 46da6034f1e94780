#pragma once
// The widget kit every room's screens share: spinners, elided and copyable
// texts, tinted boxes, labels and the columns and rows screens are built from.
#include "app/ui/style.h"

#include <QFrame>
#include <QLabel>
#include <QString>
#include <QWidget>

#include <string>

class QAbstractScrollArea;
class QHBoxLayout;
class QLayout;
class QListView;
class QTimer;
class QToolButton;
class QVBoxLayout;

// The small progress indicator shown while work runs: a turning arc. It only
// animates while visible.
class BusySpinner : public QWidget {
    Q_OBJECT
public:
    explicit BusySpinner(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {16, 16}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QTimer* timer_;
    int angle_ = 0;
};

// One line of text from data, elided to the width it gets; the full text is
// its tooltip. It never asks for more width than it is given, so a very long
// path or name cannot widen a layout.
class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(const QString& text = QString(), Qt::TextElideMode mode = Qt::ElideRight,
                         QWidget* parent = nullptr);
    void setFullText(const QString& text);
    QString fullText() const { return full_; }
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void updateShown();
    QString full_;
    Qt::TextElideMode mode_;
};

// A file path to copy: the path in the monospaced caption font (its size
// scaled by `scale`), cut in the middle when narrow and selectable, then a
// borderless button that puts it on the clipboard. Both are added to `line`;
// the button is returned so the caller can name it.
QToolButton* addCopyablePath(QHBoxLayout* line, const QString& path, QWidget* parent, double scale = 1.0);

// A box on a tinted rounded rectangle (cards, panels). A negative radius
// draws square corners.
class TintedBox : public QFrame {
    Q_OBJECT
public:
    TintedBox(const QColor& fill, int radius, QWidget* parent = nullptr);
    void setFill(const QColor& fill);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor fill_;
    int radius_;
};

// A plain-text label in a style and colour; wraps when asked.
QLabel* textLabel(const QString& text, TextStyle style, const QColor& color = QColor(), QWidget* parent = nullptr,
                  bool wrap = false);
// The same, bold.
QLabel* boldLabel(const QString& text, TextStyle style, const QColor& color = QColor(), QWidget* parent = nullptr);
// A symbol drawn at a size in a colour.
QLabel* symbolView(const QString& symbol, int size, const QColor& color, QWidget* parent = nullptr);
// A screen whose content scrolls vertically: fills `screen` with a scroll
// area and returns the column of its page, padded by `padding`.
QVBoxLayout* scrollingColumn(QWidget* screen, const QString& objectName, int padding, int spacing);
// Makes one wheel click scroll `area` by the desktop's number of wheel lines
// (QApplication::wheelScrollLines), a line being one line of body text, as
// text views scroll, instead of a few pixels.
void useWheelStepOfText(QAbstractScrollArea* area);
// A widget holding a column with no margins; the column comes back in `column`.
QWidget* columnWidget(QWidget* parent, const QString& objectName, int spacing, QVBoxLayout** column);
// A column nested at the end of `into`.
QVBoxLayout* nestedColumn(QVBoxLayout* into, int spacing);
// Sets up a list of painted rows over the background it lies on: no frame,
// pixel scrolling, no horizontal scroll bar. A display-only list takes no
// selection and no focus.
void setUpPaintedList(QListView* list, bool displayOnly);
// A row layout on `owner` with no margins.
QHBoxLayout* flushRow(QWidget* owner, int spacing);
// Removes every item of a layout, deleting its widgets later.
void clearLayout(QLayout* layout);
// The fill of "quaternary" surfaces (capsules, cards) at an opacity.
QColor quaternaryFill(double opacity);

// A text from data (a path, an identifier, a name) made safe for one line:
// line breaks, tabs and other control characters, and the characters that
// reorder text (bidi embeddings, overrides and isolates), are shown as a
// visible replacement mark instead of acting. Nothing else changes.
QString singleLine(const QString& text);
QString singleLine(const std::string& text);

// The kit's names as the sources room first spelled them.
namespace sources {
using ::addCopyablePath;
using ::boldLabel;
using ::BusySpinner;
using ::clearLayout;
using ::columnWidget;
using ::ElidedLabel;
using ::flushRow;
using ::nestedColumn;
using ::quaternaryFill;
using ::scrollingColumn;
using ::setUpPaintedList;
using ::singleLine;
using ::symbolView;
using ::textLabel;
using ::TintedBox;
} // namespace sources
