#include "app/ui/widgets.h"

#include "app/ui/symbols.h"

#include <QApplication>
#include <QEvent>
#include <QHBoxLayout>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

namespace {

constexpr int kSmallSymbol = 16;
// The most a window manager's title bar is taken to add above a window.
constexpr int kTitleBar = 40;

QLabel* symbolLabel(const QString& symbol, int size, const QColor& tint, QWidget* parent) {
    auto* l = new QLabel(parent);
    l->setPixmap(symbolPixmap(symbol, size, tint));
    l->setFixedSize(size, size);
    return l;
}

} // namespace

QWidget* iconLabel(const QString& title, const QString& symbol, QWidget* parent, const QColor& tint) {
    auto* w = new QWidget(parent);
    auto* row = new QHBoxLayout(w);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    auto* icon = symbolLabel(symbol, kSmallSymbol, tint, w);
    icon->setObjectName(QStringLiteral("iconLabelSymbol"));
    auto* text = new QLabel(title, w);
    text->setObjectName(QStringLiteral("iconLabelTitle"));
    row->addWidget(icon, 0, Qt::AlignVCenter);
    row->addWidget(text, 0, Qt::AlignVCenter);
    row->addStretch(1);
    w->setAccessibleName(title);
    return w;
}

QAction* iconAction(const QString& title, const QString& symbol, QObject* parent) {
    return new QAction(symbolIcon(symbol), title, parent);
}

BannerWidget::BannerWidget(Kind kind, const QString& symbol, QWidget* parent)
    : QFrame(parent), kind_(kind), symbol_(symbol) {
    setObjectName(QStringLiteral("banner"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Maximum);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(14, 9, 14, 10); // one extra pixel at the bottom for the divider
    row->setSpacing(8);

    icon_ = new QLabel(this);
    icon_->setObjectName(QStringLiteral("bannerSymbol"));
    icon_->setFixedSize(kSmallSymbol, kSmallSymbol);
    label_ = new QLabel(this);
    label_->setObjectName(QStringLiteral("bannerText"));
    label_->setTextFormat(Qt::PlainText);
    label_->setWordWrap(true);
    label_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    label_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    label_->setFont(textFont(TextStyle::callout));
    dismiss_ = new QToolButton(this);
    dismiss_->setObjectName(QStringLiteral("bannerDismiss"));
    dismiss_->setAutoRaise(true);
    dismiss_->setIconSize(QSize(kSmallSymbol, kSmallSymbol));
    dismiss_->setCursor(Qt::ArrowCursor);
    dismiss_->setFocusPolicy(Qt::TabFocus);
    dismiss_->setStyleSheet(QStringLiteral("QToolButton { border: none; padding: 0px; background: transparent; }"));
    dismiss_->hide();
    connect(dismiss_, &QToolButton::clicked, this, &BannerWidget::dismissRequested);

    // The symbol sits on the first line of text, the button too.
    row->addWidget(icon_, 0, Qt::AlignTop);
    row->addWidget(label_, 1, Qt::AlignTop);
    row->addSpacing(8);
    row->addWidget(dismiss_, 0, Qt::AlignTop);
    applyColors();
}

void BannerWidget::setText(const QString& text) { label_->setText(text); }

QString BannerWidget::text() const { return label_->text(); }

void BannerWidget::setDismissible(bool dismissible, const QString& accessibleName) {
    dismiss_->setVisible(dismissible);
    dismiss_->setAccessibleName(accessibleName);
    dismiss_->setToolTip(accessibleName);
}

void BannerWidget::applyColors() {
    const Tone tone = kind_ == Kind::error ? Tone::orange : Tone::blue;
    icon_->setPixmap(symbolPixmap(symbol_, kSmallSymbol, toneColor(tone)));
    QPalette pal = label_->palette();
    if (kind_ == Kind::informational) pal.setColor(QPalette::WindowText, toneColor(Tone::blue));
    else pal.setColor(QPalette::WindowText, QApplication::palette().color(QPalette::WindowText));
    label_->setPalette(pal);
    dismiss_->setIcon(symbolIcon(QStringLiteral("xmark.circle.fill"), secondaryTextColor()));
}

void BannerWidget::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    const Tone tone = kind_ == Kind::error ? Tone::orange : Tone::blue;
    p.fillRect(rect(), toneBackground(tone, kind_ == Kind::error ? 0.12 : 0.10));
    p.fillRect(QRect(0, height() - 1, width(), 1), separatorColor());
    QFrame::paintEvent(event);
}

