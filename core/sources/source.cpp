#include "core/sources/source.h"

#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace kx {

using nlohmann::ordered_json;

const std::vector<SourceFormat>& allSourceFormats() {
    static const std::vector<SourceFormat> all = {SourceFormat::macosMessagesFolder, SourceFormat::liveChatDB,
                                                  SourceFormat::iosDeviceBackup, SourceFormat::iosBackupNoMessages,
                                                  SourceFormat::htmlExport};
    return all;
}

std::string toString(SourceFormat format) {
    switch (format) {
    case SourceFormat::macosMessagesFolder: return "macosMessagesFolder";
    case SourceFormat::liveChatDB: return "liveChatDB";
    case SourceFormat::iosDeviceBackup: return "iosDeviceBackup";
    case SourceFormat::iosBackupNoMessages: return "iosBackupNoMessages";
    case SourceFormat::htmlExport: return "htmlExport";
    }
    return "macosMessagesFolder";
}

std::optional<SourceFormat> sourceFormatFromString(const std::string& name) {
    for (SourceFormat f : allSourceFormats())
        if (toString(f) == name) return f;
    return std::nullopt;
}

bool holdsNoMessages(SourceFormat format) {
    return format == SourceFormat::iosBackupNoMessages || format == SourceFormat::htmlExport;
}

SourceRegistryLoad SourceRegistry::loadOrReport(const std::filesystem::path& path) {
    SourceRegistryLoad out{SourceRegistry(path), std::nullopt};
    try {
        const auto bytes = fs::readFileIfExists(path);
        if (bytes) out.registry.sources_ = parseJson(*bytes);
    } catch (const Error& e) {
        out.problem = e.what();
    }
    return out;
}

std::vector<Source> SourceRegistry::parseJson(const std::string& bytes) {
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(bytes);
    } catch (const nlohmann::json::parse_error& e) {
        throw Error("the file is not valid JSON (byte " + std::to_string(e.byte) + ")");
    }
    if (!doc.is_array()) throw Error("the file does not hold a list of sources");
    std::vector<Source> out;
    size_t index = 0;
    for (const auto& item : doc) {
        ++index;
        const std::string where = "source " + std::to_string(index);
        if (!item.is_object()) throw Error(where + " is not an object");
        auto text = [&](const char* key) -> std::string {
            if (!item.contains(key) || !item[key].is_string()) throw Error(where + " has no text \"" + key + "\"");
            return item[key].get<std::string>();
        };
        Source s;
        s.id = text("id");
        s.owner = text("owner");
        s.path = text("path");
        const std::string fmt = text("format");
        const auto format = sourceFormatFromString(fmt);
        if (!format) throw Error(where + " has an unknown format \"" + fmt + "\"");
        s.format = *format;
        if (item.contains("label") && item["label"].is_string()) s.label = item["label"].get<std::string>();
        if (item.contains("lastScanned") && item["lastScanned"].is_string()) {
            s.lastScanned = parseISO8601(item["lastScanned"].get<std::string>());
            if (!s.lastScanned) throw Error(where + " has an unreadable \"lastScanned\" date");
        }
        if (item.contains("lastError") && item["lastError"].is_string())
            s.lastError = item["lastError"].get<std::string>();
        if (std::any_of(out.begin(), out.end(), [&](const Source& o) { return o.id == s.id; }))
            throw Error(where + " repeats the id \"" + s.id + "\"");
        out.push_back(std::move(s));
    }
    return out;
}

std::string SourceRegistry::toJson() const {
    ordered_json arr = ordered_json::array();
    for (const auto& s : sources_) {
        ordered_json o;
        o["id"] = s.id;
        o["owner"] = s.owner;
        o["path"] = s.path;
        o["format"] = toString(s.format);
        o["label"] = s.label ? ordered_json(*s.label) : ordered_json(nullptr);
        if (s.lastScanned) o["lastScanned"] = formatISO8601(*s.lastScanned);
        if (s.lastError) o["lastError"] = *s.lastError;
        arr.push_back(std::move(o));
    }
    return arr.dump(2) + "\n";
}

bool SourceRegistry::add(const Source& source) {
    if (find(source.id)) return false;
    sources_.push_back(source);
    return true;
}

void SourceRegistry::remove(const std::string& id) {
    std::erase_if(sources_, [&](const Source& s) { return s.id == id; });
}

const Source* SourceRegistry::find(const std::string& id) const {
    auto it = std::find_if(sources_.begin(), sources_.end(), [&](const Source& s) { return s.id == id; });
    return it == sources_.end() ? nullptr : &*it;
}

bool SourceRegistry::update(const Source& source) {
    auto it = std::find_if(sources_.begin(), sources_.end(), [&](const Source& s) { return s.id == source.id; });
    if (it == sources_.end()) return false;
    *it = source;
    return true;
}

void SourceRegistry::save() const {
    if (loadProblem_)
        throw Error("the source list at " + path_.string() +
                    " could not be read when Kelvara started, so it is not being overwritten");
    if (path_.empty()) throw Error("the source list has no file to save to");
    fs::createPrivateDirectories(path_.parent_path());
    fs::writeFileAtomic(path_, toJson());
}

SourceStatus SourceRegistry::status(const Source& source) const {
    if (holdsNoMessages(source.format)) return SourceStatus::noMessages;
    if (!fs::exists(source.path)) return SourceStatus::unreachable;
    if (source.lastError) return SourceStatus::error;
    if (!source.lastScanned) return SourceStatus::neverScanned;
    return SourceStatus::ready;
}

} // namespace kx
