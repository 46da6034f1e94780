#include "core/evidence/export_document.h"

#include "core/platform/error.h"

#include <nlohmann/json.hpp>

namespace kx {

namespace {

nlohmann::json optionalText(const std::optional<std::string>& s) { return s ? nlohmann::json(*s) : nlohmann::json(); }

nlohmann::json optionalUTC(const std::optional<Date>& d) {
    return d ? nlohmann::json(formatUTCSeconds(*d)) : nlohmann::json();
}

std::string join(const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& p : parts) {
        if (!out.empty()) out += "; ";
        out += p;
    }
    return out;
}

std::string dayOf(const ExportDocument& doc, Date d) { return doc.timeZone.formatLocal(d).substr(0, 10); }

nlohmann::json messageJson(const ExportDocument& head, const ExportMessage& m) {
    nlohmann::json attachments = nlohmann::json::array();
    for (const auto& a : m.attachments)
        attachments.push_back({{"id", a.id},
                               {"fileName", optionalText(a.fileName)},
                               {"mimeType", optionalText(a.mimeType)},
                               {"totalBytes", a.totalBytes},
                               {"sha256", optionalText(a.sha256)}});
    nlohmann::json versions = nlohmann::json::array();
    for (const auto& v : m.earlierVersions) versions.push_back({{"text", v.text}, {"utc", optionalUTC(v.date)}});
    return {{"guid", m.guid},
            {"utc", optionalUTC(m.date)},
            {"local", m.date ? nlohmann::json(head.timeZone.formatLocal(*m.date)) : nlohmann::json()},
            {"senderName", m.senderName},
            {"senderHandle", m.senderHandle},
            {"fromMe", m.isFromMe},
            {"service", optionalText(m.service)},
            {"text", optionalText(m.text)},
            {"edited", optionalUTC(m.dateEdited)},
            {"unsent", optionalUTC(m.dateRetracted)},
            {"earlierVersions", versions},
            {"attachments", attachments},
            {"sources", m.sources}};
}

std::string dumped(const nlohmann::json& j) { return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace); }

} // namespace

void checkMessageCount(const ExportStream& doc, std::int64_t read) {
    if (read != doc.messageCount)
        throw Error("the archive's tables disagree about this conversation: they count " +
                    std::to_string(doc.messageCount) + " messages in it, but " + std::to_string(read) +
                    " were read, so it may have been changed outside Kelvara; check it under Tamper-evidence");
}

ExportStream streamOf(const ExportDocument& doc) {
    ExportStream s;
    s.head.owner = doc.owner;
    s.head.conversationKey = doc.conversationKey;
    s.head.conversationName = doc.conversationName;
    s.head.conversationDetail = doc.conversationDetail;
    s.head.exportedAt = doc.exportedAt;
    s.head.appVersion = doc.appVersion;
    s.head.timeZone = doc.timeZone;
    s.messageCount = static_cast<std::int64_t>(doc.messages.size());
    s.forEachMessage = [&doc](const ExportStream::Visit& visit) {
        for (const auto& m : doc.messages) visit(m);
    };
    return s;
}

// The document is one JSON object whose keys come out sorted, "messages" among
// them. It is written as the whole object would be dumped, with the message
// list written one message at a time where a placeholder stood.
void writeJson(const ExportStream& doc, const ExportOutput& out) {
    static const std::string kPlaceholder = "kelvara-messages-are-written-here";
    const nlohmann::json top = {{"kind", "kelvara-conversation-export"},
                                {"version", 1},
                                {"owner", doc.head.owner},
                                {"conversation",
                                 {{"key", doc.head.conversationKey},
                                  {"name", doc.head.conversationName},
                                  {"detail", doc.head.conversationDetail}}},
                                {"exportedAt", formatUTCSeconds(doc.head.exportedAt)},
                                {"appVersion", doc.head.appVersion},
                                {"timeZone", doc.head.timeZone.identifier},
                                {"messageCount", doc.messageCount},
                                {"messages", kPlaceholder}};
    const std::string frame = dumped(top);
    // A quote right before the placeholder and after the key is the dump's own:
    // quotes inside texts are escaped.
    const std::string marker = "\n  \"messages\": \"" + kPlaceholder + "\"";
    const auto at = frame.find(marker);
    if (at == std::string::npos) throw Error("the JSON export could not be laid out");
    out(std::string_view(frame).substr(0, at + marker.size() - kPlaceholder.size() - 2));

    std::int64_t written = 0;
    std::string item;
    doc.forEachMessage([&](const ExportMessage& m) {
        // Each message is dumped alone and indented to its depth in the list; a
        // line break in the dump is always its own, since texts escape theirs.
        const std::string one = dumped(messageJson(doc.head, m));
        item.assign(written == 0 ? "[\n    " : ",\n    ");
        for (char c : one) {
            item += c;
            if (c == '\n') item += "    ";
        }
        out(item);
        ++written;
    });
    checkMessageCount(doc, written);
    out(written == 0 ? "[]" : "\n  ]");
    out(std::string_view(frame).substr(at + marker.size()));
    out("\n");
}

std::string renderJson(const ExportDocument& doc) {
    std::string out;
    writeJson(streamOf(doc), [&](std::string_view bytes) { out.append(bytes); });
    return out;
}

