#pragma once
// The application's version text, "0.1.0 (1)": the project's version, then its
// build number in brackets, both fixed by CMake at build time. Shown in the
// settings window and the About box, and written into export seals.
//
// Header-only (Qt Core and the generated version header), so the models can
// use it as well as the screens.
#include <kelvara/version.h>

#include <QString>
#include <optional>

// The same text from given parts; a missing or empty part reads "?".
inline QString composeVersionString(const std::optional<QString>& version, const std::optional<QString>& build) {
    auto part = [](const std::optional<QString>& v) { return v && !v->isEmpty() ? *v : QStringLiteral("?"); };
    return part(version) + QStringLiteral(" (") + part(build) + QStringLiteral(")");
}

inline QString appVersionString() {
    return composeVersionString(QStringLiteral(KELVARA_VERSION_STRING), QStringLiteral(KELVARA_BUILD_STRING));
}
