#pragma once
// The owner's pinned manifest head travels with every backup: a backup reads it
// from the keyring into its manifest, and a restore on a computer that holds
// none (or an earlier one) pins it again, so that a manifest copied back over a
// newer one after the restore is still noticed (manifest_pin.h).
#include "core/backup/backup_engine.h"
#include "core/evidence/manifest_pin.h"

#include <optional>
#include <string>

namespace kx {

// The head pinned for owner, to carry; nothing when none is pinned or the
// keyring cannot be read (the backup goes ahead without it).
std::optional<CarriedManifestHead> headToCarry(const std::string& owner, const ManifestPins& pins = ManifestPins());

// Pins the head a restored backup carried, unless this computer already pins
// that one or a later one. A sentence when it could not be pinned (the
// restore itself stands), else nothing.
std::optional<std::string> pinRestoredHead(const std::string& owner, const CarriedManifestHead& head,
                                           ManifestPins pins = ManifestPins());

} // namespace kx
