#pragma once
// The archive's records: what the store has taken in, kept append-only in the
// "records" table of tresk.db, in the order it took it in. The other tables
// (messages, message_versions, message_sources, attachments, ...) are the views
// the screens and exports read; every value of theirs that an export shows is
// derived from these records, and a check (checkTables) compares the two.
//
// One record is a run of bytes (its canonical form, which the manifest chain
// covers exactly as stored):
//   "KXR1", one kind letter, then its fields, each a 32-bit big-endian length
//   followed by that many bytes; an absent value is the length 0xFFFFFFFF with
//   no bytes. Dates are the decimal nanoseconds since the Unix epoch, flags "0"
//   or "1", numbers decimal.
// Kinds and their fields:
//   C conversation   key, display name, group flag, service (again whenever one changes)
//   M message        the first archived form: guid, conversation key, sender handle,
//                    service, date, from-me flag, text, associated guid, associated
//                    type, thread originator guid, edited date, unsent date, reaction
//                    flag, and the registry id of the source it came from
//   F filled field   guid, field name (one of kMessageFields), new value
//   V version        guid, text, date (again when a later sighting gives its date)
//   S source         guid, registry id of one more source that held the message
//   A attachment     attachment guid, file name, MIME type, size (again whenever one changes)
//   L link           message guid, attachment guid, position in the message
//   O object         attachment guid, key (SHA-256) of the stored bytes
// A later record of the same thing replaces the earlier value in the views; nothing
// is ever updated or removed in the records table.
//
// Table: records(seq INTEGER PRIMARY KEY, family, subject, body BLOB), seq counting
// 1, 2, 3, ... in insertion order; family 0 conversations, 1 messages, 2 attachments;
// subject the id of the view row the record belongs to (conversations.id,
// messages.id, attachments.id).
#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace SQLite {
class Database;
}

namespace kx::records {

constexpr char kConversation = 'C', kMessage = 'M', kField = 'F', kVersion = 'V', kSource = 'S', kAttachment = 'A',
               kLink = 'L', kObject = 'O';
enum Family : int { conversations = 0, messages = 1, attachments = 2 };
int familyOf(char kind);

// The fields of a message record, in order; a filled-field record names one of them.
constexpr std::array<const char*, 13> kMessageFields = {"guid",           "conversation", "sender", "service",
                                                        "date",           "fromMe",       "text",   "associatedGuid",
                                                        "associatedType", "thread",       "edited", "unsent",
                                                        "reaction"};
int messageFieldIndex(std::string_view name); // -1 when unknown

class Encoder {
public:
    explicit Encoder(char kind);
    Encoder& text(std::string_view value);
    Encoder& text(const std::string& value) { return text(std::string_view(value)); }
    Encoder& text(const char* value) { return text(std::string_view(value)); }
    Encoder& text(const std::optional<std::string>& value);
    Encoder& absent();
    Encoder& number(std::int64_t value);
    Encoder& number(const std::optional<std::int64_t>& value);
    Encoder& flag(bool value);
    const std::string& bytes() const { return out_; }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

struct Decoded {
    char kind = 0;
    std::vector<std::optional<std::string>> fields;
};
// False when the bytes are not a record.
bool decode(std::string_view bytes, Decoded& out);
// The guid a record is about: the message's (conversation key, attachment guid
// for those kinds); empty when the bytes are not a record.
std::string subjectGuid(std::string_view bytes);
// "the first archived form of message G", "a corroborating source of message G", ...
std::string describe(std::string_view bytes);

// Whether the store at this connection keeps a records table (format 2 and later).
bool hasRecordsTable(SQLite::Database& db);

// The records the tables of a store without a records table amount to, in the
// order they were archived: per message (by id) its conversation when first met,
// its message record, versions, sources, and attachments with links; then what
// no message refers to. Used to start the records table of an older store, and
// to chain such a store before its first run with this version.
using Emit = std::function<void(int family, std::int64_t subject, std::string_view bytes)>;
void fromTables(SQLite::Database& db, const Emit& emit);

// Every record in insertion order: (seq, bytes). A store without a records table
// gives fromTables' records numbered 1, 2, 3, ... Return false to stop.
using Visitor = std::function<bool(std::int64_t seq, std::string_view bytes)>;
void walk(SQLite::Database& db, const Visitor& visit);

// The last record (seq) of anything an export of this conversation shows: the
// conversation, its messages and their attachments. 0 when it has none; nothing
// when the store has no records table. Opens its own read-only connection.
// Throws kx::Error when the store cannot be read.
std::optional<std::int64_t> lastRecordOfConversation(const std::string& databasePath,
                                                     const std::string& conversationKey);

// Where the views disagree with what the records say.
struct TableDifference {
    std::int64_t position = 0; // seq of the record concerned; 0 when no record is
    std::string guid;          // the message (or conversation key) concerned
    std::string what;          // a sentence
};
// Which part of the tables one check covers: messages with ids in [from, to],
// and the conversations and attachments when asked.
struct CheckPart {
    std::int64_t fromMessage = std::numeric_limits<std::int64_t>::min();
    std::int64_t toMessage = std::numeric_limits<std::int64_t>::max();
    bool conversationsAndAttachments = true;
};
// Compares every shown value of the views with the records. The first difference
// by record position (differences without a record come last). Reads inside the
// caller's transaction. Throws kx::Error when the tables cannot be read.
std::optional<TableDifference> checkTables(SQLite::Database& db, const CheckPart& part = {});
// The whole check in `parts` parts that may run side by side (each on its own
// connection to the same state); firstOf picks the first of their differences.
std::vector<CheckPart> splitCheck(SQLite::Database& db, int parts);
std::optional<TableDifference> firstOf(std::vector<std::optional<TableDifference>> found);

} // namespace kx::records
