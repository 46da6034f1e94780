#include "app/ui/screen_widgets.h"

#include "app/ui/clipboard.h"
#include "app/ui/style.h"
#include "app/ui/symbols.h"

#include <QApplication>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QListView>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

constexpr char16_t kReplacement = u'\uFFFD';
constexpr char16_t kNewlineMark = u'\u2424'; // SYMBOL FOR NEWLINE

bool reordersText(char32_t c) {
    return c == 0x200E || c == 0x200F || c == 0x061C || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

bool isControl(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029; }

} // namespace

QString singleLine(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        if (c == U'\n' || c == U'\r') out += QChar(kNewlineMark);
        else if (isControl(c) || reordersText(c)) out += QChar(kReplacement);
        else out += QString::fromUcs4(&c, 1);
    }
    return out;
}

QString singleLine(const std::string& text) { return singleLine(QString::fromStdString(text)); }

BusySpinner::BusySpinner(QWidget* parent) : QWidget(parent), timer_(new QTimer(this)) {
    setObjectName(QStringLiteral("busySpinner"));
    setFixedSize(16, 16);
    setAccessibleName(QStringLiteral("Working"));
    timer_->setInterval(80);
    connect(timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
}

void BusySpinner::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPen pen(secondaryTextColor(), 2.0, Qt::SolidLine, Qt::RoundCap);
    p.setPen(pen);
    const QRectF r = QRectF(rect()).adjusted(2, 2, -2, -2);
    p.drawArc(r, -angle_ * 16, 270 * 16);
}

void BusySpinner::showEvent(QShowEvent* event) {
    timer_->start();
    QWidget::showEvent(event);
}

void BusySpinner::hideEvent(QHideEvent* event) {
    timer_->stop();
    QWidget::hideEvent(event);
}

QToolButton* addCopyablePath(QHBoxLayout* line, const QString& path, QWidget* parent, double scale) {
    auto* text = new ElidedLabel(path, Qt::ElideMiddle, parent);
    text->setObjectName(QStringLiteral("grantPathText"));
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(textFont(TextStyle::caption).pointSizeF() * scale);
    text->setFont(mono);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* copy = new QToolButton(parent);
    copy->setObjectName(QStringLiteral("copyGrantPath"));
    copy->setAutoRaise(true);
    copy->setIcon(symbolIcon(QStringLiteral("doc.on.doc")));
    QObject::connect(copy, &QToolButton::clicked, parent, [path] { copyToPasteboard(path); });
    line->addWidget(text, 1, Qt::AlignVCenter);
    line->addWidget(copy, 0, Qt::AlignVCenter);
    return copy;
}

ElidedLabel::ElidedLabel(const QString& text, Qt::TextElideMode mode, QWidget* parent) : QLabel(parent), mode_(mode) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setFullText(text);
}

void ElidedLabel::setFullText(const QString& text) {
    full_ = singleLine(text);
    setToolTip(full_);
    updateShown();
    updateGeometry();
}

QSize ElidedLabel::minimumSizeHint() const { return {10, fontMetrics().height()}; }

QSize ElidedLabel::sizeHint() const {
    return {std::min(fontMetrics().horizontalAdvance(full_) + 2, 600), fontMetrics().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    updateShown();
}

void ElidedLabel::updateShown() {
    const int w = width() > 0 ? width() : sizeHint().width();
    QLabel::setText(fontMetrics().elidedText(full_, mode_, w));
}

TintedBox::TintedBox(const QColor& fill, int radius, QWidget* parent) : QFrame(parent), fill_(fill), radius_(radius) {}

void TintedBox::setFill(const QColor& fill) {
    fill_ = fill;
    update();
}

void TintedBox::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(fill_);
    if (radius_ > 0) p.drawRoundedRect(QRectF(rect()), radius_, radius_);
    else p.drawRect(rect());
    QFrame::paintEvent(event);
}

QLabel* textLabel(const QString& text, TextStyle style, const QColor& color, QWidget* parent, bool wrap) {
    auto* l = new QLabel(text, parent);
    l->setTextFormat(Qt::PlainText);
    l->setFont(textFont(style));
    if (color.isValid()) {
        QPalette pal = l->palette();
        pal.setColor(QPalette::WindowText, color);
        l->setPalette(pal);
    }
    l->setWordWrap(wrap);
    return l;
}

QLabel* boldLabel(const QString& text, TextStyle style, const QColor& color, QWidget* parent) {
    QLabel* l = textLabel(text, style, color, parent);
    QFont f = l->font();
    f.setWeight(QFont::Bold);
    l->setFont(f);
    return l;
}

QLabel* symbolView(const QString& symbol, int size, const QColor& color, QWidget* parent) {
    auto* l = new QLabel(parent);
    l->setPixmap(symbolPixmap(symbol, size, color));
    l->setFixedSize(size, size);
    l->setAccessibleName(QString());
    return l;
}

QVBoxLayout* scrollingColumn(QWidget* screen, const QString& objectName, int padding, int spacing) {
    auto* outer = new QVBoxLayout(screen);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(screen);
    scroll->setObjectName(objectName);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    useWheelStepOfText(scroll);
    scroll->viewport()->setAutoFillBackground(false);
    outer->addWidget(scroll);
    auto* page = new QWidget(scroll);
    scroll->setWidget(page);
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(padding, padding, padding, padding);
    column->setSpacing(spacing);
    return column;
}

void useWheelStepOfText(QAbstractScrollArea* area) {
    area->verticalScrollBar()->setSingleStep(QFontMetrics(textFont(TextStyle::body)).lineSpacing());
}

QWidget* columnWidget(QWidget* parent, const QString& objectName, int spacing, QVBoxLayout** column) {
    auto* w = new QWidget(parent);
    w->setObjectName(objectName);
    *column = new QVBoxLayout(w);
    (*column)->setContentsMargins(0, 0, 0, 0);
    (*column)->setSpacing(spacing);
    return w;
}

QVBoxLayout* nestedColumn(QVBoxLayout* into, int spacing) {
    auto* column = new QVBoxLayout;
    column->setSpacing(spacing);
    into->addLayout(column);
    return column;
}

void setUpPaintedList(QListView* list, bool displayOnly) {
    list->setFrameShape(QFrame::NoFrame);
    list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list->setAutoFillBackground(false);
    list->viewport()->setAutoFillBackground(false);
    if (displayOnly) {
        list->setSelectionMode(QAbstractItemView::NoSelection);
        list->setFocusPolicy(Qt::NoFocus);
    }
}

QHBoxLayout* flushRow(QWidget* owner, int spacing) {
    auto* row = new QHBoxLayout(owner);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(spacing);
    return row;
}

void clearLayout(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        if (QWidget* w = item->widget()) {
            w->hide();
            w->deleteLater();
        }
        delete item;
    }
}

QColor quaternaryFill(double opacity) {
    QColor c = QApplication::palette().color(QPalette::WindowText);
    // The Mac's quaternary fill is the text colour at about a quarter of full
    // strength on this palette; cards then lighten it further.
    c.setAlphaF(static_cast<float>(0.25 * opacity));
    return c;
}
