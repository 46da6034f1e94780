#pragma once
#include <QString>
#include <optional>

// "0.1.0 (1)": the project's version, then its build number in brackets. Shown
// in the settings window and written into export seals.
QString appVersionString();

// The same text from given parts; a missing or empty part reads "?".
QString composeVersionString(const std::optional<QString>& version, const std::optional<QString>& build);
