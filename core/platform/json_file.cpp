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

} // namespace kx
