// The PDF writer of an exported conversation (see export_document.h).
//
// Layout: the document is cut into lines first (every line of every pango
// layout), the lines are placed on A4 pages, then drawn. Placing whole lines
// lets a message of any length run over pages; a message's heading line is
// never left alone at the foot of a page. Text is handed to pango as plain text,
// never as markup, so nothing in a message can change the layout.
//
// Bidirectional text: everything that comes from the data (names, handles, file
// names, bodies, the conversation's name) is drawn inside a first-strong isolate,
// and every layout that carries the export's own words runs left to right, so a
// right-to-left override in a name reorders that name and never the dates,
// labels and page numbers beside it.
#include "core/evidence/export_document.h"

#include "core/platform/error.h"

#include <cairo-pdf.h>
#include <cairo.h>
#include <glib.h>
#include <pango/pangocairo.h>

#include <memory>
#include <vector>

namespace kx {

namespace {

constexpr double kPageWidth = 595.276; // A4 in points
constexpr double kPageHeight = 841.89;
constexpr double kMargin = 50;
constexpr double kFooter = 24; // space kept for the page number
constexpr double kMessageGap = 9;
// One family: fontconfig falls back per character (CJK, emoji). Naming the emoji
// font here would make pango take digits from it.
constexpr const char* kFamily = "Noto Sans";

struct Colour {
    double r, g, b;
};
constexpr Colour kText{0.1, 0.1, 0.1};
constexpr Colour kMuted{0.42, 0.42, 0.45};
constexpr Colour kOwn{0.05, 0.33, 0.67};

// Text that pango accepts: valid UTF-8, without the object-replacement
// characters Messages puts where an attachment sat (attachments are listed).
std::string printable(const std::string& input) {
    std::string text;
    text.reserve(input.size());
    for (char c : input) {
        if (c == '\0') text += "\xEF\xBF\xBD"; // a NUL would end the text early
        else text += c;
    }
    gchar* valid = g_utf8_make_valid(text.c_str(), static_cast<gssize>(text.size()));
    std::string s(valid);
    g_free(valid);
    const std::string obj = "\xEF\xBF\xBC";
    for (auto pos = s.find(obj); pos != std::string::npos; pos = s.find(obj, pos)) s.erase(pos, obj.size());
    return s;
}

// Untrusted text as an isolated run: FSI ... PDI around each paragraph (an isolate
// ends at a paragraph break). The closing PDI also ends every embedding and
// override opened inside the run. An isolate end in the data with no isolate of
// its own open would close ours early, so it is left out; on its own it does
// nothing.
std::string isolated(const std::string& input) {
    const std::string fsi = "\xE2\x81\xA8", pdi = "\xE2\x81\xA9";
    const std::string s = printable(input);
    std::string out = fsi;
    int open = 0;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        const std::string ch = s.substr(i, len);
        i += len;
        if (ch == "\xE2\x81\xA6" || ch == "\xE2\x81\xA7" || ch == fsi) { // LRI, RLI, FSI
            ++open;
        } else if (ch == pdi) {
            if (open == 0) continue;
            --open;
        } else if (ch == "\n" || ch == "\r" || ch == "\xC2\x85" || ch == "\xE2\x80\xA9") { // paragraph breaks
            out += pdi + ch + fsi;
            open = 0;
            continue;
        }
        out += ch;
    }
    return out + pdi;
}

std::string sizeText(std::int64_t bytes) {
    char buf[32];
    if (bytes >= 1024 * 1024) std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    else if (bytes >= 1024) std::snprintf(buf, sizeof buf, "%.0f KB", static_cast<double>(bytes) / 1024.0);
    else std::snprintf(buf, sizeof buf, "%lld bytes", static_cast<long long>(bytes));
    return buf;
}

// Pango adds a hyphen where it breaks inside a word; the PDF must show only
// characters that are in the data, so every layout is told not to.
void noInsertedHyphens(PangoLayout* layout) {
    PangoAttrList* attrs = pango_attr_list_new();
    pango_attr_list_insert(attrs, pango_attr_insert_hyphens_new(FALSE));
    pango_layout_set_attributes(layout, attrs);
    pango_attr_list_unref(attrs);
}

void leftToRight(PangoLayout* layout) {
    pango_layout_set_auto_dir(layout, FALSE);
    pango_context_set_base_dir(pango_layout_get_context(layout), PANGO_DIRECTION_LTR);
    pango_layout_context_changed(layout);
}

struct Line {
    PangoLayout* layout = nullptr; // shared; kept alive by Renderer::layouts_
    int index = 0;
    double height = 0;
    double baseline = 0; // from the line's top
    double indent = 0;
    double gapBefore = 0; // dropped at the top of a page
    bool keepWithNext = false;
    Colour colour = kText;
};

class Renderer {
public:
    explicit Renderer(cairo_t* cr) : cr_(cr) {}
    ~Renderer() {
        for (auto* l : layouts_) g_object_unref(l);
    }

