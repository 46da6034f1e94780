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
#include <fribidi.h>
#include <glib.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <exception>
#include <iterator>
#include <memory>
#include <string_view>
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

// Untrusted text as a run of its own between `start` and `end`, repeated around
// each paragraph (a run ends at a paragraph break). Every embedding, override
// and isolate the data opens is closed again inside the run, explicitly. An
// isolate end or a pop of an embedding in the data with nothing of its own open
// would close ours early, so it is left out; on its own it does nothing.
std::string enclosed(const std::string& input, const std::string& start, const std::string& end) {
    const std::string fsi = "\xE2\x81\xA8", pdi = "\xE2\x81\xA9", pdf = "\xE2\x80\xAC";
    const std::string s = printable(input);
    std::string out = start;
    std::string open; // 'E' per embedding or override, 'I' per isolate, innermost last
    auto closeAll = [&] {
        for (auto it = open.rbegin(); it != open.rend(); ++it) out += *it == 'E' ? pdf : pdi;
        open.clear();
    };
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        const std::string ch = s.substr(i, len);
        i += len;
        if (ch == "\xE2\x81\xA6" || ch == "\xE2\x81\xA7" || ch == fsi) { // LRI, RLI, FSI
            open += 'I';
        } else if (ch == "\xE2\x80\xAA" || ch == "\xE2\x80\xAB" || ch == "\xE2\x80\xAD" ||
                   ch == "\xE2\x80\xAE") { // LRE, RLE, LRO, RLO
            open += 'E';
        } else if (ch == pdf) {
            if (open.empty() || open.back() != 'E') continue;
            open.pop_back();
        } else if (ch == pdi) {
            const auto at = open.rfind('I');
            if (at == std::string::npos) continue;
            // A PDI ends the embeddings opened inside its isolate too.
            for (std::size_t k = open.size(); k-- > at + 1;) out += pdf;
            open.resize(at);
        } else if (ch == "\n" || ch == "\r" || ch == "\xC2\x85" || ch == "\xE2\x80\xA9") { // paragraph breaks
            closeAll();
            out += end + ch + start;
            continue;
        }
        out += ch;
    }
    closeAll();
    return out + end;
}

// Untrusted text as an isolated run: FSI ... PDI.
std::string isolated(const std::string& input) { return enclosed(input, "\xE2\x81\xA8", "\xE2\x81\xA9"); }

// Untrusted text that reads left to right (a handle, a service) placed after an
// isolated run in the same line, without the characters that change direction,
// and followed by a left-to-right mark so that the digits after it (the time)
// stay where they are. Not a second isolate: FriBidi (1.0.8) gives an isolate
// that follows one with an override inside it the override's direction, so a
// contact name that leaves one open would turn the handle after it around.
std::string leftToRight(const std::string& input) {
    const std::string s = printable(input);
    std::string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        const gunichar u = g_utf8_get_char(s.data() + i);
        const bool control = u == 0x200E || u == 0x200F || u == 0x061C || (u >= 0x202A && u <= 0x202E) ||
                             (u >= 0x2066 && u <= 0x2069);
        if (!control) out.append(s, i, len);
        i += len;
    }
    return out + "\xE2\x80\x8E"; // LRM
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

// The pieces long texts are laid out in. Pango lays out a paragraph as a whole,
// loses text beyond some hundred kilobytes of one paragraph, and takes time that
// grows with the square of a word it has to break between letters. So a text is
// laid out a piece at a time. Each piece keeps all its lines but the last, and
// the next piece starts where that line started: greedy line breaking only
// looks as far as the end of the line it fills, so the lines come out as one
// layout of the whole text would make them.
constexpr std::size_t kPieceBytes = 1024;

// Lines of the export's own words longer than this are ellipsized by pango
// (the page footer); a name longer than it is cut first.
constexpr std::size_t kFooterNameBytes = 512;

std::size_t utf8Length(unsigned char lead) { return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4; }

// Cuts a valid UTF-8 text at no more than `bytes`, on a character boundary.
std::size_t characterBoundary(const std::string& s, std::size_t at) {
    while (at > 0 && at < s.size() && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80) --at;
    return at;
}

