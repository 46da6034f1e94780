#include "tests/support/user_defaults_double.h"

std::optional<QString> MemoryUserDefaults::string(DefaultsKey key) const {
    auto it = strings_.find(key);
    if (it == strings_.end()) return std::nullopt;
    return it->second;
}

bool MemoryUserDefaults::flag(DefaultsKey key) const {
    auto it = flags_.find(key);
    return it != flags_.end() && it->second;
}