    // ownWords: the text mixes the export's own words with isolated data; it
    // then runs left to right whatever the data's direction.
    void add(const std::string& text, double size, bool bold, bool italic, Colour colour, double indent,
             double gapBefore, bool keepWithNext, bool ownWords = true) {
        PangoLayout* layout = pango_cairo_create_layout(cr_);
        layouts_.push_back(layout);
        PangoFontDescription* font = pango_font_description_from_string(kFamily);
        pango_font_description_set_size(font, static_cast<gint>(size * PANGO_SCALE));
        if (bold) pango_font_description_set_weight(font, PANGO_WEIGHT_BOLD);
        if (italic) pango_font_description_set_style(font, PANGO_STYLE_ITALIC);
        pango_layout_set_font_description(layout, font);
        pango_font_description_free(font);
        pango_layout_set_width(layout, static_cast<int>((kPageWidth - 2 * kMargin - indent) * PANGO_SCALE));
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
        noInsertedHyphens(layout);
        if (ownWords) leftToRight(layout);
        const std::string t = printable(text);
        pango_layout_set_text(layout, t.c_str(), static_cast<int>(t.size()));

        PangoLayoutIter* it = pango_layout_get_iter(layout);
        int index = 0;
        const std::size_t first = lines_.size();
        do {
            PangoRectangle logical;
            pango_layout_iter_get_line_extents(it, nullptr, &logical);
            const int baseline = pango_layout_iter_get_baseline(it);
            Line line;
            line.layout = layout;
            line.index = index++;
            line.height = static_cast<double>(logical.height) / PANGO_SCALE;
            line.baseline = static_cast<double>(baseline - logical.y) / PANGO_SCALE;
            line.indent = indent;
            line.colour = colour;
            lines_.push_back(line);
        } while (pango_layout_iter_next_line(it));
        pango_layout_iter_free(it);
        lines_[first].gapBefore = gapBefore;
        lines_.back().keepWithNext = keepWithNext;
    }

    // Places every line; returns the page count.
    int paginate() {
        const double top = kMargin, bottom = kPageHeight - kMargin - kFooter;
        int page = 0;
        double y = top;
        placed_.assign(lines_.size(), {0, 0});
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            const Line& l = lines_[i];
            double need = (y > top ? l.gapBefore : 0) + l.height;
            // A heading goes with the first line after it.
            if (l.keepWithNext && i + 1 < lines_.size()) need += lines_[i + 1].height;
            if (y + need > bottom && y > top) {
                ++page;
                y = top;
            }
            if (y > top) y += l.gapBefore;
            placed_[i] = {page, y};
            y += l.height;
        }
        return page + 1;
    }

    void draw(cairo_surface_t* surface, int pages, const std::string& footer) {
        int current = 0;
        auto finishPage = [&] {
            drawFooter(footer, current + 1, pages);
            cairo_show_page(cr_);
        };
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            while (placed_[i].first > current) {
                finishPage();
                ++current;
            }
            const Line& l = lines_[i];
            cairo_set_source_rgb(cr_, l.colour.r, l.colour.g, l.colour.b);
            cairo_move_to(cr_, kMargin + l.indent, placed_[i].second + l.baseline);
            pango_cairo_show_layout_line(cr_, pango_layout_get_line_readonly(l.layout, l.index));
        }
        while (current < pages) {
            finishPage();
            ++current;
        }
        cairo_surface_flush(surface);
    }

