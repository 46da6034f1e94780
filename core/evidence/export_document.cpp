#include "core/evidence/export_document.h"

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

} // namespace

std::string renderJson(const ExportDocument& doc) {
    nlohmann::json messages = nlohmann::json::array();
    for (const auto& m : doc.messages) {
        nlohmann::json attachments = nlohmann::json::array();
        for (const auto& a : m.attachments)
            attachments.push_back({{"id", a.id},
                                   {"fileName", optionalText(a.fileName)},
                                   {"mimeType", optionalText(a.mimeType)},
                                   {"totalBytes", a.totalBytes},
                                   {"sha256", optionalText(a.sha256)}});
        messages.push_back({{"guid", m.guid},
                            {"utc", optionalUTC(m.date)},
                            {"local", m.date ? nlohmann::json(doc.timeZone.formatLocal(*m.date)) : nlohmann::json()},
                            {"senderName", m.senderName},
                            {"senderHandle", m.senderHandle},
                            {"fromMe", m.isFromMe},
                            {"service", optionalText(m.service)},
                            {"text", optionalText(m.text)},
                            {"edited", optionalUTC(m.dateEdited)},
                            {"unsent", optionalUTC(m.dateRetracted)},
                            {"attachments", attachments},
                            {"sources", m.sources}});
    }
    nlohmann::json j = {{"kind", "kelvara-conversation-export"},
                        {"version", 1},
                        {"owner", doc.owner},
                        {"conversation",
                         {{"key", doc.conversationKey},
                          {"name", doc.conversationName},
                          {"detail", doc.conversationDetail}}},
                        {"exportedAt", formatUTCSeconds(doc.exportedAt)},
                        {"appVersion", doc.appVersion},
                        {"timeZone", doc.timeZone.identifier},
                        {"messageCount", doc.messages.size()},
                        {"messages", messages}};
    return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
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

std::string renderCsv(const ExportDocument& doc, CsvNotes* notes) {
    std::int64_t nul = 0;
    std::string out;
    auto row = [&](const std::vector<std::string>& cells) {
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (i) out += ',';
            out += csvCell(cells[i], &nul);
        }
        out += "\r\n";
    };
    row({"guid", "utc_time", "local_time", "sender_name", "sender_handle", "from_me", "text", "attachments",
         "attachment_sha256", "sources"});
    for (const auto& m : doc.messages) {
        std::vector<std::string> names, hashes;
        for (const auto& a : m.attachments) {
            names.push_back(a.fileName.value_or(a.id));
            hashes.push_back(a.sha256.value_or(""));
        }
        row({m.guid, m.date ? formatUTCSeconds(*m.date) : "", m.date ? doc.timeZone.formatLocal(*m.date) : "",
             m.senderName, m.senderHandle, m.isFromMe ? "yes" : "no", m.text.value_or(""), join(names), join(hashes),
             join(m.sources)});
    }
    if (notes) notes->replacedNulBytes = nul;
    return out;
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
    std::string who = doc.conversationName;
    if (doc.conversationName != doc.conversationKey) who += " (" + doc.conversationKey + ")";
    std::string text = "Conversation with " + who + ": ";
    const auto n = doc.messages.size();
    if (n == 0) {
        text += "no messages";
    } else {
        text += std::to_string(n) + (n == 1 ? " message" : " messages");
        std::optional<Date> first, last;
        for (const auto& m : doc.messages) {
            if (!m.date) continue;
            if (!first || *m.date < *first) first = m.date;
            if (!last || *m.date > *last) last = m.date;
        }
        if (first) {
            const std::string a = dayOf(doc, *first), b = dayOf(doc, *last);
            text += a == b ? ", " + a : ", " + a + " to " + b;
        }
    }
    return text + ", as " + exportFormatLabel(format) + ".";
}

} // namespace kx
