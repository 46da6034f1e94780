#include "core/contacts/contact_overrides.h"

#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/json_file.h"

#include <nlohmann/json.hpp>

#include <filesystem>

namespace kx {

namespace {

// Paths whose file failed to load in this process. The application keeps empty
// overrides after a failed load; without this, its next save would replace the
// user's names on disk with that empty list.
DamagedFiles damagedFiles;

} // namespace

void ContactOverrides::set(const std::string& handle, const std::string& name) {
    if (name.empty()) {
        names_.erase(handle);
        return;
    }
    names_[handle] = name;
}

void ContactOverrides::remove(const std::string& handle) { names_.erase(handle); }

std::optional<std::string> ContactOverrides::name(const std::string& handle) const {
    auto it = names_.find(handle);
    if (it == names_.end()) return std::nullopt;
    return it->second;
}

std::string ContactOverrides::toJson() const {
    nlohmann::ordered_json j;
    j["version"] = 1;
    j["names"] = nlohmann::ordered_json::object();
    for (const auto& [handle, name] : names_) j["names"][handle] = name;
    return j.dump(2) + "\n";
}

ContactOverrides ContactOverrides::parseJson(const std::string& bytes) {
    const nlohmann::json j = parseVersionedObject(bytes, "the file does not hold contact names");
    ContactOverrides out;
    auto names = j.find("names");
    if (names == j.end() || names->is_null()) return out;
    if (!names->is_object()) throw Error("\"names\" is not a list of handles and names");
    for (const auto& [handle, name] : names->items()) {
        if (!name.is_string()) throw Error("the name for \"" + handle + "\" is not text");
        if (handle.empty() || name.get_ref<const std::string&>().empty()) continue;
        out.names_[handle] = name.get<std::string>();
    }
    return out;
}

ContactOverrides ContactOverrides::load(const std::string& path) {
    std::optional<std::string> bytes;
    try {
        bytes = fs::readFileIfExists(path);
    } catch (const Error& e) {
        damagedFiles.remember(path, e.what());
        throw;
    }
    if (!bytes) {
        damagedFiles.forget(path);
        return {};
    }
    try {
        ContactOverrides out = parseJson(*bytes);
        damagedFiles.forget(path);
        return out;
    } catch (const Error& e) {
        damagedFiles.remember(path, e.what());
        throw;
    }
}

void ContactOverrides::save(const std::string& path) const {
    if (auto problem = damagedFiles.problem(path)) throw Error(blockedSaveText(path, *problem));
    fs::createPrivateDirectories(std::filesystem::path(path).parent_path());
    fs::writeFileAtomic(path, toJson());
}

} // namespace kx