// The explicit directional state at a point of a text: which embeddings,
// overrides and isolates are open there. A piece that starts inside them opens
// them again, so its characters are ordered as in the whole text. A first-strong
// isolate is reopened with the direction it took from its first strong letter.
class BidiState {
public:
    explicit BidiState(const std::string& text) : text_(text) {}

    // Moves the state forward to `to` (a character boundary after the last one).
    void advance(std::size_t to) {
        for (std::size_t i = at_; i < to;) {
            const std::size_t len = utf8Length(static_cast<unsigned char>(text_[i]));
            const gunichar c = g_utf8_get_char(text_.data() + i);
            switch (c) {
            case 0x202A:
            case 0x202B:
            case 0x202D:
            case 0x202E: // LRE RLE LRO RLO
                push(i, len, false);
                break;
            case 0x2066:
            case 0x2067:
            case 0x2068: // LRI RLI FSI
                push(i, len, true);
                break;
            case 0x202C: // PDF: ends the innermost embedding unless an isolate is inside it
                if (!open_.empty() && !open_.back().isolate) open_.pop_back();
                break;
            case 0x2069: // PDI: ends the innermost isolate and all opened inside it
                for (auto it = open_.rbegin(); it != open_.rend(); ++it)
                    if (it->isolate) {
                        open_.erase(std::next(it).base(), open_.end());
                        break;
                    }
                break;
            case '\n':
            case '\r':
            case 0x1C:
            case 0x1D:
            case 0x1E:
            case 0x85:
            case 0x2029: // paragraph ends
                open_.clear();
                break;
            default: break;
            }
            i += len;
        }
        at_ = to;
    }

    // The controls that reopen the open state.
    std::string reopening() const {
        std::string out;
        for (const auto& o : open_) {
            if (text_.compare(o.at, 3, "\xE2\x81\xA8") != 0) { // not FSI
                out.append(text_, o.at, o.length);
                continue;
            }
            out += rightToLeftAfter(o.at + o.length) ? "\xE2\x81\xA7" : "\xE2\x81\xA6"; // RLI : LRI
        }
        return out;
    }

private:
    struct Open {
        std::size_t at, length;
        bool isolate;
    };
    void push(std::size_t at, std::size_t length, bool isolate) {
        if (open_.size() < kMaxDepth) open_.push_back({at, length, isolate});
    }
    // The direction a first-strong isolate takes: that of the first strong
    // letter inside it (looked for over a bounded stretch), else left to right.
    bool rightToLeftAfter(std::size_t from) const {
        const std::size_t end = std::min(text_.size(), from + 64 * 1024);
        int depth = 0;
        for (std::size_t i = from; i < end; i += utf8Length(static_cast<unsigned char>(text_[i]))) {
            const gunichar c = g_utf8_get_char(text_.data() + i);
            if (c == 0x2066 || c == 0x2067 || c == 0x2068) ++depth;
            else if (c == 0x2069 && depth-- == 0) return false;
            else if (c == '\n' || c == '\r' || c == 0x85 || c == 0x2029) return false;
            else if (depth == 0) {
                const FriBidiCharType t = fribidi_get_bidi_type(c);
                if (t == FRIBIDI_TYPE_LTR) return false;
                if (t == FRIBIDI_TYPE_RTL || t == FRIBIDI_TYPE_AL) return true;
            }
        }
        return false;
    }
    static constexpr std::size_t kMaxDepth = 125; // the deepest nesting the bidi algorithm honours

    const std::string& text_;
    std::size_t at_ = 0;
    std::vector<Open> open_;
};

struct Style {
    double size = 10.5;
    bool bold = false, italic = false;
    double indent = 0;
    bool ownWords = true; // runs left to right whatever the data's direction
};

// The contexts layouts are made in: the export's own words run left to right;
// message bodies take their direction from their first strong letter, except
// the later pieces of a long paragraph, which keep the direction its first
// piece took.
struct Contexts {
    PangoContext* leftToRight = nullptr;
    PangoContext* rightToLeft = nullptr;
    PangoContext* automatic = nullptr;
    // For a paragraph after a right-to-left one: pango gives a paragraph
    // without strong letters the direction of the one before it.
    PangoContext* automaticAfterRightToLeft = nullptr;
};

