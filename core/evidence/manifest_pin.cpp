#include "core/evidence/manifest_pin.h"

#include "core/evidence/digest.h"
#include "core/keys/time_limited_secrets.h"
#include "core/platform/error.h"
#include "core/platform/hex.h"

#include <nlohmann/json.hpp>

namespace kx {

ManifestPins::ManifestPins(SecretStore* store, std::string service, std::chrono::milliseconds limit)
    : store_(store), service_(std::move(service)), limit_(limit) {}

std::optional<PinnedHead> ManifestPins::pinned(const std::string& owner) const {
    std::optional<std::string> value;
    try {
        value = TimeLimitedSecretStore(limit_, store_).read(service_, kAccountPrefix + owner);
    } catch (const SecretStoreError& e) {
        throw Error("the keyring could not be read for the manifest Kelvara made last: " + std::string(e.what()));
    }
    if (!value) return std::nullopt;
    try {
        const auto j = nlohmann::json::parse(*value);
        PinnedHead p;
        p.recordCount = j.at("recordCount").get<std::int64_t>();
        p.chainHead = j.at("chainHead").get<std::string>();
        const auto at = parseISO8601(j.at("generatedAt").get<std::string>());
        if (p.recordCount < 0 || !evidence::isSha256Hex(p.chainHead) || !at) throw Error("out of range");
        p.generatedAt = *at;
        return p;
    } catch (const std::exception&) {
        throw Error("the keyring's entry for the manifest Kelvara made last is damaged");
    }
}

void ManifestPins::pin(const std::string& owner, const TreskManifest::File& manifest) {
    pin(owner, PinnedHead{manifest.recordCount, manifest.chainHead, manifest.generatedAt});
}

void ManifestPins::pin(const std::string& owner, const PinnedHead& head) {
    const nlohmann::json j = {{"recordCount", head.recordCount},
                              {"chainHead", head.chainHead},
                              {"generatedAt", formatISO8601(head.generatedAt)}};
    try {
        TimeLimitedSecretStore(limit_, store_)
            .write(service_, kAccountPrefix + owner, "Kelvara manifest head for " + owner, j.dump());
    } catch (const SecretStoreError& e) {
        throw Error("the manifest's head could not be kept in the keyring: " + std::string(e.what()));
    }
}

namespace {

// Whether the manifest's chain passes through the pinned head: its fingerprint
// (or checkpoint) at the pinned position is the head's.
bool extends(const TreskManifest::File& m, const PinnedHead& p) {
    const auto interval = static_cast<std::int64_t>(m.checkpointInterval);
    const auto block = static_cast<std::size_t>((p.recordCount - 1) / interval);
    if (m.version < 2 || block >= m.checkpoints.size()) return false;
    const auto& cp = m.checkpoints[block];
    if (cp.position == p.recordCount) return cp.link == p.chainHead;
    const auto offset = static_cast<std::size_t>((p.recordCount - 1) % interval) * 8;
    if (offset + 8 > cp.fingerprints.size()) return false;
    return lowerHex(reinterpret_cast<const unsigned char*>(cp.fingerprints.data() + offset), 8) ==
           p.chainHead.substr(0, 16);
}

} // namespace

std::optional<std::string> pinnedHeadProblem(const std::optional<TreskManifest::File>& onDisk,
                                             const std::optional<PinnedHead>& pinned) {
    if (!pinned) return std::nullopt;
    const std::string latest = "the latest manifest Kelvara made (" + formatISO8601(pinned->generatedAt) +
                               ", covering " + std::to_string(pinned->recordCount) + " records, head " +
                               pinned->chainHead + ")";
    if (!onDisk)
        return "the archive's manifest was removed: " + latest +
               " is kept in the keyring, and no manifest is beside "
               "the archive";
    if (onDisk->chainHead == pinned->chainHead && onDisk->recordCount == pinned->recordCount) return std::nullopt;
    if (onDisk->recordCount > pinned->recordCount && pinned->recordCount > 0 && extends(*onDisk, *pinned))
        return std::nullopt; // a later manifest whose head was not pinned (the keyring was locked)
    if (onDisk->recordCount < pinned->recordCount)
        return "the archive's manifest was replaced by an older one: it covers " + std::to_string(onDisk->recordCount) +
               " records, but " + latest +
               " is kept in the keyring, so records after the older one may have been rewritten unnoticed";
    return "the archive's manifest is not the latest one Kelvara made: " + latest +
           " is kept in the keyring, and the one beside the archive does not pass through its head";
}

} // namespace kx
