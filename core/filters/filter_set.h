#pragma once
// Archiving filters: rules that keep conversations out of future archive runs.
// Filters only affect messages a run has not archived yet; nothing already in an
// archive is ever removed because of a rule.
//
// What a rule is matched against: the conversation a message belongs to, never a
// message's text. A conversation is described by its key (the chat identifier:
// the other party's handle for a one-to-one chat, "chat…" for a group), its
// display name, and, for a one-to-one chat, the other party's handle. Members of
// a group are NOT matched one by one, so a group that includes a filtered sender
// is still archived.
//
// Rule kinds:
//   0 handle     the key or the handle equals the value (case-insensitive for
//                e-mail addresses; phone numbers compared by their digits and a
//                leading "+", so "+1 (555) 123-4567" equals "+15551234567")
//   1 contains   the key, the handle or the display name contains the value
//                (case-insensitive unless caseSensitive is 1)
//   2 shortcodes the handle is a short code: 3 to 8 digits and nothing else
//   3 pattern    the key or the handle matches a glob pattern ("*" any run, "?" one
//                character), case-insensitive; no other syntax
// A rule with enabled 0 is kept but not applied. An empty value never matches
// (except for kind 2, which needs none).
//
// "filters.json": a JSON object {"formatVersion": 1, "rules": [rule...]}; each rule
// is {"id", "kind" (0-3), "value", "caseSensitive" (0/1), "note" (text, absent when
// none), "enabled" (0/1)}. A bare JSON array of rules is read as well. A missing
// file means no rules. A file that exists but cannot be read or understood is a
// load problem: the set then has no rules, carries the problem text, and refuses
// to save over the damaged file.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kx {

struct FilterRule {
    enum class Kind : uint8_t { handle = 0, contains = 1, shortcodes = 2, pattern = 3 };
    std::string id;
    Kind kind = Kind::handle;
    std::string value;
    uint8_t caseSensitive = 0; // for kind 1 only
    std::optional<std::string> note;
    uint8_t enabled = 1;

    bool operator==(const FilterRule&) const = default;
};

// What a rule is matched against.
struct FilterSubject {
    std::string conversationKey;
    std::optional<std::string> handle; // the other party of a one-to-one chat
    std::optional<std::string> displayName;
    bool isGroup = false;
};

struct FilterDecision {
    bool keep = true;                  // false: the conversation is skipped
    std::optional<std::string> ruleId; // the first rule that matched
    std::string explanation;           // a short sentence

    bool operator==(const FilterDecision&) const = default;
};

class FilterSet {
public:
    std::vector<FilterRule> rules;

    // Missing file: no rules, no problem. Damaged or unreadable: no rules and a
    // load problem (never read as "no filters").
    static FilterSet load(const std::filesystem::path& path);
    // Writes atomically. Throws kx::Error, also while a load problem stands.
    void save(const std::filesystem::path& path) const;

    const std::optional<std::string>& loadProblem() const { return loadProblem_; }
    void setLoadProblem(std::optional<std::string> p) { loadProblem_ = std::move(p); }

    // The first enabled rule that matches decides; none matching keeps it.
    FilterDecision decide(const FilterSubject& subject) const;
    bool excludes(const FilterSubject& subject) const { return !decide(subject).keep; }

    static bool ruleMatches(const FilterRule& rule, const FilterSubject& subject);
    static bool isShortcode(const std::string& handle);

    std::string toJson() const;
    static std::vector<FilterRule> parseJson(const std::string& text); // throws kx::Error

    bool operator==(const FilterSet& o) const { return rules == o.rules && loadProblem_ == o.loadProblem_; }

private:
    std::optional<std::string> loadProblem_;
};

} // namespace kx
