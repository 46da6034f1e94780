#include "core/archive/typedstream.h"

#include "core/platform/utf8.h"

#include <cstdint>
#include <cstring>
#include <unordered_map>

namespace kx::typedstream {

namespace {

constexpr int kTagInteger2 = -127;
constexpr int kTagInteger4 = -126;
constexpr int kTagFloating = -125;
constexpr int kTagNew = -124;
constexpr int kTagNil = -123;
constexpr int kTagEndOfObject = -122;
constexpr int kFirstTag = -128;
constexpr int kLastTag = -111;
constexpr int kFirstReference = -110;

constexpr std::string_view kSignature = "streamtyped";
constexpr std::string_view kAttachmentKey = "__kIMFileTransferGUIDAttributeName";
constexpr std::string_view kPartKey = "__kIMMessagePartAttributeName";

// Thrown inside the decoder only; decodeAttributedBody turns it into an error text.
struct Malformed {
    std::string why;
};

// One value inside an object's contents.
struct Item {
    enum class Kind { nil, integer, real, bytes, object } kind = Kind::nil;
    std::int64_t integer = 0;
    std::string_view bytes; // points into the blob: nothing is copied while decoding
    long object = -1;       // index into the object table
};

// An entry of the shared object table (objects, classes and C strings).
struct Entry {
    enum class Kind { object, klass, cstring } kind = Kind::object;
    std::string_view name; // class name or C string (into the blob)
    long classRef = -1;    // for objects: their class entry
    std::vector<Item> items;
};

class Decoder {
public:
    explicit Decoder(std::string_view data) : data_(data) {
        // A message body holds a dozen or so of each: room for them up front.
        table_.reserve(16);
        shared_.reserve(16);
    }

    void readHeader() {
        if (data_.size() < 2 + kSignature.size()) throw Malformed{"the body is too short to be an archive"};
        if (static_cast<unsigned char>(data_[0]) != 4) throw Malformed{"the body is not an archive of a known version"};
        if (static_cast<unsigned char>(data_[1]) != kSignature.size() ||
            data_.substr(2, kSignature.size()) != kSignature)
            throw Malformed{"the body is not a little-endian typed stream"};
        pos_ = 2 + kSignature.size();
        (void)readInteger(false); // system version
    }

    bool atEnd() const { return pos_ >= data_.size(); }

    // Reads one top-level group of typed values; appends the values to items.
    void readTopLevelGroup(std::vector<Item>& items) { readTypedGroup(head(), items, 0); }

    const std::vector<Entry>& table() const { return table_; }
    // True when a string declared more bytes than the body holds (see readStringBytesWithHead).
    bool shortened() const { return shortened_; }

private:
    int head() {
        need(1);
        return static_cast<std::int8_t>(data_[pos_++]);
    }

    void need(std::size_t n) const {
        if (n > data_.size() - pos_) throw Malformed{"the body ends in the middle of a value"};
    }

    void countValue() {
        if (++values_ > kMaxValues) throw Malformed{"the body holds too many values"};
    }

    std::int64_t readIntegerWithHead(int h, bool isSigned) {
        if (h < kFirstTag || h > kLastTag) return isSigned ? h : (h & 0xff);
        if (h == kTagInteger2) {
            need(2);
            std::uint16_t v = static_cast<unsigned char>(data_[pos_]) |
                              (static_cast<unsigned char>(data_[pos_ + 1]) << 8);
            pos_ += 2;
            return isSigned ? static_cast<std::int16_t>(v) : v;
        }
        if (h == kTagInteger4) {
            need(4);
            std::uint32_t v = 0;
            for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(data_[pos_ + i]);
            pos_ += 4;
            return isSigned ? static_cast<std::int32_t>(v) : static_cast<std::int64_t>(v);
        }
        throw Malformed{"the body has a tag where a number should be"};
    }
    std::int64_t readInteger(bool isSigned) { return readIntegerWithHead(head(), isSigned); }

