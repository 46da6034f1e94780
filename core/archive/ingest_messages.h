#pragma once
// The reader shared by every format that holds a Messages database (chat.db on a
// Mac, sms.db in a device backup). It reads an already made private snapshot
// (see snapshot.h) and hands chats and messages to an IngestSink.
//
// Reading rules:
// - Columns are looked up by name; optional columns that a system version lacks
//   are treated as absent. Databases from iOS 5 and earlier (message.address,
//   madrid_* columns, no handle_id) are refused with a clear reason.
// - The body is `text`; when `text` is NULL or empty the body is decoded from
//   `attributedBody` (typedstream.h). A body that cannot be decoded leaves the
//   message without text and is counted in the outcome's warnings.
// - Blobs larger than kMaxBodyBytes (attributedBody, message_summary_info) are
//   not loaded at all: SQLite reports their length without reading them.
// - Earlier bodies of edited messages come from message_summary_info, a binary
//   property list whose "ec" dictionary maps each edited message part (its
//   number as text) to that part's bodies, as first sent first and the current
//   one last: {"d": date in seconds since 2001, "t": body as a typedstream}.
//   Each earlier whole-message body is rebuilt from the parts (earlierBodies).
// - Incremental reading: the cursor's lastRowId/lastGuid must still name the same
//   row, else the source was replaced and is read from the beginning. The cursor's
//   `extra` holds "edited=<n>", the highest date_edited/date_retracted value
//   already delivered; rows edited or unsent since then are delivered again
//   (with their new body) before the new rows. It also holds the fingerprint of
//   the files read ("files=..."), so that a rerun on files nobody has written
//   since can stop before copying anything. It names the page digests of the
//   copy last read in full ("pages=..."), which narrow the rows looked at again
//   for edits to those on changed pages (page_digests.h). And it keeps a few earlier rows as
//   anchors: when the cursor's own row was deleted, they tell a deletion in the
//   same database from a different database.
#include "core/archive/ingester.h"
#include "core/archive/typedstream.h"

#include <sqlite3.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kx {

class DatabaseSnapshot;

// Finds the bytes of one attachment for the record (fills state, resolvedPath,
// problem). Each database format has its own rules.
class AttachmentLocator {
public:
    virtual ~AttachmentLocator() = default;
    virtual void locate(AttachmentRecord& record) const = 0;
};

// Attachments of a Messages folder (a copied ~/Library/Messages or the live one):
// "~/Library/Messages/<rest>" (the ~ is the home of the machine that wrote the
// database) and "/Users/<anyone>/Library/Messages/<rest>" resolve to
// "<root>/<rest>"; relative paths resolve against the root. Anything else, any
// ".." component, and any path whose real location (after following symbolic
// links) lies outside the root is refused.
class FolderAttachmentLocator final : public AttachmentLocator {
public:
    explicit FolderAttachmentLocator(std::filesystem::path root);
    void locate(AttachmentRecord& record) const override;

private:
    std::filesystem::path root_;
    std::filesystem::path canonicalRoot_;
};

constexpr std::size_t kMaxBodyBytes = 16u << 20;

// Reads the database behind `db` (a private snapshot). Throws kx::Error for a
// database that cannot be read at all; a database damaged part-way is read up to
// the damage, checkpointed there, and then reported by throwing.
// With the snapshot `db` belongs to, its fingerprint is kept in the cursor's
// extra text as "files=<fingerprint>" and its pages are digested.
IngestOutcome readMessageDatabase(sqlite3* db, const AttachmentLocator& locator, const IngestCursor& from,
                                  IngestSink& sink, const DatabaseSnapshot* snapshot = nullptr);

// The bodies one message part had, as message_summary_info lists them: as
// first sent first, the current one last.
struct PartHistory {
    std::int64_t part = 0;
    std::vector<EditRecord> bodies;
};

// The earlier whole-message bodies of an edited message, oldest first. Each is
// the message as it read after one edit: the edited parts as they were then and
// the other parts (attachment placeholders among them) as they are now, in the
// current body's part order. The current body is not among them, and each
// wording appears once, at its first date. When the current body's parts are not
// known (`currentParts` empty, or an edited part missing from them), each part's
// earlier bodies are given as they stand, without their current one.
std::vector<EditRecord> earlierBodies(const std::vector<typedstream::BodyPart>& currentParts,
                                      const std::vector<PartHistory>& histories,
                                      const std::optional<std::string>& currentText);

// The parts of a cursor's extra text ("edited=<n>;files=<fingerprint>"):
// the edit watermark (0 when absent or malformed) and the fingerprint (empty).
std::int64_t editedWatermark(const std::string& extra);
std::string filesFingerprint(const std::string& extra);
// The token of the page digests kept after the last complete read
// ("pages=<token>", page_digests.h); empty when none.
std::string pagesToken(const std::string& extra);
// Earlier (row, GUID) pairs kept as "anchors=<row>:<guid>,..." so that a source
// whose last-read message was deleted is still recognised as the same database.
std::vector<std::pair<std::int64_t, std::string>> cursorAnchors(const std::string& extra);

} // namespace kx
