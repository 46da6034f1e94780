#include "core/contacts/contact_directory.h"

#include "core/contacts/contact_handles.h"

namespace kx {

namespace {

// Shortest national number compared by digits when no calling code is known.
constexpr std::size_t kMinDigits = 6;

} // namespace

ContactDirectory::ContactDirectory() : callingCode_(contacts::callingCodeFromEnvironment()) {}

ContactDirectory::ContactDirectory(std::string defaultCallingCode) : callingCode_(std::move(defaultCallingCode)) {}

bool ContactDirectory::add(const Contact& contact) {
    if (contact.name.empty()) return false;
    bool any = false;
    for (const auto& email : contact.emails) {
        const std::string e = contacts::normalizeEmail(email);
        if (e.empty() || !contacts::looksLikeEmail(e)) continue;
        byKey_.emplace("mailto:" + e, contact.name); // the first card keeps it
        any = true;
    }
    for (const auto& phone : contact.phones) {
        if (auto e164 = contacts::normalizePhone(phone, callingCode_)) {
            byKey_.emplace("tel:" + *e164, contact.name);
            any = true;
            continue;
        }
        // A national number with no calling code to convert it: keep its digits
        // (without a trunk "0") for a suffix comparison.
        std::string digits = contacts::phoneDigits(phone);
        if (!digits.empty() && digits.front() == '0') digits.erase(0, 1);
        if (digits.size() >= kMinDigits && digits.size() <= 15) {
            byDigits_.emplace(digits, contact.name);
            any = true;
        }
    }
    if (any) ++contacts_;
    return any;
}

std::optional<std::string> ContactDirectory::name(const std::string& handle) const {
    if (auto key = contacts::handleKey(handle, callingCode_)) {
        if (auto it = byKey_.find(*key); it != byKey_.end()) return it->second;
    }
    if (byDigits_.empty() || contacts::looksLikeEmail(handle)) return std::nullopt;
    const std::string digits = contacts::phoneDigits(handle);
    // The handle's trailing digits against the national numbers: longest first.
    for (std::size_t len = std::min<std::size_t>(digits.size(), 15); len >= kMinDigits; --len) {
        if (auto it = byDigits_.find(digits.substr(digits.size() - len)); it != byDigits_.end()) return it->second;
    }
    return std::nullopt;
}

} // namespace kx