    std::size_t referenceIndex(int h) {
        std::int64_t n = readIntegerWithHead(h, true) - kFirstReference;
        if (n < 0) throw Malformed{"the body holds an invalid reference"};
        return static_cast<std::size_t>(n);
    }

    // Unshared string: nil, or a length and that many bytes.
    std::optional<std::string_view> readUnsharedWithHead(int h) {
        if (h == kTagNil) return std::nullopt;
        std::int64_t len = readIntegerWithHead(h, false);
        if (len < 0) throw Malformed{"the body holds a negative length"};
        need(static_cast<std::size_t>(len));
        std::string_view s = data_.substr(pos_, static_cast<std::size_t>(len));
        pos_ += static_cast<std::size_t>(len);
        return s;
    }

    // The bytes of a string object. Some stored bodies declare a longer string
    // than the blob holds; when the bytes that are there form whole UTF-8
    // characters up to the string object's end tag, that is where the string
    // really ends (a valid character never starts with the tag byte), and the
    // text is kept. Anything else is refused as before.
    std::optional<std::string_view> readStringBytesWithHead(int h) {
        if (h == kTagNil) return std::nullopt;
        const std::int64_t len = readIntegerWithHead(h, false);
        if (len < 0) throw Malformed{"the body holds a negative length"};
        if (static_cast<std::uint64_t>(len) <= data_.size() - pos_) {
            std::string_view s = data_.substr(pos_, static_cast<std::size_t>(len));
            pos_ += static_cast<std::size_t>(len);
            return s;
        }
        std::size_t end = pos_;
        while (end < data_.size()) {
            if (static_cast<std::int8_t>(data_[end]) == kTagEndOfObject) break;
            const std::size_t n = validUTF8SequenceLength(data_, end);
            if (n == 0) throw Malformed{"the body ends in the middle of its text"};
            end += n;
        }
        if (end >= data_.size() || end == pos_) throw Malformed{"the body ends in the middle of its text"};
        std::string_view s = data_.substr(pos_, end - pos_);
        pos_ = end; // the end tag closes the string object
        shortened_ = true;
        return s;
    }

    std::optional<std::string_view> readSharedWithHead(int h) {
        if (h == kTagNil) return std::nullopt;
        if (h == kTagNew) {
            auto s = readUnsharedWithHead(head());
            if (!s) throw Malformed{"the body holds an empty shared string"};
            if (shared_.size() >= kMaxValues) throw Malformed{"the body holds too many strings"};
            shared_.push_back(*s);
            return s;
        }
        std::size_t i = referenceIndex(h);
        if (i >= shared_.size()) throw Malformed{"the body refers to a string it does not hold"};
        return shared_[i];
    }
    std::optional<std::string_view> readShared() { return readSharedWithHead(head()); }

    std::size_t addEntry(Entry e) {
        if (table_.size() >= kMaxValues) throw Malformed{"the body holds too many objects"};
        table_.push_back(std::move(e));
        return table_.size() - 1;
    }

    // A class chain; returns the entry index of the first class, or -1 for nil.
    long readClassWithHead(int h) {
        long first = -1;
        long previous = -1;
        std::size_t chain = 0;
        while (h == kTagNew) {
            if (++chain > kMaxDepth) throw Malformed{"the body's class chain is too long"};
            auto name = readShared();
            if (!name) throw Malformed{"the body holds a class without a name"};
            (void)readInteger(true); // class version
            Entry e;
            e.kind = Entry::Kind::klass;
            e.name = *name;
            long idx = static_cast<long>(addEntry(std::move(e)));
            if (previous >= 0) table_[static_cast<std::size_t>(previous)].classRef = idx;
            else first = idx;
            previous = idx;
            h = head();
        }
        long tail = -1;
        if (h != kTagNil) {
            std::size_t i = referenceIndex(h);
            if (i >= table_.size() || table_[i].kind != Entry::Kind::klass)
                throw Malformed{"the body refers to a class it does not hold"};
            tail = static_cast<long>(i);
        }
        if (previous >= 0) {
            table_[static_cast<std::size_t>(previous)].classRef = tail;
            return first;
        }
        return tail;
    }

