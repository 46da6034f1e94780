#include "core/contacts/contact_handles.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <utility>

namespace kx::contacts {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && isSpace(s.front())) s.remove_prefix(1);
    while (!s.empty() && isSpace(s.back())) s.remove_suffix(1);
    return s;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (lower(s[i]) != lower(prefix[i])) return false;
    return true;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Calling codes whose national numbers keep their leading "0" (Italy, San
// Marino, Vatican City).
bool keepsTrunkZero(std::string_view cc) { return cc == "39" || cc == "378" || cc == "379"; }

constexpr std::array<std::pair<const char*, const char*>, 52> kCallingCodes{{
    {"US", "1"},   {"CA", "1"},   {"PR", "1"},   {"GB", "44"},  {"IE", "353"}, {"DE", "49"},  {"AT", "43"},
    {"CH", "41"},  {"LI", "423"}, {"FR", "33"},  {"BE", "32"},  {"NL", "31"},  {"LU", "352"}, {"IT", "39"},
    {"SM", "378"}, {"VA", "379"}, {"ES", "34"},  {"PT", "351"}, {"SE", "46"},  {"NO", "47"},  {"DK", "45"},
    {"FI", "358"}, {"IS", "354"}, {"PL", "48"},  {"CZ", "420"}, {"SK", "421"}, {"HU", "36"},  {"RO", "40"},
    {"GR", "30"},  {"UA", "380"}, {"RU", "7"},   {"TR", "90"},  {"IL", "972"}, {"AE", "971"}, {"AU", "61"},
    {"NZ", "64"},  {"JP", "81"},  {"KR", "82"},  {"CN", "86"},  {"HK", "852"}, {"TW", "886"}, {"SG", "65"},
    {"IN", "91"},  {"BR", "55"},  {"MX", "52"},  {"AR", "54"},  {"ZA", "27"},  {"EE", "372"}, {"LV", "371"},
    {"LT", "370"}, {"SI", "386"}, {"HR", "385"},
}};

} // namespace

bool looksLikeEmail(std::string_view handle) { return handle.find('@') != std::string_view::npos; }

std::string normalizeEmail(std::string_view text) {
    std::string_view s = trim(text);
    if (startsWithNoCase(s, "mailto:")) s = trim(s.substr(7));
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), lower);
    return out;
}

std::string phoneDigits(std::string_view text) {
    std::string out;
    for (char c : text)
        if (isDigit(c)) out.push_back(c);
    return out;
}

std::optional<std::string> normalizePhone(std::string_view text, std::string_view defaultCallingCode) {
    std::string_view s = trim(text);
    if (startsWithNoCase(s, "tel:")) s = trim(s.substr(4));
    // Drop an extension or URI parameters.
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == ';' || c == ',' || lower(c) == 'x' || (lower(c) == 'e' && startsWithNoCase(s.substr(i), "ext"))) {
            s = trim(s.substr(0, i));
            break;
        }
    }
    bool plus = false;
    std::string digits;
    for (char c : s) {
        if (isDigit(c)) {
            digits.push_back(c);
        } else if (c == '+') {
            if (plus || !digits.empty()) return std::nullopt;
            plus = true;
        } else if (!(c == ' ' || c == '.' || c == '-' || c == '/' || c == '(' || c == ')' || c == '\t')) {
            return std::nullopt;
        }
    }
    if (digits.size() < 3 || digits.size() > 17) return std::nullopt;
    std::string e164;
    if (plus) {
        e164 = digits;
    } else if (digits.starts_with("00")) {
        e164 = digits.substr(2);
    } else if (defaultCallingCode == "1" && digits.starts_with("011")) {
        e164 = digits.substr(3);
    } else {
        if (defaultCallingCode.empty()) return std::nullopt;
        std::string national = digits;
        if (defaultCallingCode == "1" && national.size() == 11 && national.front() == '1') national.erase(0, 1);
        else if (!keepsTrunkZero(defaultCallingCode) && national.front() == '0') national.erase(0, 1);
        if (national.empty()) return std::nullopt;
        e164 = std::string(defaultCallingCode) + national;
    }
    if (e164.size() < 3 || e164.size() > 15 || e164.front() == '0') return std::nullopt;
    return "+" + e164;
}

std::optional<std::string> handleKey(std::string_view handle, std::string_view defaultCallingCode) {
    if (looksLikeEmail(handle)) {
        std::string e = normalizeEmail(handle);
        if (e.empty()) return std::nullopt;
        return "mailto:" + e;
    }
    if (auto p = normalizePhone(handle, defaultCallingCode)) return "tel:" + *p;
    return std::nullopt;
}

std::string callingCodeForLocale(std::string_view localeName) {
    const auto us = localeName.find('_');
    if (us == std::string_view::npos) return {};
    std::string_view region = localeName.substr(us + 1);
    const auto end = region.find_first_of(".@");
    if (end != std::string_view::npos) region = region.substr(0, end);
    if (region.size() != 2) return {};
    std::string upper(region);
    for (auto& c : upper)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    for (const auto& [code, cc] : kCallingCodes)
        if (upper == code) return cc;
    return {};
}

std::string callingCodeFromEnvironment() {
    for (const char* name : {"LC_ALL", "LC_TELEPHONE", "LANG"}) {
        const char* v = std::getenv(name);
        if (v && *v) return callingCodeForLocale(v);
    }
    return {};
}

} // namespace kx::contacts
