#include "app/ui/app_style.h"

#include "app/ui/style.h"

#include <QApplication>
#include <QFontDatabase>
#include <QMenu>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <algorithm>

namespace {

constexpr int kButtonTitleInset = 14;

// Fusion, without the stock icons some desktops put on dialog buttons, with
// roomier buttons and destructive menu items in red.
class KelvaraStyle final : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_DialogButtonBox_ButtonsHaveIcons) return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
    // Room around a button's title the way Mac buttons have it, not Fusion's
    // few pixels at either end of a long title.
    QSize sizeFromContents(ContentsType type, const QStyleOption* option, const QSize& contents,
                           const QWidget* widget) const override {
        QSize size = QProxyStyle::sizeFromContents(type, option, contents, widget);
        const auto* button = qstyleoption_cast<const QStyleOptionButton*>(option);
        if (type == CT_PushButton && button && !button->text.isEmpty())
            size.setWidth(std::max(size.width(), contents.width() + 2 * kButtonTitleInset));
        return size;
    }
    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget) const override {
        const auto* item = qstyleoption_cast<const QStyleOptionMenuItem*>(option);
        const auto* menu = qobject_cast<const QMenu*>(widget);
        if (element == CE_MenuItem && item && menu && !(option->state & State_Selected)) {
            const QAction* action = menu->actionAt(option->rect.center());
            if (action && action->isEnabled() && action->property(kDestructiveAction).toBool()) {
                QStyleOptionMenuItem red(*item);
                for (QPalette::ColorRole role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
                    red.palette.setColor(role, toneColor(Tone::red));
                QProxyStyle::drawControl(element, &red, painter, widget);
                return;
            }
        }
        QProxyStyle::drawControl(element, option, painter, widget);
    }
};

} // namespace

QStyle* makeApplicationStyle() {
    QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"));
    return fusion ? new KelvaraStyle(fusion) : nullptr;
}

void applyApplicationStyle(QApplication& app) {
    if (QStyle* style = makeApplicationStyle()) app.setStyle(style);

    QPalette pal;
    const QColor text(0x1D, 0x1D, 0x1F);
    pal.setColor(QPalette::Window, QColor(0xEC, 0xEC, 0xEC));
    pal.setColor(QPalette::WindowText, text);
    pal.setColor(QPalette::Base, Qt::white);
    pal.setColor(QPalette::AlternateBase, QColor(0xF4, 0xF5, 0xF5));
    pal.setColor(QPalette::Text, text);
    pal.setColor(QPalette::Button, QColor(0xFB, 0xFB, 0xFB));
    pal.setColor(QPalette::ButtonText, text);
    pal.setColor(QPalette::Highlight, QColor(0x00, 0x64, 0xE1));
    pal.setColor(QPalette::HighlightedText, Qt::white);
    pal.setColor(QPalette::Link, QColor(0x00, 0x68, 0xDA));
    pal.setColor(QPalette::ToolTipBase, QColor(0xFF, 0xFF, 0xF0));
    pal.setColor(QPalette::ToolTipText, text);
    pal.setColor(QPalette::PlaceholderText, QColor(0x1D, 0x1D, 0x1F, 0x60));
    pal.setColor(QPalette::Mid, QColor(0xD5, 0xD5, 0xD5));
    pal.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x1D, 0x1D, 0x1F, 0x60));
    pal.setColor(QPalette::Disabled, QPalette::Text, QColor(0x1D, 0x1D, 0x1F, 0x60));
    pal.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x1D, 0x1D, 0x1F, 0x60));
    app.setPalette(pal);

    // Prefer a humanist sans-serif when one is installed.
    const QStringList families = QFontDatabase::families();
    for (const char* name : {"Inter", "Noto Sans", "Cantarell", "DejaVu Sans"}) {
        if (families.contains(QString::fromLatin1(name))) {
            QFont f(QString::fromLatin1(name));
            f.setPointSizeF(10);
            app.setFont(f);
            break;
        }
    }
}
