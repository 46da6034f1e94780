#pragma once
// Loading and saving a configuration file with the three outcomes the models
// rely on (loaded, failed with a reason, missing), and a save that can be
// blocked so a file that failed to load is never written over.
//
// The default encoder writes pretty-printed JSON (two-space indent), object keys
// in the order the caller inserted them (nlohmann::ordered_json), dates as
// ISO 8601 texts in UTC with milliseconds ("2026-12-09T04:30:00.000Z"), which
// the ISO 8601 reader reads back. Files are written atomically with mode 0600.
#include "core/platform/json_file.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace kx {

struct ConfigFile {
    template <class T>
    struct LoadOutcome {
        enum class Kind { loaded, failed, missing };
        Kind kind = Kind::missing;
        std::optional<T> value; // when loaded
        std::string reason;     // when failed: a sentence fragment
    };

    struct Encoder {
        int indent = 2;
        std::string encode(const nlohmann::ordered_json& value) const { return value.dump(indent) + "\n"; }
    };
    static Encoder defaultEncoder() { return Encoder{}; }

    // decode turns the parsed JSON into T and throws (anything) when it does not fit.
    template <class T>
    static LoadOutcome<T> load(const std::filesystem::path& path,
                               const std::function<T(const nlohmann::json&)>& decode) {
        LoadOutcome<T> out;
        JsonLoad raw = loadJsonFile(path);
        if (raw.state == JsonLoad::State::missing) return out;
        if (raw.state == JsonLoad::State::damaged) {
            out.kind = LoadOutcome<T>::Kind::failed;
            out.reason = raw.problem;
            return out;
        }
        try {
            out.value = decode(raw.value);
            out.kind = LoadOutcome<T>::Kind::loaded;
        } catch (const std::exception& e) {
            out.kind = LoadOutcome<T>::Kind::failed;
            out.reason = e.what();
        }
        return out;
    }

    // Writes value atomically. With blocked set nothing is written and kx::Error
    // is thrown: the file failed to load earlier and must stay as it is.
    static void save(const nlohmann::ordered_json& value, const std::filesystem::path& path, bool blocked,
                     const Encoder& encoder = defaultEncoder());
};

} // namespace kx
