#pragma once
// Decoder for the message bodies Messages stores in `attributedBody`.
//
// Those blobs are NSArchiver "typedstream" archives (not keyed archives). The
// layout, as this decoder reads it:
//
//   header   04 0B "streamtyped" <integer system version, 1000 = 81 E8 03>
//   values   groups of (type encoding string, one value per type character)
//
// Integers are one signed byte, or the tag -127 (0x81) followed by 2 bytes, or
// -126 (0x82) followed by 4 bytes, little-endian. Bytes -128..-111 are tags:
// -125 floating point, -124 "new" (a literal string/class/object follows),
// -123 nil, -122 end of object. A byte of -110 (0x92) or more that stands where
// a string, class or object may stand is a back reference: index = value + 110.
// Shared strings (type encodings, class names) have their own table; objects,
// classes and C strings share a second table, numbered in the order they appear
// (an object takes its number before its class chain is read).
//
// A message body is an NS(Mutable)AttributedString whose first value is an
// NS(Mutable)String holding the text as UTF-8 ("+" type: length and bytes),
// followed by attribute runs: (dictionary number, run length in UTF-16 units)
// pairs, each followed by its attribute dictionary the first time that number
// appears. The dictionary key "__kIMFileTransferGUIDAttributeName" ties each
// U+FFFC placeholder of the text to an attachment GUID, and
// "__kIMMessagePartAttributeName" numbers the message parts.
//
// A string whose declared length runs past the end of the blob is kept only
// when the bytes that are there are whole UTF-8 characters ending at the string
// object's end tag (-122); the body then says so (declaredLengthTooLong).
//
// The decoder is bounds-checked throughout: every read is checked against the
// end of the blob, reference numbers against the tables, nesting depth and the
// number of values against fixed limits. Malformed input gives an error text and
// never a crash or an unbounded allocation.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx::typedstream {

// One part of a message body: the stretch of text whose attribute runs carry
// the same "__kIMMessagePartAttributeName" number. An attachment placeholder is
// a part of its own; text typed around it forms the other parts.
struct BodyPart {
    std::int64_t index = 0;
    std::string text; // as in DecodedBody::text
    bool operator==(const BodyPart&) const = default;
};

// What a message body decodes to.
struct DecodedBody {
    std::string text;                         // UTF-8 as stored (invalid UTF-8 is replaced)
    std::vector<std::string> attachmentGuids; // in the order they appear
    // The text split into its parts, in text order. Empty when the attribute
    // runs do not number the parts or do not cover the text exactly.
    std::vector<BodyPart> parts;
    // The text's declared length ran past the end of the blob; the text is what
    // the blob holds up to the end of the string object.
    bool declaredLengthTooLong = false;
};

struct DecodeResult {
    std::optional<DecodedBody> body; // set on success
    std::string error;               // why decoding failed (sentence fragment) otherwise
};

// Limits that keep hostile blobs from costing more than a fixed amount.
constexpr std::size_t kMaxDepth = 64;
constexpr std::size_t kMaxValues = 50000; // a real body holds well under a thousand

// True when the blob starts like a typedstream (version 4, "streamtyped").
bool looksLikeTypedStream(std::string_view blob);

// Decodes a message body. Never throws for bad input.
DecodeResult decodeAttributedBody(std::string_view blob);

// Replaces invalid UTF-8 sequences with U+FFFD so the text can be stored and
// indexed safely.
std::string sanitizeUtf8(std::string_view bytes);

} // namespace kx::typedstream