PangoLayout* newLayout(PangoContext* context, bool autoDir, const PangoFontDescription* font, const Style& style,
                       const std::string& text) {
    PangoLayout* layout = pango_layout_new(context);
    pango_layout_set_font_description(layout, font);
    pango_layout_set_width(layout, static_cast<int>((kPageWidth - 2 * kMargin - style.indent) * PANGO_SCALE));
    pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
    noInsertedHyphens(layout);
    if (!autoDir) pango_layout_set_auto_dir(layout, FALSE);
    pango_layout_set_text(layout, text.c_str(), static_cast<int>(text.size()));
    return layout;
}

// Calls `line` for every line of the layout up to `keep`.
template <typename F>
void forLines(PangoLayout* layout, int keep, F& line) {
    PangoLayoutIter* it = pango_layout_get_iter(layout);
    for (int index = 0; index < keep; ++index) {
        line(layout, it, index);
        pango_layout_iter_next_line(it);
    }
    pango_layout_iter_free(it);
}

// One paragraph (without its delimiter) laid out in pieces. Returns whether
// it ran right to left.
template <typename F>
bool forEachParagraphLine(const Contexts& contexts, const PangoFontDescription* font, const Style& style,
                          const std::string& text, bool afterRightToLeft, F& line) {
    BidiState bidi(text);
    std::size_t from = 0;
    std::string prefix;
    PangoContext* context = style.ownWords     ? contexts.leftToRight
                            : afterRightToLeft ? contexts.automaticAfterRightToLeft
                                               : contexts.automatic;
    bool autoDir = !style.ownWords;
    bool rightToLeft = false;
    for (;;) {
        std::size_t to = text.size();
        if (to - from > kPieceBytes) to = characterBoundary(text, from + kPieceBytes);
        const bool last = to == text.size();
        PangoLayout* layout = newLayout(context, autoDir, font, style, prefix + text.substr(from, to - from));
        const int count = pango_layout_get_line_count(layout);
        int keep = count;
        std::size_t next = to;
        if (!last && count > 1) {
            // The last line may continue past the piece: it is laid out again
            // at the start of the next one.
            const int start = pango_layout_get_line_readonly(layout, count - 1)->start_index;
            if (static_cast<std::size_t>(start) > prefix.size()) {
                keep = count - 1;
                next = from + (static_cast<std::size_t>(start) - prefix.size());
            }
        }
        if (autoDir) {
            rightToLeft = pango_layout_get_line_readonly(layout, 0)->resolved_dir == PANGO_DIRECTION_RTL;
            context = rightToLeft ? contexts.rightToLeft : contexts.leftToRight;
            autoDir = false;
        }
        forLines(layout, keep, line);
        g_object_unref(layout);
        if (last) return rightToLeft;
        bidi.advance(next);
        prefix = bidi.reopening();
        from = next;
    }
}

// Lays out `text` (valid UTF-8) and calls `line` for every line in order, with
// the layout it belongs to (valid during the call only). A long text is laid
// out in runs of whole paragraphs of up to a piece's length (pango lays out
// each paragraph on its own anyway), a longer paragraph alone and in pieces.
template <typename F>
void forEachLine(const Contexts& contexts, const PangoFontDescription* font, const Style& style,
                 const std::string& text, F&& line) {
    bool rightToLeft = false; // the direction of the paragraph before
    auto layOutRun = [&](std::size_t from, std::size_t to) {
        PangoContext* context = style.ownWords ? contexts.leftToRight
                                : rightToLeft  ? contexts.automaticAfterRightToLeft
                                               : contexts.automatic;
        PangoLayout* layout = newLayout(context, !style.ownWords, font, style, text.substr(from, to - from));
        const int count = pango_layout_get_line_count(layout);
        rightToLeft = pango_layout_get_line_readonly(layout, count - 1)->resolved_dir == PANGO_DIRECTION_RTL;
        forLines(layout, count, line);
        g_object_unref(layout);
    };
    if (text.size() <= kPieceBytes) {
        layOutRun(0, text.size());
        return;
    }
    // Pango's paragraph delimiters: \n, \r, \r\n and U+2029.
    std::size_t start = 0;                                // of the paragraph at hand
    std::size_t runStart = std::string::npos, runEnd = 0; // the paragraphs waiting to be laid out
    for (std::size_t i = 0;; ++i) {
        std::size_t delimiter = 0;
        if (i < text.size()) {
            if (text[i] == '\n') delimiter = 1;
            else if (text[i] == '\r') delimiter = i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
            else if (text.compare(i, 3, "\xE2\x80\xA9") == 0) delimiter = 3;
            if (delimiter == 0) continue;
        }
        if (runStart != std::string::npos && i - runStart > kPieceBytes) {
            layOutRun(runStart, runEnd);
            runStart = std::string::npos;
        }
        if (i - start > kPieceBytes) {
            rightToLeft = forEachParagraphLine(contexts, font, style, text.substr(start, i - start), rightToLeft, line);
        } else {
            if (runStart == std::string::npos) runStart = start;
            runEnd = i;
        }
        if (i >= text.size()) break;
        i += delimiter - 1;
        start = i + 1;
    }
    if (runStart != std::string::npos) layOutRun(runStart, runEnd);
}

