#include "app/platform/user_defaults.h"

QString defaultsKeyName(DefaultsKey key) {
    switch (key) {
    case DefaultsKey::destinationRoot: return QStringLiteral("destinationRoot");
    case DefaultsKey::archiveOwner: return QStringLiteral("archiveOwner");
    case DefaultsKey::onboardingCompleted: return QStringLiteral("onboardingCompleted");
    case DefaultsKey::onboardingSkipped: return QStringLiteral("onboardingSkipped");
    }
    return {};
}

SettingsUserDefaults::SettingsUserDefaults()
    : settings_(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("com.dunholt.kelvara")) {}

std::optional<QString> SettingsUserDefaults::string(DefaultsKey key) const {
    const QVariant v = settings_.value(defaultsKeyName(key));
    if (!v.isValid() || v.typeId() != QMetaType::QString) return std::nullopt;
    return v.toString();
}

void SettingsUserDefaults::setString(DefaultsKey key, const QString& value) {
    settings_.setValue(defaultsKeyName(key), value);
    settings_.sync();
}

bool SettingsUserDefaults::flag(DefaultsKey key) const {
    const QVariant v = settings_.value(defaultsKeyName(key));
    if (!v.isValid()) return false;
    // INI files keep booleans as "true"/"false" texts.
    return v.toString() == QLatin1String("true") || v.toBool();
}

void SettingsUserDefaults::setFlag(DefaultsKey key, bool value) {
    settings_.setValue(defaultsKeyName(key), value);
    settings_.sync();
}

void SettingsUserDefaults::remove(DefaultsKey key) {
    settings_.remove(defaultsKeyName(key));
    settings_.sync();
}

namespace {
std::shared_ptr<UserDefaults>& instance() {
    static std::shared_ptr<UserDefaults> d;
    return d;
}
} // namespace

UserDefaults& userDefaults() {
    auto& d = instance();
    if (!d) d = std::make_shared<SettingsUserDefaults>();
    return *d;
}

void setUserDefaultsForTesting(std::shared_ptr<UserDefaults> defaults) { instance() = std::move(defaults); }
