#pragma once
// Names the user typed for handles ("contacts-overrides.json").
//
// File format (UTF-8 JSON object, written atomically, mode 0600):
//   { "version": 1, "names": { "+15551234567": "Mum", "sam@example.com": "Sam" } }
// Keys are handles exactly as the archive holds them; values are non-empty
// names. Unknown keys are ignored. A file that is not such an object, or has a
// "version" above 1 (written by a newer Kelvara), is damaged: load throws, and from then on every save to that path is
// refused for the rest of the process, so the names on disk are never written over by the empty list the application
// falls back to.
#include <map>
#include <optional>
#include <string>

namespace kx {

class ContactOverrides {
public:
    ContactOverrides() = default;

    // Sets the name for a handle (replacing any earlier one).
    void set(const std::string& handle, const std::string& name);
    // Removes the handle's name; nothing happens when it has none.
    void remove(const std::string& handle);
    // The name typed for exactly this handle.
    std::optional<std::string> name(const std::string& handle) const;

    const std::map<std::string, std::string>& names() const { return names_; }
    bool empty() const { return names_.empty(); }
    std::size_t size() const { return names_.size(); }

    // A missing file gives empty overrides. Throws kx::Error when the file
    // exists but cannot be read or is damaged (and blocks saves to the path).
    static ContactOverrides load(const std::string& path);

    // Writes the names atomically. Throws kx::Error when the write fails (the
    // previous file stays) or when this path failed to load in this process.
    void save(const std::string& path) const;

    std::string toJson() const;
    static ContactOverrides parseJson(const std::string& bytes); // throws kx::Error

    bool operator==(const ContactOverrides&) const = default;

private:
    std::map<std::string, std::string> names_;
};

} // namespace kx
