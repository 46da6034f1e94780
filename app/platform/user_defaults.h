#pragma once
// The application's user defaults: a handful of named settings kept by QSettings
// under the identifier "com.dunholt.kelvara" (on Linux the INI file
// $XDG_CONFIG_HOME/com.dunholt.kelvara.ini, else ~/.config/com.dunholt.kelvara.ini).
// Only the keys below exist; nothing else is stored there.
#include <QSettings>
#include <QString>

#include <memory>
#include <optional>

enum class DefaultsKey { destinationRoot, archiveOwner, onboardingCompleted, onboardingSkipped };

QString defaultsKeyName(DefaultsKey key);

class UserDefaults {
public:
    virtual ~UserDefaults() = default;
    // Nothing when the key holds no text.
    virtual std::optional<QString> string(DefaultsKey key) const = 0;
    virtual void setString(DefaultsKey key, const QString& value) = 0;
    virtual bool flag(DefaultsKey key) const = 0; // false when unset
    virtual void setFlag(DefaultsKey key, bool value) = 0;
    virtual void remove(DefaultsKey key) = 0;
};

// The real store.
class SettingsUserDefaults final : public UserDefaults {
public:
    SettingsUserDefaults();
    std::optional<QString> string(DefaultsKey key) const override;
    void setString(DefaultsKey key, const QString& value) override;
    bool flag(DefaultsKey key) const override;
    void setFlag(DefaultsKey key, bool value) override;
    void remove(DefaultsKey key) override;

private:
    mutable QSettings settings_;
};

// The process-wide defaults (the real store unless a test installed another).
UserDefaults& userDefaults();
void setUserDefaultsForTesting(std::shared_ptr<UserDefaults> defaults);
