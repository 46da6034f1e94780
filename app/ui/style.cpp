#include "app/ui/style.h"

#include <QApplication>

namespace {

struct Pair {
    QRgb light;
    QRgb dark;
};

Pair pairFor(Tone tone) {
    switch (tone) {
    case Tone::green: return {qRgb(0x34, 0xC7, 0x59), qRgb(0x30, 0xD1, 0x58)};
    case Tone::orange: return {qRgb(0xFF, 0x95, 0x00), qRgb(0xFF, 0x9F, 0x0A)};
    case Tone::red: return {qRgb(0xFF, 0x3B, 0x30), qRgb(0xFF, 0x45, 0x3A)};
    case Tone::yellow: return {qRgb(0xFF, 0xCC, 0x00), qRgb(0xFF, 0xD6, 0x0A)};
    case Tone::grey: return {qRgb(0x8E, 0x8E, 0x93), qRgb(0x98, 0x98, 0x9D)};
    case Tone::blue: return {qRgb(0x00, 0x7A, 0xFF), qRgb(0x0A, 0x84, 0xFF)};
    }
    return {qRgb(0x8E, 0x8E, 0x93), qRgb(0x98, 0x98, 0x9D)};
}

} // namespace

bool isDarkPalette(const QPalette& palette) { return palette.color(QPalette::Window).lightnessF() < 0.5; }

QColor toneColor(Tone tone, const QPalette& palette) {
    const Pair p = pairFor(tone);
    return QColor(isDarkPalette(palette) ? p.dark : p.light);
}

QColor toneColor(Tone tone) { return toneColor(tone, QApplication::palette()); }

QColor toneBackground(Tone tone, double opacity) {
    QColor c = toneColor(tone);
    c.setAlphaF(static_cast<float>(opacity));
    return c;
}

QColor secondaryTextColor() {
    QColor c = QApplication::palette().color(QPalette::WindowText);
    c.setAlphaF(isDarkPalette(QApplication::palette()) ? 0.55f : 0.5f);
    return c;
}

QColor tertiaryTextColor() {
    QColor c = QApplication::palette().color(QPalette::WindowText);
    c.setAlphaF(0.26f);
    return c;
}

QColor separatorColor() {
    QColor c = QApplication::palette().color(QPalette::WindowText);
    c.setAlphaF(0.12f);
    return c;
}

QFont textFont(TextStyle style) {
    QFont f = QApplication::font();
    const double body = f.pointSizeF() > 0 ? f.pointSizeF() : 10.0;
    auto scaled = [&](double macPoints) { f.setPointSizeF(body * macPoints / 13.0); };
    switch (style) {
    case TextStyle::largeTitle: scaled(26); break;
    case TextStyle::title: scaled(22); break;
    case TextStyle::title2: scaled(17); break;
    case TextStyle::title3: scaled(15); break;
    case TextStyle::headline:
        scaled(13);
        f.setWeight(QFont::DemiBold);
        break;
    case TextStyle::body: scaled(13); break;
    case TextStyle::callout: scaled(12); break;
    case TextStyle::subheadline: scaled(11); break;
    case TextStyle::footnote: scaled(10); break;
    case TextStyle::caption: scaled(10); break;
    }
    return f;
}
