#pragma once
// User defaults kept in memory.
#include "app/platform/user_defaults.h"

#include <map>

class MemoryUserDefaults final : public UserDefaults {
public:
    std::optional<QString> string(DefaultsKey key) const override;
    void setString(DefaultsKey key, const QString& value) override { strings_[key] = value; }
    bool flag(DefaultsKey key) const override;
    void setFlag(DefaultsKey key, bool value) override { flags_[key] = value; }
    void remove(DefaultsKey key) override {
        strings_.erase(key);
        flags_.erase(key);
    }

private:
    std::map<DefaultsKey, QString> strings_;
    std::map<DefaultsKey, bool> flags_;
};