// One line as placed on a page.
struct Placed {
    int page = 0;
    double y = 0; // the line's top
};

// Lays the document out in two passes over its messages: the first measures
// every line and places it on a page, the second lays the same text out again
// and draws it. Only the line positions are held between the passes, so memory
// does not grow with the text of the conversation.
class Renderer {
public:
    explicit Renderer(cairo_t* cr) : cr_(cr) {
        contexts_.leftToRight = pango_cairo_create_context(cr_);
        pango_context_set_base_dir(contexts_.leftToRight, PANGO_DIRECTION_LTR);
        contexts_.rightToLeft = pango_cairo_create_context(cr_);
        pango_context_set_base_dir(contexts_.rightToLeft, PANGO_DIRECTION_RTL);
        contexts_.automatic = pango_cairo_create_context(cr_);
        contexts_.automaticAfterRightToLeft = pango_cairo_create_context(cr_);
        pango_context_set_base_dir(contexts_.automaticAfterRightToLeft, PANGO_DIRECTION_RTL);
    }
    ~Renderer() {
        g_object_unref(contexts_.leftToRight);
        g_object_unref(contexts_.rightToLeft);
        g_object_unref(contexts_.automatic);
        g_object_unref(contexts_.automaticAfterRightToLeft);
        for (auto* f : fonts_) pango_font_description_free(f);
    }
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    // Measuring: every line's height, then pages.
    void beginMeasuring() {
        drawing_ = false;
        boxes_.clear();
    }
    // Drawing: the same calls again, in the same order.
    void beginDrawing(const std::string& footer) {
        drawing_ = true;
        paginate();
        footer_ = footer.size() > kFooterNameBytes ? footer.substr(0, characterBoundary(footer, kFooterNameBytes)) + "…"
                                                   : footer;
        next_ = 0;
        page_ = 0;
    }

    // ownWords: the text mixes the export's own words with isolated data; it
    // then runs left to right whatever the data's direction.
    void add(const std::string& text, double size, bool bold, bool italic, Colour colour, double indent,
             double gapBefore, bool keepWithNext, bool ownWords = true) {
        const Style style{size, bold, italic, indent, ownWords};
        const std::string t = printable(text);
        if (!drawing_) {
            const std::size_t firstBox = boxes_.size();
            forEachLine(contexts_, font(style), style, t, [&](PangoLayout*, PangoLayoutIter* it, int) {
                PangoRectangle logical;
                pango_layout_iter_get_line_extents(it, nullptr, &logical);
                const int baseline = pango_layout_iter_get_baseline(it);
                Box b;
                b.height = static_cast<double>(logical.height) / PANGO_SCALE;
                b.baseline = static_cast<double>(baseline - logical.y) / PANGO_SCALE;
                boxes_.push_back(b);
            });
            boxes_[firstBox].gapBefore = gapBefore;
            boxes_.back().keepWithNext = keepWithNext;
            return;
        }
        forEachLine(contexts_, font(style), style, t, [&](PangoLayout* layout, PangoLayoutIter*, int index) {
            if (next_ >= placed_.size()) throw Error("the PDF's pages could not be laid out twice alike");
            const Placed& p = placed_[next_++];
            while (p.page > page_) finishPage();
            cairo_set_source_rgb(cr_, colour.r, colour.g, colour.b);
            cairo_move_to(cr_, kMargin + indent, p.y + baselines_[next_ - 1]);
            pango_cairo_show_layout_line(cr_, pango_layout_get_line_readonly(layout, index));
        });
    }