private:
    void drawFooter(const std::string& footer, int page, int pages) {
        PangoLayout* layout = pango_cairo_create_layout(cr_);
        PangoFontDescription* font = pango_font_description_from_string(kFamily);
        pango_font_description_set_size(font, 8 * PANGO_SCALE);
        pango_layout_set_font_description(layout, font);
        pango_font_description_free(font);
        pango_layout_set_width(layout, static_cast<int>((kPageWidth - 2 * kMargin) * PANGO_SCALE));
        pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER);
        pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_MIDDLE);
        noInsertedHyphens(layout);
        leftToRight(layout);
        const std::string text = "Conversation with " + isolated(footer) + "  ·  Page " + std::to_string(page) +
                                 " of " + std::to_string(pages);
        pango_layout_set_text(layout, text.c_str(), static_cast<int>(text.size()));
        cairo_set_source_rgb(cr_, kMuted.r, kMuted.g, kMuted.b);
        cairo_move_to(cr_, kMargin, kPageHeight - kMargin - 10);
        pango_cairo_show_layout(cr_, layout);
        g_object_unref(layout);
    }

    cairo_t* cr_;
    std::vector<PangoLayout*> layouts_;
    std::vector<Line> lines_;
    std::vector<std::pair<int, double>> placed_;
};

cairo_status_t appendBytes(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

} // namespace

std::string renderPdf(const ExportDocument& doc) {
    std::string out;
    cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(appendBytes, &out, kPageWidth, kPageHeight);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        throw Error("the PDF could not be started");
    }
    const std::string title = "Conversation with " + doc.conversationName;
    cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_TITLE, printable(title).c_str());
    cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_CREATOR, ("Kelvara " + doc.appVersion).c_str());
    cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_CREATE_DATE, formatUTCSeconds(doc.exportedAt).c_str());
    cairo_t* cr = cairo_create(surface);
    {
        Renderer r(cr);
        r.add("Conversation with " + isolated(doc.conversationName), 16, true, false, kText, 0, 0, false);
        std::string sub = isolated(doc.conversationKey);
        if (!doc.conversationDetail.empty()) sub += "  ·  " + isolated(doc.conversationDetail);
        r.add(sub, 9.5, false, false, kMuted, 0, 2, false);
        const auto n = doc.messages.size();
        r.add(std::to_string(n) + (n == 1 ? " message" : " messages") + " from " + isolated(doc.owner) +
                  "'s archive. Exported " + doc.timeZone.formatLocal(doc.exportedAt) + " by Kelvara " + doc.appVersion +
                  ". Times are shown in " + doc.timeZone.identifier + ".",
              8.5, false, false, kMuted, 0, 2, false);
        for (const auto& m : doc.messages) {
            std::string head = isolated(m.senderName);
            if (!m.senderHandle.empty() && m.senderHandle != m.senderName)
                head += "  <" + isolated(m.senderHandle) + ">";
            head += "  ·  ";
            if (m.date) {
                const std::string abbr = doc.timeZone.abbreviation ? doc.timeZone.abbreviation(*m.date) : "";
                head += doc.timeZone.formatLocal(*m.date) + (abbr.empty() ? "" : " " + abbr);
            } else {
                head += "no date";
            }
            if (m.dateEdited) head += "  ·  edited";
            if (m.dateRetracted) head += "  ·  unsent";
            r.add(head, 8.5, true, false, m.isFromMe ? kOwn : kMuted, 0, kMessageGap, true);
            const std::string text = m.text ? printable(*m.text) : std::string();
            if (!text.empty()) r.add(isolated(text), 10.5, false, false, kText, 0, 1, false, false);
            for (const auto& a : m.attachments) {
                std::string line = "Attachment: " + isolated(a.fileName.value_or(a.id));
                std::string details;
                if (a.mimeType) details = isolated(*a.mimeType);
                if (a.totalBytes > 0) details += (details.empty() ? "" : ", ") + sizeText(a.totalBytes);
                if (!a.sha256) details += std::string(details.empty() ? "" : ", ") + "bytes not in the archive";
                if (!details.empty()) line += " (" + details + ")";
                r.add(line, 8.5, false, true, kMuted, 10, 1, false);
            }
        }
        const int pages = r.paginate();
        r.draw(surface, pages, doc.conversationName);
    }
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    const cairo_status_t status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS)
        throw Error(std::string("the PDF could not be drawn: ") + cairo_status_to_string(status));
    return out;
}

} // namespace kx
