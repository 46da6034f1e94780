#include "app/shell/app_version.h"

#include <kelvara/version.h>

QString composeVersionString(const std::optional<QString>& version, const std::optional<QString>& build) {
    auto part = [](const std::optional<QString>& v) {
        return v && !v->isEmpty() ? *v : QStringLiteral("?");
    };
    return part(version) + QStringLiteral(" (") + part(build) + QStringLiteral(")");
}

QString appVersionString() {
    return composeVersionString(QStringLiteral(KELVARA_VERSION_STRING), QStringLiteral(KELVARA_BUILD_STRING));
}
