#pragma once
// Symbol names -> icons.
//
// Screens name their icons with the symbol names people know from the Mac
// ("externaldrive", "exclamationmark.triangle.fill", ...). This table maps each
// name to one SVG of the Tabler Icons set (MIT licence), taken from the npm
// package @tabler/icons 3.51.0 and shipped in app/ui/icons/ as Qt resources.
// Outline icons are drawn with the current text colour; the ".fill" names map
// to Tabler's filled variants where one exists.
#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <string_view>
#include <vector>

struct SymbolEntry {
    std::string_view symbol; // "externaldrive"
    std::string_view file;   // "database" -> ":/kelvara/icons/database.svg"
};

// Every symbol the application uses, sorted by symbol name.
const std::vector<SymbolEntry>& symbolTable();

// The resource path of a symbol's SVG, or empty text for an unknown symbol.
QString symbolResourcePath(const QString& symbol);

// An icon for a symbol, drawn at any size. With no colour given the icon takes
// the palette's text colour (and its disabled and selected variants); with a
// colour it is always drawn in that colour, except when disabled. An unknown
// symbol gives a "questionmark.circle" icon, so a typo shows rather than hides.
QIcon symbolIcon(const QString& symbol, const QColor& color = QColor());

// A pixmap of a symbol at a logical size (device pixel ratio of the primary
// screen), in the given colour or the palette's text colour.
QPixmap symbolPixmap(const QString& symbol, int logicalSize, const QColor& color = QColor());
