#pragma once
// Counts in user-visible text, with the noun agreeing with the number.
//
// Texts are written with the count and its noun phrase between "^[" and
// "](inflect: true)", e.g.
//     inflected("^[%lld message](inflect: true) archived", 1)   -> "1 message archived"
//     inflected("^[%lld message](inflect: true) archived", 12)  -> "12 messages archived"
//     inflected("^[%lld coverage gap](inflect: true)", 2)       -> "2 coverage gaps"
// "%lld" is replaced by the count (plain digits, as the format has no grouping).
// Inside the brackets the last word of the phrase is put in the plural unless
// the count is exactly 1 (0 and negative counts take the plural, as in English).
// Adjectives such as "new" have no plural and stay as they are. Text outside
// the brackets is left alone, and text without brackets only gets its "%lld"
// replaced.
#include <QString>

QString inflected(const QString& text, qint64 count);

// The English plural of one noun: "message" -> "messages", "match" -> "matches",
// "entry" -> "entries", "Mac" -> "Macs", "new" -> "new".
QString pluralNoun(const QString& noun);
