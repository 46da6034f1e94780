#pragma once
// A seal: the record written beside every exported conversation.
//
// File: the export's full file name followed by ".kxseal.json" in the same folder
// ("Alice.pdf" -> "Alice.pdf.kxseal.json"), so exports of one conversation in
// several formats side by side each keep their own seal. Pretty-printed JSON:
//
//   {
//     "kind": "kelvara-seal", "version": 1,
//     "exportFile": "Alice.pdf",            // the export's file name when sealed
//     "sha256": "<64 hex>",                 // SHA-256 of the export's exact bytes
//     "size": 12345,                        // byte count of the export
//     "format": "pdf",                      // json | csv | pdf
//     "description": "...",                 // what the exporter says it wrote
//     "manifestHead": "<64 hex>" | null,    // the owner's manifest head at export time
//     "appVersion": "1.0 (42)",
//     "sealedAt": "2026-12-09T04:30:00.000Z",
//     "sealDigest": "<64 hex>",             // SHA-256 of the canonical form below
//     "anchor": null | { "authority": url, "summary": text, "anchoredAt": time,
//                        "serialNumber": hex, "token": base64 DER RFC 3161 token }
//   }
//
// The canonical form that the seal digest covers, and that the time-stamp
// authority signs, is the UTF-8 text of one JSON object holding exactly the keys
// kind, version, exportFile, sha256, size, format, description, manifestHead,
// appVersion and sealedAt, with sorted keys and no white space (nlohmann::json's
// compact dump). The anchor is not part of it: anchoring adds a receipt, it does
// not change what was sealed. A reader recomputes the digest and refuses a seal
// whose stored digest does not match.
#include "core/evidence/export_format.h"
#include "core/platform/time.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace kx {

// The time-stamp authority's receipt for a seal.
struct SealAnchor {
    std::string authority;    // the authority's address the token came from
    std::string summary;      // one line for people: time, authority name and serial
    Date anchoredAt{};        // the authority's own time (genTime of the token)
    std::string serialNumber; // the token's serial number, hex
    std::string token;        // the whole RFC 3161 TimeStampToken, DER, base64

    bool operator==(const SealAnchor&) const = default;
};

struct SealFile {
    std::string exportFile; // file name of the export
    std::string sha256;     // SHA-256 of the exported bytes, lowercase hex
    std::uint64_t size = 0; // byte count of the export
    ExportFormat format = ExportFormat::json;
    std::string description; // the exporter's description of the export
    std::optional<std::string> manifestHead;
    std::string appVersion;
    Date sealedAt{};
    std::optional<SealAnchor> anchor;

    static constexpr const char* kSuffix = ".kxseal.json";

    // The seal file's path for an export path: the export path plus ".kxseal.json".
    static std::string path(const std::string& forExport);

    // The bytes the seal digest covers (see the file comment).
    std::string canonicalBytes() const;
    // SHA-256 of canonicalBytes(), lowercase hex.
    std::string sealDigest() const;

    nlohmann::json toJson() const;
    // Throws kx::Error when the JSON is not a seal or its digest does not match.
    static SealFile fromJson(const nlohmann::json& json);

    // Reads a seal file; throws kx::Error when missing, unreadable or damaged.
    static SealFile read(const std::string& path);
    // Writes atomically (temporary file, then rename); throws kx::Error.
    void write(const std::string& path) const;

    bool operator==(const SealFile&) const = default;
};

} // namespace kx
