#pragma once
// What the Messages application on this computer keeps: its "Keep messages"
// setting (30 days, one year or forever), read, never changed.
//
// Messages keeps the setting in its preferences domain "com.apple.MobileSMS"
// under "KeepMessageForDays": 0 or absent means forever, any other whole number
// is the days after which Messages deletes older messages. The reader looks for
// the domain's property list (XML or binary) in the home folder's
// "Library/Preferences", where a Mac keeps it and where a copied Mac home
// folder brings it along. On a computer without one the setting is unreadable,
// with the reason, because whether anything deletes old messages is not known.
#include <cstdint>
#include <optional>
#include <string>

namespace kx {

struct RetentionPolicy {
    struct Setting {
        enum class Kind { days, unreadable, keepForever };
        Kind kind = Kind::unreadable;
        int days = 0;       // when kind is days: always positive
        std::string reason; // when kind is unreadable

        static Setting ofDays(int days) { return {Kind::days, days, {}}; }
        static Setting unreadable(std::string reason) { return {Kind::unreadable, 0, std::move(reason)}; }
        static Setting keepForever() { return {Kind::keepForever, 0, {}}; }

        // The setting in the words Messages uses: "30 Days", "1 Year",
        // "Forever", "<n> Days" for any other count, "Unknown" when unreadable.
        std::string appleLabel() const;
        // Messages deletes older messages (a count of days, more than 0).
        bool deletesMessages() const { return kind == Kind::days && days > 0; }
        bool operator==(const Setting&) const = default;
    };
};

class RetentionReader {
public:
    RetentionReader() = delete;

    static constexpr const char* domain = "com.apple.MobileSMS";
    static constexpr const char* kKey = "KeepMessageForDays";

    // The domain's setting from "<home>/Library/Preferences/<domain>.plist".
    // Never throws: a missing, damaged or strange file gives the unreadable case
    // with a reason a person can act on.
    static RetentionPolicy::Setting currentSetting(const std::string& domain);
    // The same from a property list's bytes (what the file holds).
    static RetentionPolicy::Setting fromPropertyList(const std::string& bytes);

    // Bytes the live Messages attachments take (see TreskStatsReader::directoryBytes);
    // nothing when the folder is missing or cannot be read.
    static std::optional<std::uint64_t> liveAttachmentBytes(const std::string& path);
};

} // namespace kx
