#pragma once
#include <QString>

// Replaces the clipboard's contents with one plain text (no rich text, no other
// formats). Used for recovery phrases, link codes, paths and hash values.
void copyToPasteboard(const QString& text);
