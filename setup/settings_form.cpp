#include "setup/settings_form.h"

#include "app/ui/screen_widgets.h"
#include "app/ui/symbols.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QPainter>
#include <QProgressBar>
#include <QVBoxLayout>

namespace setup {

void GroupBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor window = palette().color(QPalette::Window);
    const QColor fill = isDarkPalette(palette()) ? window.lighter(125) : window.lighter(104);
    p.setPen(separatorColor());
    p.setBrush(fill);
    p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 7, 7);
}

FormSection::FormSection(const QString& title, QWidget* parent) : QWidget(parent) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(6);
    if (!title.isEmpty()) {
        auto* heading = formText(title, TextStyle::headline, QColor(), this);
        heading->setObjectName(QStringLiteral("sectionTitle"));
        heading->setContentsMargins(8, 0, 0, 0);
        column->addWidget(heading);
    }
    auto* box = new GroupBox(this);
    rows_ = new QVBoxLayout(box);
    rows_->setContentsMargins(12, 10, 12, 10);
    rows_->setSpacing(9);
    column->addWidget(box);
    setAccessibleName(title);
}

QWidget* FormSection::addRow(QWidget* row) {
    row->setParent(rows_->parentWidget());
    rows_->addWidget(row);
    return row;
}

QWidget* FormSection::addLabeledRow(const QString& label, QWidget* value) {
    auto* row = new QWidget(rows_->parentWidget());
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(12);
    auto* name = formText(label, TextStyle::body, QColor(), row);
    name->setWordWrap(false);
    line->addWidget(name, 0, Qt::AlignVCenter);
    line->addStretch(1);
    value->setParent(row);
    line->addWidget(value, 0, Qt::AlignVCenter | Qt::AlignRight);
    row->setAccessibleName(label);
    return addRow(row);
}

QLabel* FormSection::addLabeledValue(const QString& label, const QString& value) {
    auto* text = formText(value, TextStyle::body, secondaryTextColor(), nullptr, true);
    text->setWordWrap(false);
    text->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    addLabeledRow(label, text);
    return text;
}

QHBoxLayout* FormSection::addButtonRow(bool centred) {
    auto* row = new QWidget(rows_->parentWidget());
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(8);
    if (centred) line->addStretch(1);
    addRow(row);
    return line;
}

SettingsForm::SettingsForm(QWidget* parent) : QScrollArea(parent) {
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* content = new QWidget(this);
    column_ = new QVBoxLayout(content);
    column_->setContentsMargins(20, 16, 20, 16);
    column_->setSpacing(18);
    setWidget(content);
    useWheelStepOfText(this);
}

FormSection* SettingsForm::addSection(const QString& title) {
    auto* section = new FormSection(title, widget());
    column_->addWidget(section);
    return section;
}

void SettingsForm::finish() { column_->addStretch(1); }

QLabel* formText(const QString& text, TextStyle style, const QColor& color, QWidget* parent, bool selectable) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setFont(textFont(style));
    if (color.isValid()) {
        QPalette p = label->palette();
        p.setColor(QPalette::WindowText, color);
        label->setPalette(p);
    }
    if (selectable) label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

QLabel* captionText(const QString& text, QWidget* parent) {
    return formText(text, TextStyle::caption, secondaryTextColor(), parent);
}

QWidget* symbolText(const QString& symbol, const QString& text, const QColor& color, TextStyle style,
                    const QString& name, QWidget* parent) {
    auto* row = new QWidget(parent);
    row->setObjectName(name);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(6);
    const int size = QFontMetrics(textFont(style)).height();
    auto* icon = new QLabel(row);
    icon->setObjectName(name + QStringLiteral("Symbol"));
    icon->setPixmap(symbolPixmap(symbol, size, color));
    icon->setFixedSize(size, size);
    icon->setProperty("symbol", symbol);
    auto* label = formText(text, style, color, row);
    label->setObjectName(name + QStringLiteral("Text"));
    line->addWidget(icon, 0, Qt::AlignTop);
    line->addWidget(label, 1);
    row->setAccessibleName(text);
    return row;
}

void makeSmall(QAbstractButton* button) {
    button->setFont(textFont(TextStyle::subheadline));
    button->setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
}

QWidget* progressRow(const QString& text, QWidget* parent, TextStyle style) {
    auto* row = new QWidget(parent);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(6);
    auto* bar = new QProgressBar(row);
    bar->setRange(0, 0); // indeterminate
    bar->setTextVisible(false);
    bar->setFixedSize(48, 8);
    line->addWidget(bar, 0, Qt::AlignVCenter);
    line->addWidget(formText(text, style, secondaryTextColor(), row), 0, Qt::AlignVCenter);
    line->addStretch(1);
    return row;
}

} // namespace setup