    int pages() const { return pages_; }

    // Ends the drawing: the last page's footer and any pages left.
    void finish(cairo_surface_t* surface) {
        if (next_ != placed_.size()) throw Error("the PDF's pages could not be laid out twice alike");
        while (page_ < pages_) finishPage();
        cairo_surface_flush(surface);
    }

private:
    struct Box {
        double height = 0;
        double baseline = 0;  // from the line's top
        double gapBefore = 0; // dropped at the top of a page
        bool keepWithNext = false;
    };

    PangoFontDescription* font(const Style& style) {
        const std::size_t key = (style.bold ? 1 : 0) | (style.italic ? 2 : 0);
        for (std::size_t i = 0; i < fontKeys_.size(); ++i)
            if (fontKeys_[i].first == key && fontKeys_[i].second == style.size) return fonts_[i];
        PangoFontDescription* f = pango_font_description_from_string(kFamily);
        pango_font_description_set_size(f, static_cast<gint>(style.size * PANGO_SCALE));
        if (style.bold) pango_font_description_set_weight(f, PANGO_WEIGHT_BOLD);
        if (style.italic) pango_font_description_set_style(f, PANGO_STYLE_ITALIC);
        fonts_.push_back(f);
        fontKeys_.emplace_back(key, style.size);
        return f;
    }

    // Places every measured line: a message's heading never stays alone at the
    // foot of a page.
    void paginate() {
        const double top = kMargin, bottom = kPageHeight - kMargin - kFooter;
        int page = 0;
        double y = top;
        placed_.assign(boxes_.size(), {});
        baselines_.assign(boxes_.size(), 0);
        for (std::size_t i = 0; i < boxes_.size(); ++i) {
            const Box& l = boxes_[i];
            double need = (y > top ? l.gapBefore : 0) + l.height;
            // A heading goes with the first line after it.
            if (l.keepWithNext && i + 1 < boxes_.size()) need += boxes_[i + 1].height;
            if (y + need > bottom && y > top) {
                ++page;
                y = top;
            }
            if (y > top) y += l.gapBefore;
            placed_[i] = {page, y};
            baselines_[i] = l.baseline;
            y += l.height;
        }
        std::vector<Box>().swap(boxes_);
        pages_ = page + 1;
    }

    void finishPage() {
        drawFooter(page_ + 1, pages_);
        cairo_show_page(cr_);
        ++page_;
    }

    void drawFooter(int page, int pages) {
        PangoLayout* layout = pango_layout_new(contexts_.leftToRight);
        PangoFontDescription* f = pango_font_description_from_string(kFamily);
        pango_font_description_set_size(f, 8 * PANGO_SCALE);
        pango_layout_set_font_description(layout, f);
        pango_font_description_free(f);
        pango_layout_set_width(layout, static_cast<int>((kPageWidth - 2 * kMargin) * PANGO_SCALE));
        pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER);
        pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_MIDDLE);
        noInsertedHyphens(layout);
        pango_layout_set_auto_dir(layout, FALSE);
        const std::string text = "Conversation with " + isolated(footer_) + "  ·  Page " + std::to_string(page) +
                                 " of " + std::to_string(pages);
        pango_layout_set_text(layout, text.c_str(), static_cast<int>(text.size()));
        cairo_set_source_rgb(cr_, kMuted.r, kMuted.g, kMuted.b);
        cairo_move_to(cr_, kMargin, kPageHeight - kMargin - 10);
        pango_cairo_show_layout(cr_, layout);
        g_object_unref(layout);
    }

    cairo_t* cr_;
    Contexts contexts_;
    std::vector<PangoFontDescription*> fonts_;
    std::vector<std::pair<std::size_t, double>> fontKeys_;
    bool drawing_ = false;
    std::vector<Box> boxes_;
    std::vector<Placed> placed_;
    std::vector<double> baselines_;
    std::size_t next_ = 0;
    int page_ = 0, pages_ = 1;
    std::string footer_;
};

