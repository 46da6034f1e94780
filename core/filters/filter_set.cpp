#include "core/filters/filter_set.h"

#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/json_file.h"

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>

namespace kx {

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A phone number reduced to its digits (and a leading "+"); none when the text
// holds letters or "@" and so is not a phone number.
std::optional<std::string> phoneDigits(const std::string& s) {
    std::string out;
    bool sawDigit = false;
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (std::isdigit(c)) {
            out.push_back(static_cast<char>(c));
            sawDigit = true;
        } else if (c == '+' && !sawDigit && out.empty()) {
            out.push_back('+');
        } else if (c == ' ' || c == '-' || c == '(' || c == ')' || c == '.') {
            continue;
        } else {
            return std::nullopt;
        }
    }
    if (!sawDigit) return std::nullopt;
    return out;
}

bool sameHandle(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    const auto da = phoneDigits(a), db = phoneDigits(b);
    if (da && db) return *da == *db;
    return lower(a) == lower(b);
}

bool containsText(const std::string& hay, const std::string& needle, bool caseSensitive) {
    if (needle.empty()) return false;
    if (caseSensitive) return hay.find(needle) != std::string::npos;
    return lower(hay).find(lower(needle)) != std::string::npos;
}

// Glob matching with "*" and "?" only, iterative (no backtracking blow-up).
bool globMatch(const std::string& text, const std::string& pattern) {
    size_t t = 0, p = 0, starP = std::string::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++t;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::string kindName(FilterRule::Kind k) {
    switch (k) {
    case FilterRule::Kind::handle: return "handle";
    case FilterRule::Kind::contains: return "contains";
    case FilterRule::Kind::shortcodes: return "all shortcode senders";
    case FilterRule::Kind::pattern: return "pattern";
    }
    return "rule";
}

} // namespace

bool FilterSet::isShortcode(const std::string& handle) {
    if (handle.size() < 3 || handle.size() > 8) return false;
    return std::all_of(handle.begin(), handle.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

bool FilterSet::ruleMatches(const FilterRule& rule, const FilterSubject& s) {
    if (!rule.enabled) return false;
    std::vector<std::string> names{s.conversationKey};
    if (s.handle && !s.handle->empty() && *s.handle != s.conversationKey) names.push_back(*s.handle);
    switch (rule.kind) {
    case FilterRule::Kind::handle:
        return std::any_of(names.begin(), names.end(), [&](const std::string& n) { return sameHandle(n, rule.value); });
    case FilterRule::Kind::contains: {
        if (s.displayName) names.push_back(*s.displayName);
        return std::any_of(names.begin(), names.end(),
                           [&](const std::string& n) { return containsText(n, rule.value, rule.caseSensitive != 0); });
    }
    case FilterRule::Kind::shortcodes:
        if (s.isGroup) return false;
        return std::any_of(names.begin(), names.end(), [](const std::string& n) { return isShortcode(n); });
    case FilterRule::Kind::pattern:
        if (rule.value.empty()) return false;
        return std::any_of(names.begin(), names.end(),
                           [&](const std::string& n) { return globMatch(lower(n), lower(rule.value)); });
    }
    return false;
}

FilterDecision FilterSet::decide(const FilterSubject& subject) const {
    for (const auto& rule : rules) {
        if (!ruleMatches(rule, subject)) continue;
        FilterDecision d;
        d.keep = false;
        d.ruleId = rule.id;
        d.explanation = rule.kind == FilterRule::Kind::shortcodes
                            ? "Skipped by the rule \"all shortcode senders\"."
                            : "Skipped by the rule \"" + kindName(rule.kind) + ": " + rule.value + "\".";
        return d;
    }
    return {true, std::nullopt, "Archived: no rule matches."};
}

std::string FilterSet::toJson() const {
    nlohmann::ordered_json arr = nlohmann::ordered_json::array();
    for (const auto& r : rules) {
        nlohmann::ordered_json o;
        o["id"] = r.id;
        o["kind"] = static_cast<int>(r.kind);
        o["value"] = r.value;
        o["caseSensitive"] = static_cast<int>(r.caseSensitive);
        if (r.note) o["note"] = *r.note;
        o["enabled"] = static_cast<int>(r.enabled);
        arr.push_back(std::move(o));
    }
    nlohmann::ordered_json doc;
    doc["formatVersion"] = 1;
    doc["rules"] = std::move(arr);
    return doc.dump(2) + "\n";
}

std::vector<FilterRule> FilterSet::parseJson(const std::string& text) {
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error& e) {
        throw Error("the file is not valid JSON (byte " + std::to_string(e.byte) + ")");
    }
    const nlohmann::json* list = &doc;
    if (doc.is_object()) {
        if (doc.contains("formatVersion") &&
            (!doc["formatVersion"].is_number_integer() || doc["formatVersion"].get<int>() > 1))
            throw Error("the file was written by a newer Kelvara (format " + doc["formatVersion"].dump() + ")");
        if (!doc.contains("rules")) throw Error("the file holds no list of rules");
        list = &doc["rules"];
    }
    if (!list->is_array()) throw Error("the file does not hold a list of rules");
    std::vector<FilterRule> out;
    size_t index = 0;
    for (const auto& item : *list) {
        ++index;
        const std::string where = "rule " + std::to_string(index);
        if (!item.is_object()) throw Error(where + " is not an object");
        FilterRule r;
        if (!item.contains("id") || !item["id"].is_string()) throw Error(where + " has no text \"id\"");
        r.id = item["id"].get<std::string>();
        if (!item.contains("kind") || !item["kind"].is_number_integer()) throw Error(where + " has no \"kind\"");
        const int kind = item["kind"].get<int>();
        if (kind < 0 || kind > 3) throw Error(where + " has an unknown kind " + std::to_string(kind));
        r.kind = static_cast<FilterRule::Kind>(kind);
        if (item.contains("value")) {
            if (!item["value"].is_string()) throw Error(where + " has a \"value\" that is not text");
            r.value = item["value"].get<std::string>();
        }
        auto flag = [&](const char* key, uint8_t fallback) -> uint8_t {
            if (!item.contains(key)) return fallback;
            const auto& v = item[key];
            if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
            if (v.is_number_integer()) {
                const auto n = v.get<int64_t>();
                if (n == 0 || n == 1) return static_cast<uint8_t>(n);
            }
            throw Error(where + " has an unreadable \"" + key + "\"");
        };
        r.caseSensitive = flag("caseSensitive", 0);
        r.enabled = flag("enabled", 1);
        if (item.contains("note") && item["note"].is_string()) r.note = item["note"].get<std::string>();
        out.push_back(std::move(r));
    }
    return out;
}

FilterSet FilterSet::load(const std::filesystem::path& path) {
    FilterSet set;
    std::optional<std::string> bytes;
    try {
        bytes = fs::readFileIfExists(path);
        if (bytes) set.rules = parseJson(*bytes);
    } catch (const Error& e) {
        set.rules.clear();
        set.loadProblem_ = e.what();
    }
    return set;
}

void FilterSet::save(const std::filesystem::path& path) const {
    if (loadProblem_) throw Error(blockedSaveText(path, *loadProblem_));
    fs::createPrivateDirectories(path.parent_path());
    fs::writeFileAtomic(path, toJson());
}

} // namespace kx
