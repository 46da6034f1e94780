#include "app/ui/text_widgets.h"

#include "app/ui/symbols.h"
#include "app/ui/widgets.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QHBoxLayout>
#include <QTextBlock>
#include <QTextLayout>
#include <QToolButton>

// ---- ClampedTextLabel ----

ClampedTextLabel::ClampedTextLabel(int maxLines, QWidget* parent) : QLabel(parent), maxLines_(maxLines) {
    setTextFormat(Qt::PlainText);
    setWordWrap(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse);
    setAlignment(Qt::AlignLeading | Qt::AlignTop);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
}

void ClampedTextLabel::setFullText(const QString& text) {
    full_ = text;
    shownWidth_ = -1;
    int lines = 0;
    setText(clamped(std::max(width(), 100), &lines));
    updateGeometry();
}

QString ClampedTextLabel::clamped(int width, int* lines) const {
    QString text = full_;
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(text, font());
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.beginLayout();
    int n = 0, lastStart = 0;
    bool more = false;
    while (true) {
        QTextLine line = layout.createLine();
        if (!line.isValid()) break;
        line.setLineWidth(width);
        if (n == maxLines_) {
            more = true;
            break;
        }
        lastStart = line.textStart();
        ++n;
    }
    layout.endLayout();
    *lines = std::max(n, 1);
    if (!more) return full_;
    // The last line shown takes the rest of the text, elided.
    QString rest = text.mid(lastStart);
    rest.replace(QChar::LineSeparator, QLatin1Char(' '));
    QString shown = text.left(lastStart) + fontMetrics().elidedText(rest, Qt::ElideRight, width);
    shown.replace(QChar::LineSeparator, QLatin1Char('\n'));
    return shown;
}

int ClampedTextLabel::heightForWidth(int width) const {
    int lines = 0;
    clamped(width, &lines);
    return lines * fontMetrics().lineSpacing() + 2;
}

QSize ClampedTextLabel::minimumSizeHint() const { return {40, fontMetrics().lineSpacing()}; }

void ClampedTextLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    if (width() == shownWidth_) return;
    shownWidth_ = width();
    int lines = 0;
    setText(clamped(width(), &lines));
    setMaximumHeight(maxLines_ * fontMetrics().lineSpacing() + 2);
}

// ---- SymbolTextLabel ----

SymbolTextLabel::SymbolTextLabel(const QString& text, const QString& symbol, TextStyle style, const QColor& color,
                                 QWidget* parent)
    : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(5);
    text_ = new QLabel(text, this);
    text_->setObjectName(QStringLiteral("symbolTextLabelText"));
    text_->setTextFormat(Qt::PlainText);
    text_->setWordWrap(true);
    text_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    styleLabel(text_, style, color);
    const int size = std::max(12, QFontMetrics(text_->font()).height() - 2);
    symbol_ = new QLabel(this);
    symbol_->setObjectName(QStringLiteral("symbolTextLabelSymbol"));
    symbol_->setPixmap(symbolPixmap(symbol, size, color));
    symbol_->setFixedSize(size, size);
    row->addWidget(symbol_, 0, Qt::AlignTop);
    row->addWidget(text_, 1);
    setAccessibleName(text);
}

void SymbolTextLabel::setText(const QString& text) {
    text_->setText(text);
    setAccessibleName(text);
}

QString SymbolTextLabel::text() const { return text_->text(); }

// ---- SegmentedPicker ----

SegmentedPicker::SegmentedPicker(QWidget* parent) : QWidget(parent) {
    row_ = new QHBoxLayout(this);
    row_->setContentsMargins(0, 0, 0, 0);
    row_->setSpacing(0);
    const QColor accent = palette().color(QPalette::Highlight);
    setStyleSheet(
        QStringLiteral("QToolButton { border: 1px solid %1; background: palette(base); padding: 3px 12px; margin: 0; }"
                       "QToolButton:checked { background: %2; color: white; border-color: %2; }")
            .arg(separatorColor().name(QColor::HexArgb), accent.name()));
    group_ = new QButtonGroup(this);
    group_->setExclusive(true);
}

void SegmentedPicker::setItems(const QStringList& labels, const QStringList& values) {
    const QString current = currentValue();
    for (auto* b : group_->buttons()) {
        group_->removeButton(b);
        delete b;
    }
    values_ = values.isEmpty() ? labels : values;
    for (qsizetype i = 0; i < labels.size(); ++i) {
        auto* b = new QToolButton(this);
        b->setText(labels[i]);
        b->setCheckable(true);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        b->setObjectName(QStringLiteral("segment:") + values_.value(i));
        group_->addButton(b, static_cast<int>(i));
        row_->addWidget(b);
        const QString value = values_.value(i);
        connect(b, &QToolButton::clicked, this, [this, value] { emit chosen(value); });
    }
    setCurrentValue(current);
}

QString SegmentedPicker::currentValue() const {
    const int id = group_->checkedId();
    return id < 0 ? QString() : values_.value(id);
}

void SegmentedPicker::setCurrentValue(const QString& value) {
    const auto i = values_.indexOf(value);
    if (i < 0) {
        group_->setExclusive(false);
        for (auto* b : group_->buttons()) b->setChecked(false);
        group_->setExclusive(true);
        return;
    }
    group_->button(static_cast<int>(i))->setChecked(true);
}

QAbstractButton* SegmentedPicker::segment(const QString& value) const {
    const auto i = values_.indexOf(value);
    return i < 0 ? nullptr : group_->button(static_cast<int>(i));
}

// ---- Labels ----

QFont monospacedFont(TextStyle style) {
    QFont mono = textFont(style);
    mono.setFamily(QStringLiteral("monospace"));
    mono.setStyleHint(QFont::Monospace);
    return mono;
}

QLabel* styledLabel(const QString& text, TextStyle style, const QColor& color, QWidget* parent, bool wrap) {
    auto* l = new QLabel(text, parent);
    l->setTextFormat(Qt::PlainText);
    l->setWordWrap(wrap);
    styleLabel(l, style, color);
    return l;
}

MonospacedText::MonospacedText(const QString& text, TextStyle style, QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWordWrapMode(QTextOption::WrapAnywhere);
    setCursorWidth(0);
    setFocusPolicy(Qt::ClickFocus);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setFont(monospacedFont(style));
    document()->setDocumentMargin(0);
    viewport()->setAutoFillBackground(false);
    setStyleSheet(QStringLiteral("QPlainTextEdit { background: transparent; }"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setPlainText(text);
    setAccessibleName(text);
}

int MonospacedText::heightForWidth(int width) const {
    // Characters are of one width, so the lines are the text's length over the
    // characters that fit on one (less a little for the cursor's room).
    const QFontMetrics fm(font());
    const int perLine = std::max(1, (width - 4) / std::max(1, fm.horizontalAdvance(QLatin1Char('0'))));
    int lines = 0;
    for (const QString& paragraph : toPlainText().split(QLatin1Char('\n')))
        lines += std::max<int>(1, static_cast<int>((paragraph.size() + perLine - 1) / perLine));
    return lines * fm.lineSpacing() + 4;
}

QSize MonospacedText::sizeHint() const {
    const int w = std::max(width(), 200);
    return {w, heightForWidth(w)};
}

void MonospacedText::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    // The lines as laid out at this width.
    int lines = 0;
    for (QTextBlock b = document()->begin(); b.isValid(); b = b.next())
        lines += b.layout() && b.layout()->lineCount() > 0 ? b.layout()->lineCount() : 1;
    const int h = std::max(lines * fontMetrics().lineSpacing() + 4, heightForWidth(width()));
    if (h != height()) setFixedHeight(h);
}