    // An object: nil, a back reference, or a literal object with its contents.
    long readObjectWithHead(int h, std::size_t depth) {
        if (h == kTagNil) return -1;
        if (h != kTagNew) {
            std::size_t i = referenceIndex(h);
            if (i >= table_.size() || table_[i].kind != Entry::Kind::object)
                throw Malformed{"the body refers to an object it does not hold"};
            return static_cast<long>(i);
        }
        if (depth > kMaxDepth) throw Malformed{"the body nests objects too deeply"};
        std::size_t idx = addEntry(Entry{});
        long klass = readClassWithHead(head());
        table_[idx].classRef = klass;
        std::vector<Item> items;
        for (;;) {
            int next = head();
            if (next == kTagEndOfObject) break;
            readTypedGroup(next, items, depth + 1);
        }
        table_[idx].items = std::move(items);
        return static_cast<long>(idx);
    }

    // A type encoding followed by one value per type in it.
    void readTypedGroup(int h, std::vector<Item>& items, std::size_t depth) {
        auto encoding = readSharedWithHead(h);
        if (!encoding || encoding->empty()) throw Malformed{"the body holds a value without a type"};
        std::size_t p = 0;
        while (p < encoding->size()) {
            std::size_t end = typeEnd(*encoding, p, 0);
            readValue(encoding->substr(p, end - p), items, depth);
            p = end;
        }
    }

    // Index just past the single type starting at p.
    static std::size_t typeEnd(std::string_view enc, std::size_t p, std::size_t depth) {
        if (depth > kMaxDepth) throw Malformed{"the body's type is nested too deeply"};
        while (p < enc.size() && std::strchr("rnNoORV", enc[p]) != nullptr) ++p; // qualifiers
        if (p >= enc.size()) throw Malformed{"the body holds an incomplete type"};
        char c = enc[p];
        if (c == '[' || c == '{' || c == '(') {
            char close = c == '[' ? ']' : (c == '{' ? '}' : ')');
            std::size_t q = p + 1;
            if (c == '[')
                while (q < enc.size() && enc[q] >= '0' && enc[q] <= '9') ++q;
            else {
                // "{name=fields}": skip the name up to "=" (or the close).
                while (q < enc.size() && enc[q] != '=' && enc[q] != close) ++q;
                if (q < enc.size() && enc[q] == '=') ++q;
            }
            while (q < enc.size() && enc[q] != close) q = typeEnd(enc, q, depth + 1);
            if (q >= enc.size()) throw Malformed{"the body holds an unterminated type"};
            return q + 1;
        }
        if (c == '^') // pointer to a type: the pointee follows
            return typeEnd(enc, p + 1, depth + 1);
        return p + 1;
    }

