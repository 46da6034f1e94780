#pragma once
// A registered message source and the list of them ("sources.json").
//
// File format of "sources.json": a JSON array; each element is an object with the
// keys "id", "owner", "path", "format" and "label" in that order, followed by the
// optional keys "lastScanned" (ISO 8601 text) and "lastError" (text) when they
// have a value. "format" holds the SourceFormat case name as it stands
// ("macosMessagesFolder", ...). "label" may be null. Unknown keys are ignored on
// load. A file that is not such an array is damaged: it is reported and never
// written over.
#include "core/platform/time.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kx {

enum class SourceFormat { macosMessagesFolder, liveChatDB, iosDeviceBackup, iosBackupNoMessages, htmlExport };

// Every case in declaration order.
const std::vector<SourceFormat>& allSourceFormats();
// The stored case name ("liveChatDB").
std::string toString(SourceFormat format);
std::optional<SourceFormat> sourceFormatFromString(const std::string& name);
// True for the formats that hold no messages (registered for coverage and
// deletion safety only).
bool holdsNoMessages(SourceFormat format);

enum class SourceStatus { ready, unreachable, neverScanned, error, noMessages };

struct Source {
    std::string id;
    std::string owner;
    std::string path;
    SourceFormat format = SourceFormat::macosMessagesFolder;
    std::optional<std::string> label;
    std::optional<Date> lastScanned;
    std::optional<std::string> lastError;

    bool operator==(const Source&) const = default;
};

struct SourceRegistryLoad;

// The registered sources, tied to the file they were loaded from.
class SourceRegistry {
public:
    SourceRegistry() = default;
    explicit SourceRegistry(std::filesystem::path path) : path_(std::move(path)) {}

    // Loads the registry. A missing file gives an empty registry and no problem; a
    // damaged or unreadable file gives an empty registry and a problem text.
    static SourceRegistryLoad loadOrReport(const std::filesystem::path& path);

    const std::vector<Source>& sources() const { return sources_; }
    const std::filesystem::path& path() const { return path_; }

    // Adds a source. Refuses (returns false) when a source with the same id is
    // already registered; the list is then unchanged.
    bool add(const Source& source);
    // Removes the source with this id; nothing happens when there is none.
    void remove(const std::string& id);
    const Source* find(const std::string& id) const;
    // Replaces the stored source with the same id; false when there is none.
    bool update(const Source& source);

    // While set, save() refuses to write (the file on disk failed to load).
    const std::optional<std::string>& loadProblem() const { return loadProblem_; }
    void setLoadProblem(std::optional<std::string> problem) { loadProblem_ = std::move(problem); }

    // Writes the registry to its file atomically. Throws kx::Error, also when a
    // load problem is set (the damaged file is never written over).
    void save() const;

    // The status of a source as the sources screen shows it.
    SourceStatus status(const Source& source) const;

    std::string toJson() const;
    static std::vector<Source> parseJson(const std::string& bytes); // throws kx::Error

private:
    std::filesystem::path path_;
    std::vector<Source> sources_;
    std::optional<std::string> loadProblem_;
};

struct SourceRegistryLoad {
    SourceRegistry registry;
    std::optional<std::string> problem;
};

} // namespace kx
