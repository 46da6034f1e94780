#pragma once
// This machine's identity: a text made once and kept in the configuration
// directory, identical at every later start, so that runs and reports of this
// machine are always recognised as the same machine.
//
// File: "machine-identity.json" in the configuration directory, mode 0600:
//   { "machineID": "8C2E5F1A-...", "createdAt": "2026-12-09T04:30:00.000Z" }
// The identity is made by the caller's generator (a random UUID in upper case)
// the first time and written with an exclusive create, so two processes starting
// together agree on one identity. A damaged file is reported and never
// replaced: a new identity would make this machine look like another one.
#include "core/platform/time.h"

#include <functional>
#include <string>

namespace kx {

class MachineIdentity {
public:
    static constexpr const char* kFileName = "machine-identity.json";

    // The name shown for this machine: the host name with surrounding blanks and
    // control characters removed, at most 128 bytes; "This Mac" when nothing is left.
    static std::string displayName(const std::string& host);

    // configDir + "machine-identity.json".
    static std::string path(const std::string& configDir);

    // Returns the stored identity, or makes one with `generate`, stores it (with
    // `now` as its creation date) and returns it. Creates configDir (0700) when
    // missing. Throws kx::Error with a whole sentence when the file is damaged
    // or cannot be read or written, or when the generator gives an unusable id.
    static std::string resolve(const std::string& configDir, const std::function<std::string()>& generate, Date now);
};

// A new random UUID in upper-case textual form ("8C2E5F1A-0B3D-4E6F-9A1B-2C3D4E5F6A7B").
std::string makeRandomUUID();

} // namespace kx