    void readValue(std::string_view type, std::vector<Item>& items, std::size_t depth) {
        if (depth > kMaxDepth) throw Malformed{"the body nests values too deeply"};
        countValue();
        while (!type.empty() && std::strchr("rnNoORV", type.front()) != nullptr) type.remove_prefix(1);
        if (type.empty()) throw Malformed{"the body holds an incomplete type"};
        Item item;
        char c = type.front();
        switch (c) {
        case 'B':
        case 'c':
        case 'C':
            need(1);
            item.kind = Item::Kind::integer;
            item.integer = c == 'c' ? static_cast<std::int8_t>(data_[pos_]) : static_cast<unsigned char>(data_[pos_]);
            ++pos_;
            break;
        case 's':
        case 'i':
        case 'l':
        case 'q':
        case 'S':
        case 'I':
        case 'L':
        case 'Q':
            item.kind = Item::Kind::integer;
            item.integer = readInteger(c >= 'a');
            break;
        case 'f':
        case 'd': {
            int h = head();
            item.kind = Item::Kind::real;
            if (h == kTagFloating) {
                std::size_t n = c == 'f' ? 4 : 8;
                need(n);
                pos_ += n; // the value itself is not needed
            } else {
                item.integer = readIntegerWithHead(h, true);
            }
            break;
        }
        case '*': {
            int h = head();
            if (h == kTagNil) break;
            if (h == kTagNew) {
                auto s = readShared();
                if (!s) throw Malformed{"the body holds an empty C string"};
                Entry e;
                e.kind = Entry::Kind::cstring;
                e.name = *s;
                addEntry(std::move(e));
                item.kind = Item::Kind::bytes;
                item.bytes = *s;
            } else {
                std::size_t i = referenceIndex(h);
                if (i >= table_.size() || table_[i].kind != Entry::Kind::cstring)
                    throw Malformed{"the body refers to a C string it does not hold"};
                item.kind = Item::Kind::bytes;
                item.bytes = table_[i].name;
            }
            break;
        }
        case '%':
        case ':': {
            auto s = readShared();
            if (s) {
                item.kind = Item::Kind::bytes;
                item.bytes = *s;
            }
            break;
        }
        case '+': {
            auto s = readStringBytesWithHead(head());
            if (s) {
                item.kind = Item::Kind::bytes;
                item.bytes = *s;
            }
            break;
        }
        case '#': (void)readClassWithHead(head()); break;
        case '@':
            item.kind = Item::Kind::object;
            item.object = readObjectWithHead(head(), depth + 1);
            if (item.object < 0) item.kind = Item::Kind::nil;
            break;
        case '!': break;
        case '[': {
            std::size_t q = 1;
            std::uint64_t count = 0;
            while (q < type.size() && type[q] >= '0' && type[q] <= '9') {
                count = count * 10 + static_cast<unsigned>(type[q] - '0');
                if (count > (1u << 30)) throw Malformed{"the body holds an array that is too long"};
                ++q;
            }
            std::string_view element = type.substr(q, type.size() - q - 1);
            if (element == "c" || element == "C") {
                need(static_cast<std::size_t>(count));
                item.kind = Item::Kind::bytes;
                item.bytes = data_.substr(pos_, static_cast<std::size_t>(count));
                pos_ += static_cast<std::size_t>(count);
                break;
            }
            for (std::uint64_t i = 0; i < count; ++i)
                readValue(element.substr(0, typeEnd(element, 0, depth)), items, depth + 1);
            return;
        }
        case '{':
        case '(': {
            char close = c == '{' ? '}' : ')';
            std::string_view enc = type;
            std::size_t q = 1;
            while (q < enc.size() && enc[q] != '=' && enc[q] != close) ++q;
            if (q < enc.size() && enc[q] == '=') ++q;
            while (q < enc.size() && enc[q] != close) {
                std::size_t end = typeEnd(enc, q, depth);
                readValue(enc.substr(q, end - q), items, depth + 1);
                q = end;
            }
            return;
        }
        default: throw Malformed{std::string("the body holds a value of an unknown type '") + c + "'"};
        }
        items.push_back(std::move(item));
    }

