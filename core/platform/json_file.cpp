#include "core/platform/json_file.h"

#include "core/platform/error.h"
#include "core/platform/fs.h"

namespace kx {

JsonLoad loadJsonFile(const std::filesystem::path& path) {
    JsonLoad out;
    std::optional<std::string> bytes;
    try {
        bytes = fs::readFileIfExists(path);
    } catch (const Error& e) {
        out.state = JsonLoad::State::damaged;
        out.problem = e.what();
        return out;
    }
    if (!bytes) return out;
    try {
        out.value = nlohmann::json::parse(*bytes);
        out.state = JsonLoad::State::loaded;
    } catch (const nlohmann::json::parse_error& e) {
        out.state = JsonLoad::State::damaged;
        out.problem = "the file is not valid JSON (byte " + std::to_string(e.byte) + ")";
    }
    return out;
}

void saveJsonFile(const std::filesystem::path& path, const nlohmann::json& value) {
    fs::createPrivateDirectories(path.parent_path());
    fs::writeFileAtomic(path, value.dump(2) + "\n");
}

std::string blockedSaveText(const std::filesystem::path& path, const std::string& problem) {
    return path.string() + " was not saved because it could not be read when Kelvara started (" + problem +
           "); the file on disk is left as it is";
}

namespace {

std::string resolvedKey(const std::string& path) {
    std::error_code ec;
    auto p = std::filesystem::weakly_canonical(path, ec);
    return ec ? std::filesystem::path(path).lexically_normal().string() : p.string();
}

} // namespace

void DamagedFiles::remember(const std::string& path, const std::string& problem) {
    const std::string key = resolvedKey(path);
    std::lock_guard lock(mutex_);
    problems_[key] = problem;
}

void DamagedFiles::forget(const std::string& path) {
    const std::string key = resolvedKey(path);
    std::lock_guard lock(mutex_);
    problems_.erase(key);
}

std::optional<std::string> DamagedFiles::problem(const std::string& path) const {
    const std::string key = resolvedKey(path);
    std::lock_guard lock(mutex_);
    auto it = problems_.find(key);
    if (it == problems_.end()) return std::nullopt;
    return it->second;
}

nlohmann::json parseVersionedObject(const std::string& bytes, const std::string& notAnObject,
                                    std::int64_t newestVersion) {
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(bytes);
    } catch (const nlohmann::json::parse_error& e) {
        throw Error("the file is not valid JSON at byte " + std::to_string(e.byte));
    }
    if (!j.is_object()) throw Error(notAnObject);
    if (auto v = j.find("version"); v != j.end() && !v->is_null()) {
        if (!v->is_number_integer()) throw Error("its version is not a number");
        if (v->get<std::int64_t>() > newestVersion) throw Error("it was written by a newer version of Kelvara");
    }
    return j;
}

} // namespace kx
