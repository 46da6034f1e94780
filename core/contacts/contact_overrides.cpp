#include "core/contacts/contact_overrides.h"

#include "core/platform/error.h"
#include "core/platform/fs.h"
#include "core/platform/json_file.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <mutex>

namespace kx {

namespace {

// Paths whose file failed to load in this process. The application keeps empty
// overrides after a failed load; without this, its next save would replace the
// user's names on disk with that empty list.
std::mutex gMutex;

std::map<std::string, std::string>& damagedPaths() {
    static std::map<std::string, std::string> paths;
    return paths;
}

std::string pathKey(const std::string& path) {
    std::error_code ec;
    auto p = std::filesystem::weakly_canonical(path, ec);
    return ec ? std::filesystem::path(path).lexically_normal().string() : p.string();
}

void setDamaged(const std::string& path, const std::optional<std::string>& problem) {
    std::lock_guard lock(gMutex);
    if (problem) damagedPaths()[pathKey(path)] = *problem;
    else damagedPaths().erase(pathKey(path));
}

std::optional<std::string> damagedProblem(const std::string& path) {
    std::lock_guard lock(gMutex);
    auto it = damagedPaths().find(pathKey(path));
    if (it == damagedPaths().end()) return std::nullopt;
    return it->second;
}

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
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(bytes);
    } catch (const nlohmann::json::parse_error& e) {
        throw Error("the file is not valid JSON at byte " + std::to_string(e.byte));
    }
    if (!j.is_object()) throw Error("the file does not hold contact names");
    if (auto v = j.find("version"); v != j.end() && !v->is_null()) {
        if (!v->is_number_integer()) throw Error("its version is not a number");
        // A newer Kelvara may keep more than this one understands; saving over
        // the file would lose it.
        if (v->get<std::int64_t>() > 1) throw Error("it was written by a newer version of Kelvara");
    }
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
        setDamaged(path, std::string(e.what()));
        throw;
    }
    if (!bytes) {
        setDamaged(path, std::nullopt);
        return {};
    }
    try {
        ContactOverrides out = parseJson(*bytes);
        setDamaged(path, std::nullopt);
        return out;
    } catch (const Error& e) {
        setDamaged(path, std::string(e.what()));
        throw;
    }
}

void ContactOverrides::save(const std::string& path) const {
    if (auto problem = damagedProblem(path)) throw Error(blockedSaveText(path, *problem));
    fs::createPrivateDirectories(std::filesystem::path(path).parent_path());
    fs::writeFileAtomic(path, toJson());
}

} // namespace kx
