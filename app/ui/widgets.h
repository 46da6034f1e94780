#pragma once
// Small widgets every screen uses.
#include "app/ui/style.h"

#include <QAction>
#include <QFrame>
#include <QLabel>
#include <QString>
#include <QWidget>

class QHBoxLayout;
class QToolButton;

// A label with a symbol in front of its title, the way toolbar items, tab
// items and list rows show them. The symbol is drawn in the text colour unless
// a tint is given.
QWidget* iconLabel(const QString& title, const QString& symbol, QWidget* parent = nullptr,
                   const QColor& tint = QColor());
// The same pair as an action (toolbar buttons, menus).
QAction* iconAction(const QString& title, const QString& symbol, QObject* parent);

// A full-width strip with a symbol, a wrapping, selectable text and an optional
// dismiss button, on a tinted background with a divider along its bottom edge.
//  - informational: blue symbol and text on blue at low opacity;
//  - error: orange symbol, ordinary text, orange background at 12 %.
class BannerWidget : public QFrame {
    Q_OBJECT
public:
    enum class Kind { informational, error };
    BannerWidget(Kind kind, const QString& symbol, QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const;
    // Shows the round "x" button; its clicks emit dismissRequested().
    void setDismissible(bool dismissible, const QString& accessibleName = QString());
    QToolButton* dismissButton() const { return dismiss_; }
    QLabel* textLabel() const { return label_; }

signals:
    void dismissRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void applyColors();

    Kind kind_;
    QString symbol_;
    QLabel* icon_;
    QLabel* label_;
    QToolButton* dismiss_;
};

// An informational banner (blue) with the "info.circle" symbol.
BannerWidget* informationalBanner(const QString& text, QWidget* parent = nullptr);

// The panel an empty screen or list shows: a large grey symbol, a title, a
// one-line description and at most one prominent action button.
class ContentUnavailableWidget : public QWidget {
    Q_OBJECT
public:
    ContentUnavailableWidget(const QString& title, const QString& symbol, const QString& description = QString(),
                             QWidget* parent = nullptr);
    // Adds the one action button (bordered, prominent); returns it.
    class QPushButton* setAction(const QString& title);
    QString title() const;
    QString description() const;
    // Says something else in the same place.
    void setTexts(const QString& title, const QString& description);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void fitDescription(int room);

    QLabel* title_;
    QLabel* description_;
    class QVBoxLayout* column_;
    class QPushButton* action_ = nullptr;
};

// The room a window has on its screen, less a title bar's height that a
// window manager may add.
QSize roomForWindow(const QWidget* window);
// Moves a window that is not yet shown so that it is centred over `anchor`
// (another window) or, without one, over its screen with room for a title
// bar above it, inside the screen's available area. The window manager's
// frame is taken to be the anchor's.
void centreWindowOver(QWidget* window, const QWidget* anchor);

// A thin horizontal divider in the separator colour.
QFrame* makeDivider(QWidget* parent = nullptr);

// Applies a text style and optionally a colour to a label.
void styleLabel(QLabel* label, TextStyle style, const QColor& color = QColor());

// A push button in the bordered prominent style (accent-coloured, white text).
void makeProminent(class QPushButton* button);

// A small tag: plain text in a smaller caption font on a capsule of `fill`
// ("Optional" beside a permission, a destination's kind).
class CapsuleLabel : public QLabel {
    Q_OBJECT
public:
    CapsuleLabel(const QString& text, const QColor& fill, const QMargins& padding, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor fill_;
};

// The button row at the foot of a sheet: "Cancel" (object name "cancel"), then
// the confirming button in the prominent style, both at the trailing edge.
// Return presses neither unless the caller makes one the default.
struct SheetButtons {
    class QHBoxLayout* row;
    class QPushButton* cancel;
    class QPushButton* confirm;
};
SheetButtons sheetButtons(QWidget* parent, const QString& confirmTitle, const QString& confirmName);
