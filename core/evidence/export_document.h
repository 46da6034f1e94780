#pragma once
// One conversation laid out for export, and the three writers over it.
//
// JSON ("kelvara-conversation-export", version 1): the conversation (key, name,
// detail), owner, export time, application version, time zone, message count
// and every message: guid, utc and local time, sender name and raw handle,
// from-me flag, service, text, edit/unsend times, attachments (name, MIME
// type, size, SHA-256 of the stored bytes when the archive has them) and the
// sources that corroborate it. Texts are written as they stand; bytes that are
// not UTF-8 become U+FFFD.
//
// CSV (RFC 4180): a first line that starts with "#" and states the apostrophe
// rule below in words, a header row, then one row per message; every field quoted,
// quotes doubled, CRLF between rows, UTF-8 without a byte-order mark. Columns:
// guid, utc_time, local_time, sender_name, sender_handle, from_me, text,
// attachments, attachment_sha256, sources (lists joined with "; "). A cell that
// a spreadsheet would read as a formula gets a leading apostrophe so it stays
// text: one whose first character is "=", "+", "-", "@", tab or carriage
// return, or whose first character after leading spaces is one of "=+-@" or
// their full-width forms. A cell whose data starts with an apostrophe gets a
// second one, so a leading apostrophe is always the export's own: to read a cell
// back, drop one leading apostrophe when there is one. A NUL byte is written as
// U+FFFD (a spreadsheet would end the cell there) and counted.
//
// PDF (A4, cairo + pango, fonts found through fontconfig: Noto Sans with Noto
// CJK and Noto Color Emoji as fallbacks): a title block, then one block per
// message with the sender, handle and local time with its offset, the text and
// the attachment names; "Page N of M" at the foot of every page.
#include "core/evidence/export_format.h"
#include "core/evidence/export_time_zone.h"
#include "core/platform/time.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kx {

struct ExportAttachment {
    std::string id;
    std::optional<std::string> fileName;
    std::optional<std::string> mimeType;
    std::int64_t totalBytes = 0;
    std::optional<std::string> sha256; // the stored object's key, when its bytes are in the archive
};

// An earlier text of an edited message, as the archive kept it.
struct ExportVersion {
    std::string text;
    std::optional<Date> date; // when it was written or edited, when the source said
};

struct ExportMessage {
    std::string guid;
    std::optional<Date> date;
    std::string senderName;
    std::string senderHandle; // raw handle; empty for the owner's own messages without one
    bool isFromMe = false;
    std::optional<std::string> service;
    std::optional<std::string> text;
    std::optional<Date> dateEdited;
    std::optional<Date> dateRetracted;
    std::vector<ExportVersion> earlierVersions; // every other text the archive kept, oldest first
    std::vector<ExportAttachment> attachments;
    std::vector<std::string> sources;
};

struct ExportDocument {
    std::string owner;
    std::string conversationKey;
    std::string conversationName;   // the resolved name
    std::string conversationDetail; // the group's name or the services
    Date exportedAt{};
    std::string appVersion;
    ExportTimeZone timeZone = ExportTimeZone::fixed(0, "UTC");
    std::vector<ExportMessage> messages;
};

// A document whose messages are read while it is written instead of held in
// memory, so a conversation of any length is written in bounded memory.
// `head` carries everything but the messages (its list is not read);
// `forEachMessage` hands over exactly `messageCount` messages in order, and the
// same ones each time it is called (the PDF writer reads them twice: once to
// lay out the pages, once to draw them). A writer that is handed a different
// number of messages throws kx::Error.
struct ExportStream {
    using Visit = std::function<void(const ExportMessage&)>;
    ExportDocument head;
    std::int64_t messageCount = 0;
    std::function<void(const Visit&)> forEachMessage;
};
// The stream of a document held whole; the document must outlive the stream.
ExportStream streamOf(const ExportDocument& doc);
// Throws kx::Error when a writer was handed another number of messages than the
// stream announced. The messages are read from one snapshot of the archive, so
// that is never a run archiving meanwhile: the archive's tables disagree.
void checkMessageCount(const ExportStream& doc, std::int64_t read);

// Where a writer puts its bytes, in order.
using ExportOutput = std::function<void(std::string_view)>;

// What a CSV shows differently from the archive.
struct CsvNotes {
    std::int64_t replacedNulBytes = 0;
};

// The writers. Each throws kx::Error when the output cannot be made (and passes
// on whatever `out` or the message source throws).
void writeJson(const ExportStream& doc, const ExportOutput& out);
void writeCsv(const ExportStream& doc, const ExportOutput& out, CsvNotes* notes = nullptr);
void writePdf(const ExportStream& doc, const ExportOutput& out);
void write(const ExportStream& doc, ExportFormat format, const ExportOutput& out, CsvNotes* notes = nullptr);

// The same, into memory, for documents held whole.
std::string renderJson(const ExportDocument& doc);
std::string renderCsv(const ExportDocument& doc, CsvNotes* notes = nullptr);
// Throws kx::Error when the PDF cannot be drawn.
std::string renderPdf(const ExportDocument& doc);
std::string render(const ExportDocument& doc, ExportFormat format);

// One CSV cell: made inert when it would start a formula (see above), then
// quoted. NUL bytes become U+FFFD, each counted in `replacedNulBytes` when given.
std::string csvCell(const std::string& value, std::int64_t* replacedNulBytes = nullptr);

// "Conversation with Alice (+15550001111): 42 messages, 2024-03-01 to 2024-03-05, as PDF."
std::string describeExport(const ExportDocument& doc, ExportFormat format);
// The same from the document's head and figures gathered while it was written:
// the message count and the earliest and latest message dates.
std::string describeExport(const ExportDocument& head, std::int64_t messageCount, std::optional<Date> first,
                           std::optional<Date> last, ExportFormat format);

} // namespace kx
