#pragma once
// What the owner's archive needs from this computer's settings to keep proving
// what it proved travels with every backup, sealed in its manifest:
// - the pinned manifest head: a backup reads it from the keyring, and a restore
//   on a computer that holds none (or an earlier one) pins it again, so that a
//   manifest copied back over a newer one after the restore is still noticed
//   (manifest_pin.h);
// - the seals of exports still waiting for their anchor (pending_anchor_store.h):
//   a restore adds those the restoring computer does not hold yet to its own
//   list, which keeps everything it held, so their anchoring goes on there.
#include "core/backup/backup_engine.h"
#include "core/evidence/manifest_pin.h"

#include <optional>
#include <string>
#include <variant>

namespace kx {

// The head pinned for owner, to carry; nothing when none is pinned or the
// keyring cannot be read (the backup goes ahead without it).
std::optional<CarriedManifestHead> headToCarry(const std::string& owner, const ManifestPins& pins = ManifestPins());

// Pins the head a restored backup carried, unless this computer already pins
// that one or a later one. A sentence when it could not be pinned (the
// restore itself stands), else nothing.
std::optional<std::string> pinRestoredHead(const std::string& owner, const CarriedManifestHead& head,
                                           ManifestPins pins = ManifestPins());

// The seals waiting for their anchor in the settings folder configDir, to
// carry; nothing when none wait (or their list cannot be read).
std::optional<std::string> anchorsToCarry(const std::string& configDir);

// Adds the waiting seals a restored backup carried to the list in configDir.
// Returns how many were added, or a sentence when they could not be (the
// restore itself stands).
std::variant<int, std::string> addRestoredAnchors(const std::string& configDir, const std::string& carried);

} // namespace kx
