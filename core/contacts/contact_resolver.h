#pragma once
// Turning a handle (a phone number or e-mail address as the archive stores it)
// into a name to show.
#include <map>
#include <optional>
#include <string>

namespace kx {

// The answer for one handle.
struct ResolvedName {
    enum Kind : int {
        userOverride = 0, // a name the user typed for this handle
        contact = 1,      // a name from the address book (or a supplied map)
        chatName = 2,     // the conversation's own display name
        handleOnly = 3,   // no name known: displayName is the handle; secondText is not shown
    };
    std::string displayName;
    int kind = handleOnly;
    std::string secondText; // normally the handle itself

    bool operator==(const ResolvedName&) const = default;
};

class ContactResolver {
public:
    virtual ~ContactResolver() = default;
    // Never fails. An empty handle with no chat name resolves to "unknown".
    virtual ResolvedName resolve(const std::string& handle,
                                 const std::optional<std::string>& chatDisplayName) const = 0;
};

// Resolves through a fixed map from handle to name; then the chat's display name;
// then the handle itself.
class MapContactResolver final : public ContactResolver {
public:
    MapContactResolver() = default;
    explicit MapContactResolver(std::map<std::string, std::string> map) : map_(std::move(map)) {}
    ResolvedName resolve(const std::string& handle, const std::optional<std::string>& chatDisplayName) const override;
    const std::map<std::string, std::string>& map() const { return map_; }

private:
    std::map<std::string, std::string> map_;
};

} // namespace kx
