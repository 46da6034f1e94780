#include "app/ui/app_style.h"

#include "app/ui/style.h"

#include <QApplication>
#include <QFontDatabase>
#include <QPalette>
#include <QProxyStyle>
#include <QStyleFactory>

namespace {

// Fusion, without the stock icons some desktops put on dialog buttons.
class KelvaraStyle final : public QProxyStyle {
public:
    using QProxyStyle::QProxyStyle;
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_DialogButtonBox_ButtonsHaveIcons) return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

} // namespace

void applyApplicationStyle(QApplication& app) {
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) app.setStyle(new KelvaraStyle(fusion));

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