void BannerWidget::changeEvent(QEvent* event) {
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange) applyColors();
    QFrame::changeEvent(event);
}

BannerWidget* informationalBanner(const QString& text, QWidget* parent) {
    auto* b = new BannerWidget(BannerWidget::Kind::informational, QStringLiteral("info.circle"), parent);
    b->setText(text);
    return b;
}

ContentUnavailableWidget::ContentUnavailableWidget(const QString& title, const QString& symbol,
                                                   const QString& description, QWidget* parent)
    : QWidget(parent) {
    setObjectName(QStringLiteral("contentUnavailable"));
    auto* outer = new QVBoxLayout(this);
    outer->addStretch(1);
    column_ = new QVBoxLayout;
    column_->setSpacing(8);
    auto* icon = symbolLabel(symbol, 44, secondaryTextColor(), this);
    icon->setObjectName(QStringLiteral("contentUnavailableSymbol"));
    column_->addWidget(icon, 0, Qt::AlignHCenter);
    column_->addSpacing(4);
    title_ = new QLabel(title, this);
    title_->setObjectName(QStringLiteral("contentUnavailableTitle"));
    QFont tf = textFont(TextStyle::title2);
    tf.setWeight(QFont::Bold);
    title_->setFont(tf);
    title_->setAlignment(Qt::AlignHCenter);
    column_->addWidget(title_, 0, Qt::AlignHCenter);
    description_ = new QLabel(description, this);
    description_->setObjectName(QStringLiteral("contentUnavailableDescription"));
    styleLabel(description_, TextStyle::body, secondaryTextColor());
    description_->setAlignment(Qt::AlignHCenter);
    description_->setWordWrap(true);
    description_->setVisible(!description.isEmpty());
    fitDescription(420);
    column_->addWidget(description_, 0, Qt::AlignHCenter);
    outer->addLayout(column_);
    outer->addStretch(1);
    setAccessibleName(title);
}

void ContentUnavailableWidget::fitDescription(int room) {
    // A centred, wrapped label gets neither its text's width nor its wrapped
    // height from the layout: give it both, up to 420 points wide and never
    // wider than the panel, so a narrow pane wraps the text instead of cutting it.
    if (description_->text().isEmpty()) return;
    const int natural = description_->fontMetrics().horizontalAdvance(description_->text()) + 4;
    const int width = std::max(1, std::min({420, natural, room}));
    if (description_->width() == width && description_->minimumWidth() == width) return;
    description_->setFixedWidth(width);
    description_->setMinimumHeight(std::max(0, description_->heightForWidth(width)));
}

void ContentUnavailableWidget::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const QMargins m = layout()->contentsMargins();
    fitDescription(std::max(80, width() - m.left() - m.right()));
}

QPushButton* ContentUnavailableWidget::setAction(const QString& title) {
    if (!action_) {
        action_ = new QPushButton(this);
        action_->setObjectName(QStringLiteral("contentUnavailableAction"));
        makeProminent(action_);
        column_->addSpacing(6);
        column_->addWidget(action_, 0, Qt::AlignHCenter);
    }
    action_->setText(title);
    return action_;
}

QString ContentUnavailableWidget::title() const { return title_->text(); }
QString ContentUnavailableWidget::description() const { return description_->text(); }

void ContentUnavailableWidget::setTexts(const QString& title, const QString& description) {
    if (title == title_->text() && description == description_->text()) return;
    title_->setText(title);
    description_->setText(description);
    description_->setVisible(!description.isEmpty());
    setAccessibleName(title);
    // Before its first layout the panel has no width of its own yet.
    const QMargins m = layout()->contentsMargins();
    fitDescription(testAttribute(Qt::WA_Resized) ? std::max(80, width() - m.left() - m.right()) : 420);
}

