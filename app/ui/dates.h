#pragma once
// Dates and times in user-visible text, in the current locale.
#include "core/platform/time.h"

#include <QDate>
#include <QString>

// The running "last scanned" text ("5 min ago", "3 hr, 12 min ago", "4 days ago").
QString relativeShort(kx::Date when, kx::Date now);
// Spelled out for assistive technologies ("5 minutes ago", "yesterday").
QString relativeNamed(kx::Date when, kx::Date now);
// How long until the short text can change (for the refresh timer), in ms.
int relativeRefreshMs(kx::Date when, kx::Date now);

// The local calendar day of a date.
QDate localDate(kx::Date date);
// Day, abbreviated month and year in the current locale ("Dec 9, 2026" / "9 Dec 2026").
QString mediumDate(kx::Date date);
