#pragma once
// The application's colour language and type scale.
//
// Colours carry meaning everywhere in the application:
//   green  - verified, healthy, archived, ready
//   orange - needs attention, stale, not scanned, not yet anchored
//   red    - loss, a broken seal, errors, unreachable
//   yellow - a quiet period (on the coverage screen)
//   grey   - neutral detail, no messages
//   blue   - information (informational banners)
// The values are the Mac's system colours, in their light and dark variants;
// the dark ones are used when the palette's window colour is dark.
#include <QColor>
#include <QFont>
#include <QPalette>

enum class Tone { green, orange, red, yellow, grey, blue };

// The colour of a tone for the current application palette.
QColor toneColor(Tone tone);
// The same for an explicit palette (dark when its window colour is dark).
QColor toneColor(Tone tone, const QPalette& palette);
// A tone's colour at a given opacity (0..1), for tinted backgrounds.
QColor toneBackground(Tone tone, double opacity);

// True when the palette's window colour is dark.
bool isDarkPalette(const QPalette& palette);

// Secondary text (captions, details) and tertiary (dividers, placeholders).
QColor secondaryTextColor();
QColor tertiaryTextColor();
QColor separatorColor();

// Text styles, scaled from the application font the way the Mac's styles are
// scaled from its 13-point body text.
enum class TextStyle { largeTitle, title, title2, title3, headline, body, callout, subheadline, footnote, caption };
QFont textFont(TextStyle style);