QSize roomForWindow(const QWidget* window) {
    const QScreen* screen = window->screen();
    return screen ? screen->availableGeometry().size() - QSize(0, kTitleBar) : QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
}

void centreWindowOver(QWidget* window, const QWidget* anchor) {
    const bool overWindow = anchor && anchor->isVisible();
    const QScreen* screen = overWindow ? anchor->screen() : window->screen();
    const QRect room = screen ? screen->availableGeometry() : QRect();
    const QRect over = overWindow ? anchor->geometry() : room;
    if (!over.isValid()) return;
    // What the window manager adds above and to the left of a window's
    // content, as on the anchor; without one, room for a title bar is kept
    // above the window instead.
    const QPoint frame = overWindow ? anchor->geometry().topLeft() - anchor->frameGeometry().topLeft() : QPoint();
    QRect placed(QPoint(), window->size() + QSize(0, overWindow ? 0 : kTitleBar));
    placed.moveCenter(over.center());
    if (room.isValid()) {
        placed.moveRight(std::min(placed.right(), room.right()));
        placed.moveBottom(std::min(placed.bottom(), room.bottom()));
        placed.moveLeft(std::max(placed.left(), room.left() + frame.x()));
        placed.moveTop(std::max(placed.top(), room.top() + frame.y()));
    }
    window->move(placed.topLeft() - frame);
}

QFrame* makeDivider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setObjectName(QStringLiteral("divider"));
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    QPalette pal = line->palette();
    QColor c = separatorColor();
    const QColor window = QApplication::palette().color(QPalette::Window);
    // Blend over the window colour so the divider is opaque.
    const double a = c.alphaF();
    c = QColor::fromRgbF(static_cast<float>(window.redF() * (1 - a) + c.redF() * a),
                         static_cast<float>(window.greenF() * (1 - a) + c.greenF() * a),
                         static_cast<float>(window.blueF() * (1 - a) + c.blueF() * a));
    pal.setColor(QPalette::Window, c);
    line->setPalette(pal);
    return line;
}

void styleLabel(QLabel* label, TextStyle style, const QColor& color) {
    label->setFont(textFont(style));
    if (color.isValid()) {
        QPalette pal = label->palette();
        pal.setColor(QPalette::WindowText, color);
        label->setPalette(pal);
    }
}

void makeProminent(QPushButton* button) {
    const QColor accent = toneColor(Tone::blue);
    button->setDefault(true);
    button->setStyleSheet(QStringLiteral("QPushButton { background: %1; color: white; border: none; border-radius: 5px;"
                                         " padding: 4px 14px; }"
                                         "QPushButton:pressed { background: %2; }"
                                         "QPushButton:disabled { background: %3; color: rgba(255,255,255,0.7); }")
                              .arg(accent.name(), accent.darker(120).name(), toneColor(Tone::grey).name()));
}

CapsuleLabel::CapsuleLabel(const QString& text, const QColor& fill, const QMargins& padding, QWidget* parent)
    : QLabel(text, parent), fill_(fill) {
    setTextFormat(Qt::PlainText);
    QFont f = textFont(TextStyle::caption);
    f.setPointSizeF(f.pointSizeF() * 0.92);
    setFont(f);
    setContentsMargins(padding);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void CapsuleLabel::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(fill_);
    const qreal r = height() / 2.0;
    p.drawRoundedRect(QRectF(rect()), r, r);
    p.end();
    QLabel::paintEvent(event);
}

SheetButtons sheetButtons(QWidget* parent, const QString& confirmTitle, const QString& confirmName) {
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), parent);
    cancel->setObjectName(QStringLiteral("cancel"));
    cancel->setAutoDefault(false);
    auto* confirm = new QPushButton(confirmTitle, parent);
    confirm->setObjectName(confirmName);
    makeProminent(confirm);
    row->addWidget(cancel);
    row->addWidget(confirm);
    return {row, cancel, confirm};
}