    std::string_view data_;
    std::size_t pos_ = 0;
    std::size_t values_ = 0;
    std::vector<std::string_view> shared_;
    std::vector<Entry> table_;
    bool shortened_ = false;
};

bool classNameContains(const std::vector<Entry>& table, long entry, std::string_view word) {
    // Walk the class chain (bounded: chains were built from the table in order).
    std::size_t steps = 0;
    while (entry >= 0 && static_cast<std::size_t>(entry) < table.size() && steps++ <= kMaxDepth) {
        const Entry& e = table[static_cast<std::size_t>(entry)];
        if (e.kind == Entry::Kind::klass && e.name.find(word) != std::string::npos) return true;
        entry = e.classRef;
    }
    return false;
}

// The object at `object` when its class name holds `word`; null otherwise.
const Entry* objectOfClass(const std::vector<Entry>& table, long object, std::string_view word) {
    if (object < 0 || static_cast<std::size_t>(object) >= table.size()) return nullptr;
    const Entry& e = table[static_cast<std::size_t>(object)];
    if (e.kind != Entry::Kind::object || !classNameContains(table, e.classRef, word)) return nullptr;
    return &e;
}

// The first item of this kind an object of the class holds (an NSString's
// bytes, an NSNumber's value).
const Item* firstItem(const std::vector<Entry>& table, long object, std::string_view word, Item::Kind kind) {
    const Entry* e = objectOfClass(table, object, word);
    if (!e) return nullptr;
    for (const Item& it : e->items)
        if (it.kind == kind) return &it;
    return nullptr;
}

// The string an NSString object holds.
std::optional<std::string_view> stringOf(const std::vector<Entry>& table, long object) {
    const Item* it = firstItem(table, object, "String", Item::Kind::bytes);
    return it ? std::optional<std::string_view>(it->bytes) : std::nullopt;
}

// The whole number an NSNumber object holds.
std::optional<std::int64_t> numberOf(const std::vector<Entry>& table, long object) {
    const Item* it = firstItem(table, object, "Number", Item::Kind::integer);
    return it ? std::optional<std::int64_t>(it->integer) : std::nullopt;
}

// The value of `key` in a dictionary object, as an object entry index; -1 when
// absent. Dictionaries hold (count, key, value, key, value...).
long dictionaryValue(const std::vector<Entry>& table, long dict, std::string_view key) {
    const Entry* e = objectOfClass(table, dict, "Dictionary");
    if (!e) return -1;
    for (std::size_t k = 0; k + 1 < e->items.size(); ++k) {
        if (e->items[k].kind != Item::Kind::object || e->items[k + 1].kind != Item::Kind::object) continue;
        if (stringOf(table, e->items[k].object) == key) return e->items[k + 1].object;
        ++k;
    }
    return -1;
}

// Byte length of the first `units` UTF-16 code units of `text` (an invalid
// byte counts as one unit, as the replacement character it becomes); npos when
// the text is shorter or the count ends inside a surrogate pair.
std::size_t utf16Prefix(std::string_view text, std::int64_t units) {
    std::size_t i = 0;
    while (units > 0) {
        if (i >= text.size()) return std::string_view::npos;
        const std::size_t n = static_cast<unsigned char>(text[i]) < 0x80 ? 1 : validUTF8SequenceLength(text, i);
        const std::int64_t w = n == 4 ? 2 : 1;
        if (w > units) return std::string_view::npos;
        units -= w;
        i += n == 0 ? 1 : n;
    }
    return i;
}

// Splits the attributed string's text into its numbered parts, following the
// runs that come after the string in the root object. Gives nothing when the
// runs are not what a message body holds.
std::vector<BodyPart> splitParts(const std::vector<Entry>& table, const Entry& root, std::string_view text) {
    std::vector<BodyPart> parts;
    // Dictionary number -> the part number its dictionary gives (none when it
    // gives none); the same per dictionary object, so a dictionary referred to
    // by many runs is read once.
    std::unordered_map<std::int64_t, std::optional<std::int64_t>> dictionaries;
    std::unordered_map<long, std::optional<std::int64_t>> objects;
    auto partOf = [&](long dict) {
        auto [it, added] = objects.try_emplace(dict);
        if (added) it->second = numberOf(table, dictionaryValue(table, dict, kPartKey));
        return it->second;
    };
    const auto& items = root.items;
    std::size_t k = 0;
    while (k < items.size() && items[k].kind != Item::Kind::object) ++k;
    ++k; // past the string
    std::string_view rest = text;
    std::optional<std::int64_t> current;
    while (k < items.size()) {
        if (k + 1 >= items.size() || items[k].kind != Item::Kind::integer || items[k + 1].kind != Item::Kind::integer)
            return {};
        const std::int64_t number = items[k].integer;
        const std::int64_t length = items[k + 1].integer;
        k += 2;
        if (k < items.size() && items[k].kind == Item::Kind::object) {
            dictionaries[number] = partOf(items[k].object); // a run with a dictionary of its own
            ++k;
        }
        const auto dict = dictionaries.find(number);
        if (dict == dictionaries.end() || length < 0) return {};
        if (dict->second) current = dict->second;
        if (!current) return {}; // a run before any numbered part
        const std::size_t bytes = utf16Prefix(rest, length);
        if (bytes == std::string_view::npos) return {};
        const std::string piece = sanitizeUtf8(rest.substr(0, bytes));
        rest.remove_prefix(bytes);
        if (!parts.empty() && parts.back().index == *current) parts.back().text += piece;
        else parts.push_back({*current, piece});
    }
    if (!rest.empty()) return {};
    return parts;
}

} // namespace

bool looksLikeTypedStream(std::string_view blob) {
    return blob.size() >= 2 + kSignature.size() && static_cast<unsigned char>(blob[0]) == 4 &&
           static_cast<unsigned char>(blob[1]) == kSignature.size() && blob.substr(2, kSignature.size()) == kSignature;
}

std::string sanitizeUtf8(std::string_view s) {
    // Nearly every text is valid already: check first, copy once.
    std::size_t i = 0;
    while (i < s.size()) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        const std::size_t len = validUTF8SequenceLength(s, i);
        if (len == 0) break;
        i += len;
    }
    if (i == s.size()) return std::string(s);
    std::string out;
    out.reserve(s.size() + 16);
    out.append(s.substr(0, i));
    const std::string_view replacement = "\xEF\xBF\xBD";
    while (i < s.size()) {
        const std::size_t len = validUTF8SequenceLength(s, i);
        if (len == 0) {
            out += replacement;
            ++i;
        } else {
            out.append(s.substr(i, len));
            i += len;
        }
    }
    return out;
}

