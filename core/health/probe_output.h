#pragma once
// What `kxctl fda-probe --json` prints: one JSON object on standard output that says
// whether the engine tool, started the way the daily schedule starts it, can read
// the live Messages database.
//
// The reply, one line of JSON (keys in this order when written; unknown keys are
// ignored when read):
//
//   {
//     "format": 1,                  integer: version of this reply; 1 today
//     "databasePath": "/home/jo/Library/Messages/chat.db",
//                                   text: the file the tool looked at
//     "databaseExists": true,       bool: false only when the system says nothing
//                                   is at databasePath; a path the tool is not
//                                   allowed to look at counts as existing
//     "readable": true,             bool: the file opened read-only as a database
//                                   and its message table could be counted
//     "messageCount": 1234,         integer >= 0 when readable, else null
//     "problem": null,              text when not readable: why not, in words
//                                   ("/home/jo/... cannot be read: Permission
//                                   denied"); null when readable
//     "userId": 1000,               integer: the real user id the tool ran as
//     "executable": "/usr/libexec/kelvara/kxctl"
//                                   text: the tool's own file, as the system
//                                   reports it ("" when unknown)
//   }
//
// The application treats the reply as untrusted input: `decode` accepts at most
// kMaxReplyBytes, at most kMaxNesting levels of arrays and objects, and only the
// types above; anything else is a readable decoding error, never a crash.
#include "core/platform/utf8.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kx {

struct ProbeOutput {
    static constexpr int kFormat = 1;
    static constexpr size_t kMaxReplyBytes = 64 * 1024;
    static constexpr int kMaxNesting = 16;

    int format = kFormat;
    std::string databasePath;
    bool databaseExists = false;
    bool readable = false;
    std::optional<int64_t> messageCount;
    std::optional<std::string> problem;
    int64_t userId = -1;
    std::string executable;

    bool operator==(const ProbeOutput&) const = default;

    // One line of JSON, without a trailing newline.
    std::string encode() const;
    // Parses a reply. Throws kx::Error whose what() says what is wrong ("the reply
    // is not valid JSON: ...", "the key \"readable\" is missing", ...).
    static ProbeOutput decode(std::string_view bytes);
};

} // namespace kx
