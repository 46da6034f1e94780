#pragma once
// The head of the latest manifest Kelvara made for an owner, kept outside the
// archive folder: in the system keyring, beside the owner's key, under the
// account "manifest-head/<owner>" as {"recordCount": N, "chainHead": "<hex>",
// "generatedAt": "...Z"}. A manifest on disk that is older than the pinned one
// (copied back over it) or missing although one was made is noticed by
// comparing the two. A backup carries the pinned head in its own manifest.
//
// This holds against someone who can change the archive folder but not the
// keyring. Someone who rewrites the tables, records, manifest and keyring entry
// together cannot be stopped by anything kept on this machine; an export's seal
// signed by the seal server is the evidence that leaves it.
#include "core/evidence/tresk_manifest.h"
#include "core/keys/secret_store.h"
#include "core/platform/time.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace kx {

struct PinnedHead {
    std::int64_t recordCount = 0;
    std::string chainHead; // lowercase hex
    Date generatedAt{};

    bool operator==(const PinnedHead&) const = default;
};

class ManifestPins {
public:
    static constexpr const char* kAccountPrefix = "manifest-head/";

    // Uses defaultSecretStore() unless a store is given (it must outlive every
    // call, even one given up on). A keyring that does not answer within
    // `limit` (a daemon that hangs, an unlock nobody answers) is a keyring
    // failure; the call it was left to finishes on its own thread.
    explicit ManifestPins(SecretStore* store = nullptr, std::string service = "com.dunholt.kelvara",
                          std::chrono::milliseconds limit = std::chrono::seconds(5));

    // The pinned head, or nothing when none is pinned. Throws kx::Error when the
    // keyring cannot be read or holds a damaged entry.
    std::optional<PinnedHead> pinned(const std::string& owner) const;
    // Pins the head of a manifest just written. Throws kx::Error.
    void pin(const std::string& owner, const TreskManifest::File& manifest);
    // Pins a head read elsewhere (a restored backup carries one). Throws kx::Error.
    void pin(const std::string& owner, const PinnedHead& head);

private:
    SecretStore* store_;
    std::string service_;
    std::chrono::milliseconds limit_;
};

// How the manifest on disk (nothing when there is none) stands against the
// pinned head: a clause ("the archive's manifest was replaced by an older one:
// …", no final full stop) when it was removed or replaced by one that is not the
// latest Kelvara made; nothing when it is that one, a later one passing through
// the pinned head, or nothing is pinned.
std::optional<std::string> pinnedHeadProblem(const std::optional<TreskManifest::File>& onDisk,
                                             const std::optional<PinnedHead>& pinned);

} // namespace kx