// The blocks of the document, in order: the title block, then per message its
// heading, its text and its attachments.
void addBlocks(Renderer& r, const ExportStream& doc) {
    const ExportDocument& head = doc.head;
    r.add("Conversation with " + isolated(head.conversationName), 16, true, false, kText, 0, 0, false);
    std::string sub = isolated(head.conversationKey);
    if (!head.conversationDetail.empty()) sub += "  ·  " + isolated(head.conversationDetail);
    r.add(sub, 9.5, false, false, kMuted, 0, 2, false);
    const auto n = doc.messageCount;
    r.add(std::to_string(n) + (n == 1 ? " message" : " messages") + " from " + isolated(head.owner) +
              "'s archive. Exported " + head.timeZone.formatLocal(head.exportedAt) + " by Kelvara " + head.appVersion +
              ". Times are shown in " + head.timeZone.identifier + ".",
          8.5, false, false, kMuted, 0, 2, false);
    std::int64_t seen = 0;
    doc.forEachMessage([&](const ExportMessage& m) {
        ++seen;
        std::string heading = isolated(m.senderName);
        if (!m.senderHandle.empty() && m.senderHandle != m.senderName)
            heading += "  <" + leftToRight(m.senderHandle) + ">";
        heading += "  ·  ";
        if (m.date) {
            const std::string abbr = head.timeZone.abbreviation ? head.timeZone.abbreviation(*m.date) : "";
            heading += head.timeZone.formatLocal(*m.date) + (abbr.empty() ? "" : " " + abbr);
        } else {
            heading += "no date";
        }
        if (m.service) heading += "  ·  " + leftToRight(*m.service);
        if (m.dateEdited) heading += "  ·  edited";
        if (m.dateRetracted) heading += "  ·  unsent";
        r.add(heading, 8.5, true, false, m.isFromMe ? kOwn : kMuted, 0, kMessageGap, true);
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
    });
    checkMessageCount(doc, seen);
}

struct StreamClosure {
    const ExportOutput* out;
    std::exception_ptr failure;
};

cairo_status_t writeBytes(void* closure, const unsigned char* data, unsigned int length) {
    auto* c = static_cast<StreamClosure*>(closure);
    if (c->failure) return CAIRO_STATUS_WRITE_ERROR;
    try {
        (*c->out)(std::string_view(reinterpret_cast<const char*>(data), length));
    } catch (...) {
        c->failure = std::current_exception();
        return CAIRO_STATUS_WRITE_ERROR;
    }
    return CAIRO_STATUS_SUCCESS;
}

} // namespace

void writePdf(const ExportStream& doc, const ExportOutput& out) {
    StreamClosure closure{&out, nullptr};
    cairo_surface_t* surface = cairo_pdf_surface_create_for_stream(writeBytes, &closure, kPageWidth, kPageHeight);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        throw Error("the PDF could not be started");
    }
    const ExportDocument& head = doc.head;
    const std::string title = "Conversation with " + head.conversationName;
    cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_TITLE, printable(title).c_str());
    cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_CREATOR, ("Kelvara " + head.appVersion).c_str());
    cairo_pdf_surface_set_metadata(surface, CAIRO_PDF_METADATA_CREATE_DATE, formatUTCSeconds(head.exportedAt).c_str());
    cairo_t* cr = cairo_create(surface);
    std::exception_ptr failure;
    try {
        Renderer r(cr);
        r.beginMeasuring();
        addBlocks(r, doc);
        r.beginDrawing(head.conversationName);
        addBlocks(r, doc);
        r.finish(surface);
    } catch (...) {
        failure = std::current_exception();
    }
    cairo_destroy(cr);
    cairo_surface_finish(surface);
    const cairo_status_t status = cairo_surface_status(surface);
    cairo_surface_destroy(surface);
    if (failure) std::rethrow_exception(failure);
    if (closure.failure) std::rethrow_exception(closure.failure);
    if (status != CAIRO_STATUS_SUCCESS)
        throw Error(std::string("the PDF could not be drawn: ") + cairo_status_to_string(status));
}

std::string renderPdf(const ExportDocument& doc) {
    std::string out;
    writePdf(streamOf(doc), [&](std::string_view bytes) { out.append(bytes); });
    return out;
}

} // namespace kx
