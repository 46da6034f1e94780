#pragma once
#include <QString>

// Replaces the clipboard's contents with one plain text (no rich text, no other
// formats). Used for link codes, paths and hash values.
void copyToPasteboard(const QString& text);

// The same for a secret (a recovery phrase): the text goes with the
// password-manager hint ("x-kde-passwordManagerHint" = "secret") that
// clipboard histories (Klipper, GPaste and others) read to leave it out.
void copySecretToPasteboard(const QString& text);
