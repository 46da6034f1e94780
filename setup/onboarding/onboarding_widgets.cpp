#include "setup/onboarding/onboarding_widgets.h"

#include "app/ui/symbols.h"
#include "setup/settings_form.h"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace setup {

SymbolLine::SymbolLine(TextStyle style, const QString& name, int spacing, QWidget* parent, bool selectable)
    : QWidget(parent), style_(style) {
    setObjectName(name);
    auto* line = new QHBoxLayout(this);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(spacing);
    const int size = QFontMetrics(textFont(style)).height();
    icon_ = new QLabel(this);
    icon_->setObjectName(name + QStringLiteral("Symbol"));
    icon_->setFixedSize(size, size);
    text_ = formText(QString(), style, QColor(), this, selectable);
    text_->setObjectName(name + QStringLiteral("Text"));
    line->addWidget(icon_, 0, Qt::AlignTop);
    line->addWidget(text_, 1);
}

void SymbolLine::set(const QString& symbol, const QColor& symbolColor, const QString& text, QFont::Weight weight,
                     const QColor& textColor) {
    symbol_ = symbol;
    icon_->setPixmap(symbolPixmap(symbol, icon_->width(), symbolColor));
    icon_->setProperty("symbol", symbol);
    QFont f = textFont(style_);
    f.setWeight(weight);
    text_->setFont(f);
    QPalette p = text_->palette();
    p.setColor(QPalette::WindowText, textColor.isValid() ? textColor : palette().color(QPalette::WindowText));
    text_->setPalette(p);
    text_->setText(text);
    setAccessibleName(text);
}

QString SymbolLine::text() const { return text_->text(); }

void makeStepButton(QAbstractButton* button) {
    if (auto* push = qobject_cast<QPushButton*>(button)) {
        push->setAutoDefault(false);
        push->setDefault(false);
    }
}

} // namespace setup
