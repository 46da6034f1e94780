#pragma once
// The user's contacts as a look-up from handle to name, built from the contact
// cards SystemContacts reads. Matching rules: contact_handles.h.
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kx {

class ContactDirectory {
public:
    // One card as the directory needs it.
    struct Contact {
        std::string name;
        std::vector<std::string> phones;
        std::vector<std::string> emails;
    };

    // An empty directory that converts national numbers with the calling code
    // of the process's locale.
    ContactDirectory();
    // An empty directory with an explicit calling code ("1"; empty = none known).
    explicit ContactDirectory(std::string defaultCallingCode);

    // Adds the card's numbers and addresses. When two cards share a number or an
    // address, the first one added keeps it. Returns true when the card had a
    // name and at least one usable number or address.
    bool add(const Contact& contact);

    // The name for a handle, if a card holds it.
    std::optional<std::string> name(const std::string& handle) const;

    std::size_t contactCount() const { return contacts_; }
    std::size_t handleCount() const { return byKey_.size() + byDigits_.size(); }
    bool empty() const { return handleCount() == 0; }
    const std::string& defaultCallingCode() const { return callingCode_; }

private:
    std::string callingCode_;
    std::map<std::string, std::string> byKey_;    // handle key -> name
    std::map<std::string, std::string> byDigits_; // national digits -> name (no calling code known)
    std::size_t contacts_ = 0;
};

} // namespace kx