DecodeResult decodeAttributedBody(std::string_view blob) {
    DecodeResult result;
    if (blob.empty()) {
        result.error = "the body is empty";
        return result;
    }
    try {
        Decoder d(blob);
        d.readHeader();
        std::vector<Item> top;
        // The first top-level group holds the attributed string; later groups
        // (rare) are read only to validate the archive up to the end.
        d.readTopLevelGroup(top);
        const auto& table = d.table();
        long root = -1;
        for (const Item& it : top)
            if (it.kind == Item::Kind::object) {
                root = it.object;
                break;
            }
        if (root < 0) throw Malformed{"the body holds no object"};
        const Entry& rootEntry = table[static_cast<std::size_t>(root)];
        std::optional<std::string_view> text;
        if (classNameContains(table, rootEntry.classRef, "AttributedString")) {
            for (const Item& it : rootEntry.items)
                if (it.kind == Item::Kind::object) {
                    text = stringOf(table, it.object);
                    break;
                }
        } else {
            text = stringOf(table, root); // a plain string archived on its own
        }
        if (!text) throw Malformed{"the body holds no text"};

        DecodedBody body;
        body.text = sanitizeUtf8(*text);
        body.declaredLengthTooLong = d.shortened();
        if (root >= 0 && classNameContains(table, rootEntry.classRef, "AttributedString"))
            body.parts = splitParts(table, rootEntry, *text);
        // Attachment GUIDs: the file-transfer attribute of every dictionary, in order.
        for (std::size_t i = 0; i < table.size(); ++i)
            if (auto guid = stringOf(table, dictionaryValue(table, static_cast<long>(i), kAttachmentKey)))
                body.attachmentGuids.push_back(sanitizeUtf8(*guid));
        result.body = std::move(body);
    } catch (const Malformed& m) {
        result.error = m.why;
    }
    return result;
}

} // namespace kx::typedstream