namespace {

bool startsWith(const std::string& s, std::size_t at, const char* prefix) {
    return s.compare(at, std::char_traits<char>::length(prefix), prefix) == 0;
}

// True when a spreadsheet would take the cell for a formula (or a command, for
// some programs): a formula sign first, or after spaces, ASCII or full-width.
bool looksLikeFormula(const std::string& v) {
    if (v.empty()) return false;
    if (v[0] == '\t' || v[0] == '\r') return true;
    std::size_t i = 0;
    for (;;) {
        if (i < v.size() && v[i] == ' ') ++i;
        else if (startsWith(v, i, "\xC2\xA0")) i += 2;     // no-break space
        else if (startsWith(v, i, "\xE3\x80\x80")) i += 3; // ideographic space
        else break;
    }
    if (i >= v.size()) return false;
    const char c = v[i];
    if (c == '=' || c == '+' || c == '-' || c == '@') return true;
    // Full-width ＋ (U+FF0B), － (U+FF0D), ＝ (U+FF1D), ＠ (U+FF20).
    return startsWith(v, i, "\xEF\xBC\x8B") || startsWith(v, i, "\xEF\xBC\x8D") || startsWith(v, i, "\xEF\xBC\x9D") ||
           startsWith(v, i, "\xEF\xBC\xA0");
}

// The CSV's first line: the apostrophe and NUL rules in words. Kept free of
// commas, quotes and semicolons so that every reader takes it as one cell, and
// a reader told that "#" starts a comment skips it.
constexpr const char* kCsvRuleLine =
    "# Kelvara conversation export. A cell that starts with an apostrophe got it from this export so that a "
    "spreadsheet shows it as text and never runs it as a formula: remove that one apostrophe to read the data "
    "(data that starts with an apostrophe starts with two here). NUL bytes are written as U+FFFD.\r\n";

} // namespace

std::string csvCell(const std::string& value, std::int64_t* replacedNulBytes) {
    std::string out = "\"";
    // A leading apostrophe is always the export's: the guard's, or the first of a doubled one.
    if (looksLikeFormula(value) || (!value.empty() && value[0] == '\'')) out += '\'';
    for (char c : value) {
        if (c == '"') {
            out += "\"\"";
        } else if (c == '\0') {
            out += "\xEF\xBF\xBD";
            if (replacedNulBytes) ++*replacedNulBytes;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

void writeCsv(const ExportStream& doc, const ExportOutput& out, CsvNotes* notes) {
    std::int64_t nul = 0;
    std::string line;
    auto row = [&](const std::vector<std::string>& cells) {
        line.clear();
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (i) line += ',';
            line += csvCell(cells[i], &nul);
        }
        line += "\r\n";
        out(line);
    };
    out(kCsvRuleLine);
    row({"guid", "utc_time", "local_time", "sender_name", "sender_handle", "from_me", "text", "attachments",
         "attachment_sha256", "sources", "service", "edited_utc", "unsent_utc"});
    std::int64_t written = 0;
    doc.forEachMessage([&](const ExportMessage& m) {
        std::vector<std::string> names, hashes;
        for (const auto& a : m.attachments) {
            names.push_back(a.fileName.value_or(a.id));
            hashes.push_back(a.sha256.value_or(""));
        }
        const auto& zone = doc.head.timeZone;
        row({m.guid, m.date ? formatUTCSeconds(*m.date) : "", m.date ? zone.formatLocal(*m.date) : "", m.senderName,
             m.senderHandle, m.isFromMe ? "yes" : "no", m.text.value_or(""), join(names), join(hashes), join(m.sources),
             m.service.value_or(""), m.dateEdited ? formatUTCSeconds(*m.dateEdited) : "",
             m.dateRetracted ? formatUTCSeconds(*m.dateRetracted) : ""});
        ++written;
    });
    checkMessageCount(doc, written);
    if (notes) notes->replacedNulBytes = nul;
}

std::string renderCsv(const ExportDocument& doc, CsvNotes* notes) {
    std::string out;
    writeCsv(
        streamOf(doc), [&](std::string_view bytes) { out.append(bytes); }, notes);
    return out;
}

void write(const ExportStream& doc, ExportFormat format, const ExportOutput& out, CsvNotes* notes) {
    switch (format) {
    case ExportFormat::json: return writeJson(doc, out);
    case ExportFormat::csv: return writeCsv(doc, out, notes);
    case ExportFormat::pdf: return writePdf(doc, out);
    }
    writeJson(doc, out);
}

std::string render(const ExportDocument& doc, ExportFormat format) {
    switch (format) {
    case ExportFormat::json: return renderJson(doc);
    case ExportFormat::csv: return renderCsv(doc);
    case ExportFormat::pdf: return renderPdf(doc);
    }
    return renderJson(doc);
}

std::string describeExport(const ExportDocument& doc, ExportFormat format) {
    std::optional<Date> first, last;
    for (const auto& m : doc.messages) {
        if (!m.date) continue;
        if (!first || *m.date < *first) first = m.date;
        if (!last || *m.date > *last) last = m.date;
    }
    return describeExport(doc, static_cast<std::int64_t>(doc.messages.size()), first, last, format);
}

std::string describeExport(const ExportDocument& head, std::int64_t messageCount, std::optional<Date> first,
                           std::optional<Date> last, ExportFormat format) {
    std::string who = head.conversationName;
    if (head.conversationName != head.conversationKey) who += " (" + head.conversationKey + ")";
    std::string text = "Conversation with " + who + ": ";
    if (messageCount == 0) {
        text += "no messages";
    } else {
        text += std::to_string(messageCount) + (messageCount == 1 ? " message" : " messages");
        if (first && last) {
            const std::string a = dayOf(head, *first), b = dayOf(head, *last);
            text += a == b ? ", " + a : ", " + a + " to " + b;
        }
    }
    return text + ", as " + exportFormatLabel(format) + ".";
}

} // namespace kx
