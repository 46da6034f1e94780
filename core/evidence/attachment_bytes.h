#pragma once
// Checking the stored bytes of an archive's attachments against the SHA-256
// each was archived with (its object key, attachment_store.h).
#include <cstdint>
#include <optional>
#include <string>

namespace kx {

// A stored attachment file that no longer holds what was archived.
struct AttachmentBytesProblem {
    std::string attachmentGuid;
    std::string fileName;            // as the source named it; may be empty
    std::string messageGuid;         // the message it belongs to; empty when none lists it
    std::string key;                 // the SHA-256 it was archived with (hex)
    std::string found;               // the SHA-256 of the file now, or empty when there is no readable file
    std::int64_t recordPosition = 0; // the record that holds the key; 0 when none does

    // "the stored file of attachment … of message … is missing, …" and the like.
    std::string what() const;
    // The same as a sentence.
    std::string sentence() const;
};

// The SHA-256 (hex) of the stored object with this key, or empty when there is
// no readable regular file for it.
std::string storedObjectDigest(const std::string& attachmentsFolder, const std::string& key);

// Re-hashes every stored object the archive's attachments name, each once,
// reading every file in fixed-size pieces on several threads, so memory stays
// flat however large or many the files. Returns the problem of the attachment
// archived first (the answer does not depend on which thread finished first),
// or nothing when every file holds its bytes. Throws kx::Error when the archive
// database cannot be read.
std::optional<AttachmentBytesProblem> checkAttachmentBytes(const std::string& databasePath,
                                                           const std::string& attachmentsFolder);

} // namespace kx
