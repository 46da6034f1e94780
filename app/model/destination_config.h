#pragma once
// One backup destination as the destination list stores it, its eight kinds,
// and the list's file ("destinations.json").
//
// The file is one JSON array of objects with the keys "id", "kind", "bucket",
// "region", "localRoot", "enabled", "lastVerifiedAt", "lastBackupAt", in that
// order; the three texts and the dates are written only when present (a file
// written before "lastBackupAt" existed reads as no backup recorded, and an
// older reader passes over the key). Reading is strict: a
// missing "id", "kind" or "enabled", a kind that is not exactly one of the
// eight names (letter case counts), a value of the wrong type or a date that is
// not "YYYY-MM-DDTHH:MM:SS" followed by "Z" or "+HH:MM" (no fractions of a
// second) makes the whole file unreadable. null reads as absent. Dates are
// written in UTC to the whole second, the form the reader takes back.
//
// A configuration never holds a secret: credentials live in the keyring under
// the destination's id.
#include "core/backup/archive_locations.h"
#include "core/platform/time.h"

#include <nlohmann/json.hpp>

#include <array>
#include <optional>
#include <string>
#include <vector>

struct DestinationConfig {
    // Stored by their case names; the order is the order the add sheet offers.
    enum class Kind {
        cloudflareR2,
        awsS3,
        awsGlacierDeepArchive,
        backblazeB2,
        localVolume,
        iCloudDrive,
        dropboxFolder,
        googleDriveFolder,
    };
    static constexpr std::array<Kind, 8> allKinds{Kind::cloudflareR2,          Kind::awsS3,
                                                  Kind::awsGlacierDeepArchive, Kind::backblazeB2,
                                                  Kind::localVolume,           Kind::iCloudDrive,
                                                  Kind::dropboxFolder,         Kind::googleDriveFolder};

    std::string id;
    Kind kind = Kind::cloudflareR2;
    std::optional<std::string> bucket;
    std::optional<std::string> region;
    std::optional<std::string> localRoot;
    bool enabled = true;
    // A connection test passed or a backup run completed against it.
    std::optional<kx::Date> lastVerifiedAt;
    // A backup run from this computer completed against it: the place holds a
    // backup. A connection test alone never sets it.
    std::optional<kx::Date> lastBackupAt;

    bool operator==(const DestinationConfig&) const = default;
};

// "cloudflareR2", ... (the stored name).
const char* kindRawValue(DestinationConfig::Kind kind);
// Exact, case-sensitive; nothing for any other text.
std::optional<DestinationConfig::Kind> kindFromRawValue(const std::string& text);
// "Cloudflare R2", "AWS S3", ... "Google Drive folder": used in every message and screen.
const char* kindLabel(DestinationConfig::Kind kind);
// Object stores reached over the network (the first four kinds).
bool isObjectStore(DestinationConfig::Kind kind);
// Kinds that need a region besides a bucket (AWS, Glacier Deep Archive, B2).
bool usesRegion(DestinationConfig::Kind kind);

// How independent of this computer a kind of place is.
kx::ArchiveLocations::PlaceClass placeClass(DestinationConfig::Kind kind);
// "Independent backup", "Synced copy", "Same machine".
const char* placeClassText(kx::ArchiveLocations::PlaceClass cls);
// "lock.shield", "arrow.triangle.2.circlepath", "internaldrive".
const char* placeClassSymbol(kx::ArchiveLocations::PlaceClass cls);

// Whole-second UTC ISO 8601 ("2025-03-01T09:30:00Z").
std::string formatWholeSecondDate(kx::Date date);
// The strict reader described above.
std::optional<kx::Date> parseStrictDate(const std::string& text);

// Whether two entries name the same storage (the same bucket of one service,
// or the same folder), so that one place is never counted or added twice.
// Ids, switches and dates do not count.
bool sameStorage(const DestinationConfig& a, const DestinationConfig& b);

// When the place `d` names last took a completed backup, among `list` (the
// list d is in): the newest lastBackupAt of the switched-on entries for the
// same storage, or d's own when none of them is on. A passed connection test is
// no backup. The destination row's date and the places panel's word both
// follow it, so the two never disagree about one place.
std::optional<kx::Date> placeBackedUpAt(const DestinationConfig& d, const std::vector<DestinationConfig>& list);

// The list as the file holds it, and back. decodeDestinations throws
// std::runtime_error with a sentence fragment naming the element and the fault.
nlohmann::ordered_json encodeDestinations(const std::vector<DestinationConfig>& list);
std::vector<DestinationConfig> decodeDestinations(const nlohmann::json& json);
