#include "core/health/probe_output.h"

#include "core/platform/error.h"

#include <nlohmann/json.hpp>

namespace kx {
namespace {

using nlohmann::json;

// The deepest nesting of arrays and objects in a JSON text, counted without
// parsing it (brackets inside strings do not count). Bounding this before the
// parser sees the text keeps a hostile reply from exhausting the stack.
int nestingDepth(std::string_view text) {
    int depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') inString = true;
        else if (c == '[' || c == '{') deepest = std::max(deepest, ++depth);
        else if (c == ']' || c == '}') --depth;
    }
    return deepest;
}

const json& required(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) throw Error(std::string("the key \"") + key + "\" is missing");
    return *it;
}

std::string requiredString(const json& object, const char* key) {
    const json& v = required(object, key);
    if (!v.is_string()) throw Error(std::string("the key \"") + key + "\" is not text");
    return v.get<std::string>();
}

bool requiredBool(const json& object, const char* key) {
    const json& v = required(object, key);
    if (!v.is_boolean()) throw Error(std::string("the key \"") + key + "\" is not true or false");
    return v.get<bool>();
}

int64_t integerValue(const json& v, const char* key) {
    if (v.is_number_unsigned()) {
        const auto u = v.get<uint64_t>();
        if (u > static_cast<uint64_t>(INT64_MAX)) throw Error(std::string("the key \"") + key + "\" is out of range");
        return static_cast<int64_t>(u);
    }
    if (v.is_number_integer()) return v.get<int64_t>();
    throw Error(std::string("the key \"") + key + "\" is not a whole number");
}

} // namespace

std::string ProbeOutput::encode() const {
    // nlohmann's ordered_json keeps the documented key order.
    nlohmann::ordered_json j;
    j["format"] = format;
    j["databasePath"] = databasePath;
    j["databaseExists"] = databaseExists;
    j["readable"] = readable;
    j["messageCount"] = messageCount ? nlohmann::ordered_json(*messageCount) : nlohmann::ordered_json(nullptr);
    j["problem"] = problem ? nlohmann::ordered_json(*problem) : nlohmann::ordered_json(nullptr);
    j["userId"] = userId;
    j["executable"] = executable;
    // Replace invalid UTF-8 (a file name can hold any bytes) rather than throw.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

ProbeOutput ProbeOutput::decode(std::string_view bytes) {
    if (bytes.size() > kMaxReplyBytes)
        throw Error("the reply is " + std::to_string(bytes.size()) + " bytes long, more than the " +
                    std::to_string(kMaxReplyBytes) + " a reply may have");
    if (nestingDepth(bytes) > kMaxNesting) throw Error("the reply is nested too deeply to be a probe reply");

    json j;
    try {
        j = json::parse(bytes.begin(), bytes.end());
    } catch (const json::exception& e) {
        // nlohmann's messages start with "[json.exception.parse_error.101] "; keep
        // only the readable part after it.
        std::string what = e.what();
        if (auto close = what.find("] "); what.rfind("[json.exception", 0) == 0 && close != std::string::npos)
            what = what.substr(close + 2);
        throw Error("the reply is not valid JSON: " + what);
    }
    if (!j.is_object()) throw Error("the reply is not a JSON object");

    ProbeOutput out;
    const int64_t format = integerValue(required(j, "format"), "format");
    if (format < 1 || format > 1000) throw Error("the reply has an unknown format number " + std::to_string(format));
    out.format = static_cast<int>(format);
    out.databasePath = requiredString(j, "databasePath");
    out.databaseExists = requiredBool(j, "databaseExists");
    out.readable = requiredBool(j, "readable");

    const json& count = required(j, "messageCount");
    if (!count.is_null()) {
        const int64_t n = integerValue(count, "messageCount");
        if (n < 0) throw Error("the key \"messageCount\" is negative");
        out.messageCount = n;
    }
    const json& problem = required(j, "problem");
    if (!problem.is_null()) {
        if (!problem.is_string()) throw Error("the key \"problem\" is not text");
        out.problem = problem.get<std::string>();
    }
    if (auto it = j.find("userId"); it != j.end() && !it->is_null()) out.userId = integerValue(*it, "userId");
    if (auto it = j.find("executable"); it != j.end() && !it->is_null()) {
        if (!it->is_string()) throw Error("the key \"executable\" is not text");
        out.executable = it->get<std::string>();
    }

    // A reply that contradicts itself is not trusted either way.
    if (out.readable && !out.messageCount)
        throw Error("the reply says the database is readable but gives no message count");
    if (out.readable && !out.databaseExists) throw Error("the reply says the database is readable but does not exist");
    return out;
}

} // namespace kx
