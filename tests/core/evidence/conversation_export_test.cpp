#include "core/evidence/conversation_exporter.h"
#include "core/evidence/sealer.h"
#include "core/evidence/tresk_manifest.h"

#include "core/archive/attachment_store.h"
#include "core/archive/tresk_store_writer.h"
#include "core/platform/error.h"
#include "core/platform/sha256.h"
#include "tests/core/evidence/archive_builder.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>

namespace kx {
namespace {

// Splits RFC 4180 text back into rows of cells.
std::vector<std::vector<std::string>> parseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1);
    std::string cell;
    bool quoted = false, inQuotes = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inQuotes) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                cell += '"';
                ++i;
            } else if (c == '"') {
                inQuotes = false;
            } else {
                cell += c;
            }
        } else if (c == '"') {
            inQuotes = quoted = true;
        } else if (c == ',') {
            rows.back().push_back(cell);
            cell.clear();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            rows.back().push_back(cell);
            cell.clear();
            rows.emplace_back();
            ++i;
        } else {
            cell += c;
        }
    }
    (void)quoted;
    if (rows.back().empty()) rows.pop_back();
    return rows;
}

// The rows of an exported CSV after its first line, which states the rules in
// words and must read as one cell that a "#" comment setting skips.
std::vector<std::vector<std::string>> exportRows(const std::string& text) {
    const auto end = text.find("\r\n");
    const std::string first = text.substr(0, end);
    EXPECT_EQ(first.rfind("# Kelvara conversation export.", 0), 0u) << first;
    EXPECT_EQ(first.find_first_of(",;\"\n"), std::string::npos) << first;
    return parseCsv(end == std::string::npos ? "" : text.substr(end + 2));
}

// The data of a cell read back by the rule the CSV states: one leading apostrophe is the export's.
std::string readBack(const std::string& cell) { return !cell.empty() && cell[0] == '\'' ? cell.substr(1) : cell; }

std::string run(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

TEST(CsvCells, QuotesEveryCellAndDisarmsFormulas) {
    EXPECT_EQ(csvCell("plain"), "\"plain\"");
    EXPECT_EQ(csvCell("say \"hi\", ok"), "\"say \"\"hi\"\", ok\"");
    EXPECT_EQ(csvCell("line\nbreak"), "\"line\nbreak\"");
    for (std::string lead : {"=", "+", "-", "@", "\t", "\r"})
        EXPECT_EQ(csvCell(lead + "SUM(A1)"), "\"'" + lead + "SUM(A1)\"") << lead;
    EXPECT_EQ(csvCell("a=b"), "\"a=b\"");
    EXPECT_EQ(csvCell(""), "\"\"");
}

class ConversationExport : public ::testing::Test {
protected:
    void SetUp() override {
        test::addMessages(db, {.count = 25,
                               .attachmentEvery = 5,
                               .texts = {"=HYPERLINK(\"http://evil\")", "Comma, \"quotes\"\nand a new line",
                                         "你好，世界 😀 👍🏽", "-1+1"}});
        // Store the bytes of one attachment so its hash is known.
        AttachmentStore objects((root / "jorin" / "attachments"));
        storedKey = objects.putBytes("jpeg bytes of photo 10");
        test::setObjectKey(db, "jorin", "ATT-MSG-10", storedKey);
        store = std::make_unique<TreskStore>(db.string());
    }
    ConversationExporter exporter(int pageSize = 2000) const {
        return ConversationExporter(*store, "jorin", (root / "jorin" / "attachments").string(), names,
                                    ExportTimeZone::fixed(3600, "CET"), pageSize);
    }

    test::TempDir root;
    test::TempDir out;
    std::filesystem::path db = root / "jorin" / "tresk.db";
    MapContactResolver names{{{"+15550001111", "Alice Example"}}};
    std::unique_ptr<TreskStore> store;
    std::string storedKey;
    const Date at = test::fixtureDate(100000);
};

TEST_F(ConversationExport, JsonHoldsEveryMessageWithTimesNamesAttachmentsAndSources) {
    const auto path = out / "Alice.json";
    auto w = exporter(7).write("+15550001111", ExportFormat::json, path.string(), at, "1.0 (3)");
    const std::string bytes = test::readAll(path);
    EXPECT_EQ(w.sha256, Sha256::hexOf(bytes));
    EXPECT_EQ(w.size, bytes.size());
    EXPECT_EQ(w.description, "Conversation with Alice Example (+15550001111): 25 messages, 2024-03-01, as JSON.");
    const auto j = nlohmann::json::parse(bytes);
    EXPECT_EQ(j["messageCount"], 25);
    ASSERT_EQ(j["messages"].size(), 25u); // read in pages of 7, nothing cut off
    // Written a message at a time, the file is byte for byte the dump of the whole document.
    EXPECT_TRUE(j.dump(2) + "\n" == bytes);
    const auto& first = j["messages"][0];
    EXPECT_EQ(first["guid"], "MSG-1");
    EXPECT_EQ(first["utc"], "2024-03-01T09:01:00Z");
    EXPECT_EQ(first["local"], "2024-03-01 10:01:00 +01:00");
    EXPECT_EQ(first["senderName"], "Alice Example");
    EXPECT_EQ(first["senderHandle"], "+15550001111");
    EXPECT_EQ(first["text"], "=HYPERLINK(\"http://evil\")"); // JSON keeps the text as it stands
    EXPECT_EQ(first["sources"], nlohmann::json::array({"src-main"}));
    EXPECT_EQ(j["messages"][1]["senderName"], "Me");
    EXPECT_EQ(j["messages"][2]["text"], "你好，世界 😀 👍🏽");
    const auto& withPhoto = j["messages"][9]["attachments"][0];
    EXPECT_EQ(withPhoto["fileName"], "photo-10.jpg");
    EXPECT_EQ(withPhoto["sha256"], storedKey);
    EXPECT_TRUE(j["messages"][4]["attachments"][0]["sha256"].is_null()); // bytes never archived
    EXPECT_EQ(j["timeZone"], "UTC+01:00");
}

TEST_F(ConversationExport, CsvReadsBackAsRowsWithFormulasDisarmed) {
    const auto path = out / "Alice.csv";
    exporter().write("+15550001111", ExportFormat::csv, path.string(), at, "1.0 (3)");
    const auto rows = exportRows(test::readAll(path));
    ASSERT_EQ(rows.size(), 26u);
    for (const auto& r : rows) ASSERT_EQ(r.size(), 13u);
    EXPECT_EQ(rows[0][0], "guid");
    EXPECT_EQ(rows[1][6], "'=HYPERLINK(\"http://evil\")");
    EXPECT_EQ(rows[2][6], "Comma, \"quotes\"\nand a new line");
    EXPECT_EQ(rows[4][6], "'-1+1");
    EXPECT_EQ(rows[10][7], "photo-10.jpg");
    EXPECT_EQ(rows[10][8], storedKey);
    EXPECT_EQ(rows[1][2], "2024-03-01 10:01:00 +01:00");
}

TEST_F(ConversationExport, CsvCellsReadBackToTheDataByTheRuleItsFirstLineStates) {
    // Formulas behind spaces or in full-width signs, and apostrophes of the data's own.
    const std::vector<std::string> texts = {"  =1+1",
                                            "\xEF\xBC\x9D"
                                            "1+1",
                                            "'=1",
                                            "'quoted",
                                            "it's",
                                            "''",
                                            "@A1"};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        std::string quoted;
        for (char c : texts[i]) quoted += c == '\'' ? std::string("''") : std::string(1, c);
        test::tamper(db,
                     "UPDATE messages SET text = '" + quoted + "' WHERE guid = 'MSG-" + std::to_string(11 + i) + "'");
    }
    store = std::make_unique<TreskStore>(db.string());
    exporter().write("+15550001111", ExportFormat::csv, (out / "a.csv").string(), at, "1");
    const auto rows = exportRows(test::readAll(out / "a.csv"));
    ASSERT_EQ(rows.size(), 26u);
    EXPECT_EQ(rows[11][6], "'  =1+1");
    EXPECT_EQ(rows[12][6], "'\xEF\xBC\x9D"
                           "1+1");
    EXPECT_EQ(rows[13][6], "''=1");
    EXPECT_EQ(rows[15][6], "it's");
    const auto doc = exporter().document("+15550001111", at, "1");
    ASSERT_EQ(doc.messages.size(), 25u);
    for (std::size_t i = 0; i < doc.messages.size(); ++i) {
        const auto& r = rows[i + 1];
        const auto& m = doc.messages[i];
        EXPECT_EQ(readBack(r[0]), m.guid);
        EXPECT_EQ(readBack(r[3]), m.senderName);
        EXPECT_EQ(readBack(r[4]), m.senderHandle);
        EXPECT_EQ(readBack(r[6]), m.text.value_or("")) << m.guid;
    }
}

TEST_F(ConversationExport, PdfIsAReadableDocumentWithPageNumbers) {
    // Enough messages for several pages, and one message longer than a page.
    std::string longText;
    for (int i = 1; i <= 900; ++i) longText += "word" + std::to_string(i) + (i % 40 ? " " : "\n");
    test::addMessages(db, {.first = 26, .count = 120, .texts = {longText}});
    const auto path = out / "Alice.pdf";
    auto w = exporter().write("+15550001111", ExportFormat::pdf, path.string(), at, "1.0 (3)");
    const std::string bytes = test::readAll(path);
    ASSERT_EQ(bytes.rfind("%PDF-", 0), 0u);
    EXPECT_EQ(w.sha256, Sha256::hexOf(bytes));
    if (!std::filesystem::exists("/usr/bin/pdftotext")) KX_SKIP_WITHOUT_PEER("pdftotext is not installed");
    const std::string text = run("pdftotext -enc UTF-8 '" + path.string() + "' -");
    if (const char* keep = std::getenv("KX_KEEP_PDF"))
        std::filesystem::copy_file(path, keep, std::filesystem::copy_options::overwrite_existing);
    EXPECT_NE(text.find("Conversation with Alice Example"), std::string::npos);
    EXPECT_NE(text.find("2024-03-01 10:01:00 +01:00 CET"), std::string::npos);
    EXPECT_NE(text.find("你好"), std::string::npos);
    EXPECT_NE(text.find("Attachment: photo-10.jpg"), std::string::npos);
    EXPECT_NE(text.find("Message number 145"), std::string::npos); // the last one made it
    EXPECT_NE(text.find("word1 "), std::string::npos);
    EXPECT_NE(text.find("word900"), std::string::npos); // a long message runs over pages whole
    const std::string info = run("pdfinfo '" + path.string() + "'");
    const auto pages = info.find("Pages:");
    ASSERT_NE(pages, std::string::npos);
    const int count = std::stoi(info.substr(pages + 6));
    EXPECT_GT(count, 2);
    EXPECT_NE(text.find("Page " + std::to_string(count) + " of " + std::to_string(count)), std::string::npos);
}

TEST_F(ConversationExport, FailuresLeaveNoFileAndKeepAnOlderOne) {
    const auto path = out / "Alice.json";
    test::writeAll(path, "an earlier export");
    EXPECT_THROW(exporter().write("+19990000000", ExportFormat::json, path.string(), at, "1"), Error);
    EXPECT_EQ(test::readAll(path), "an earlier export");
    EXPECT_THROW(exporter().write("+15550001111", ExportFormat::csv, (out / "no-folder" / "a.csv").string(), at, "1"),
                 Error);
    EXPECT_THROW(exporter().write("+15550001111", ExportFormat::csv, out.path().string(), at, "1"), Error);
    for (const auto& e : std::filesystem::directory_iterator(out.path()))
        EXPECT_EQ(e.path().filename(), "Alice.json") << "left behind: " << e.path();
}

TEST_F(ConversationExport, SealDescribesTheBytesOnDiskAndTheManifestHead) {
    const auto path = out / "Alice.json";
    auto w = exporter().write("+15550001111", ExportFormat::json, path.string(), at, "1.0 (3)");
    const std::string bytes = test::readAll(path);

    EXPECT_FALSE(Sealer::manifestHead(root.path().string(), "jorin"));
    auto unsealedHead = Sealer::seal(path.string(), bytes, ExportFormat::json, w.description, std::nullopt, "1.0 (3)",
                                     at);
    EXPECT_FALSE(unsealedHead.manifestHead);

    const auto manifest = TreskManifest::generate(*store, "jorin", at, 1000);
    TreskManifest::write(manifest, TreskManifest::path(root.path().string(), "jorin"));
    const auto head = Sealer::manifestHead(root.path().string(), "jorin");
    ASSERT_TRUE(head);
    EXPECT_EQ(*head, manifest.chainHead);

    const SealFile s = Sealer::seal(path.string(), w.sha256, w.size, ExportFormat::json, w.description, head, "1.0 (3)",
                                    at);
    EXPECT_EQ(s.sha256, Sha256::hexOf(bytes));
    EXPECT_EQ(s.size, bytes.size());
    EXPECT_EQ(s.exportFile, "Alice.json");
    EXPECT_EQ(s.description, w.description);
    EXPECT_EQ(s.manifestHead, head);
    EXPECT_FALSE(s.anchor);

    EXPECT_EQ(Sealer::seal(path.string(), bytes, ExportFormat::json, w.description, head, "1.0 (3)", at).sha256,
              s.sha256);

    test::writeAll(path, bytes + " ");
    EXPECT_THROW(Sealer::seal(path.string(), bytes, ExportFormat::json, w.description, head, "1", at), Error);
    EXPECT_THROW(Sealer::seal(path.string(), w.sha256, w.size, ExportFormat::json, w.description, head, "1", at),
                 Error);
    test::writeAll(path, bytes.substr(0, bytes.size() - 1) + "!");
    EXPECT_THROW(Sealer::seal(path.string(), w.sha256, w.size, ExportFormat::json, w.description, head, "1", at),
                 Error);
    EXPECT_THROW(Sealer::seal((out / "gone.json").string(), bytes, ExportFormat::json, "", head, "1", at), Error);
    EXPECT_FALSE(Sealer::honestyCopy.empty());
}

} // namespace
} // namespace kx

namespace kx {
namespace {

// What a reader needs to judge a message: its service, whether and when it was
// edited or unsent, and the texts it had before an edit.
TEST(ExportDetails, EditedAndUnsentMessagesSayWhatTheyAreInEveryFormat) {
    test::TempDir root, out;
    const auto db = root / "jorin" / "tresk.db";
    test::addMessages(db, {.count = 2});
    {
        MessageRecord edited;
        edited.guid = "MSG-1";
        edited.chatGuid = "iMessage;-;+15550001111";
        edited.handle = "+15550001111";
        edited.service = "iMessage";
        edited.date = test::fixtureDate(1);
        edited.edits.push_back({test::fixtureDate(1), "Message number 1"});
        edited.text = "Message number 1, corrected";
        edited.dateEdited = test::fixtureDate(30);
        MessageRecord unsent;
        unsent.guid = "MSG-2";
        unsent.chatGuid = edited.chatGuid;
        unsent.handle = edited.handle;
        unsent.service = "iMessage";
        unsent.date = test::fixtureDate(2);
        unsent.isFromMe = true;
        unsent.text = "Message number 2";
        unsent.dateRetracted = test::fixtureDate(31);
        test::laterRun(db, {edited, unsent});
    }
    TreskStore store(db.string());
    MapContactResolver names;
    const ConversationExporter exporter(store, "jorin", (root / "jorin" / "attachments").string(), names,
                                        ExportTimeZone::fixed(0, "UTC"));
    exporter.write("+15550001111", ExportFormat::csv, (out / "a.csv").string(), test::fixtureDate(100), "1.0");
    const auto rows = exportRows(test::readAll(out / "a.csv"));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(rows[0].begin() + 10, rows[0].end()),
              (std::vector<std::string>{"service", "edited_utc", "unsent_utc"}));
    EXPECT_EQ(std::vector<std::string>(rows[1].begin() + 10, rows[1].end()),
              (std::vector<std::string>{"iMessage", "2024-03-01T09:30:00Z", ""}));
    EXPECT_EQ(std::vector<std::string>(rows[2].begin() + 10, rows[2].end()),
              (std::vector<std::string>{"iMessage", "", "2024-03-01T09:31:00Z"}));

    exporter.write("+15550001111", ExportFormat::json, (out / "a.json").string(), test::fixtureDate(100), "1.0");
    const auto j = nlohmann::json::parse(test::readAll(out / "a.json"));
    EXPECT_EQ(j["messages"][0]["text"], "Message number 1, corrected");
    EXPECT_EQ(j["messages"][0]["earlierVersions"],
              nlohmann::json::parse(R"([{"text": "Message number 1", "utc": "2024-03-01T09:01:00Z"}])"));
    EXPECT_EQ(j["messages"][1]["earlierVersions"], nlohmann::json::array());

    if (!std::filesystem::exists("/usr/bin/pdftotext")) KX_SKIP_WITHOUT_PEER("pdftotext is not installed");
    exporter.write("+15550001111", ExportFormat::pdf, (out / "a.pdf").string(), test::fixtureDate(100), "1.0");
    const std::string text = run("pdftotext -enc UTF-8 '" + (out / "a.pdf").string() + "' -");
    EXPECT_NE(text.find("iMessage · edited"), std::string::npos) << text;
    EXPECT_NE(text.find("iMessage · unsent"), std::string::npos) << text;
}

// An export is read a page at a time, each page from the last message of the one
// before: pages that end among undated messages, inside a run of messages of one
// date, or with messages that have earlier versions, give the same bytes as one
// page, in the archive's order (undated first, then by date, one date's messages
// in the order they were stored).
TEST(ExportPages, PagesEndingAmongEqualOrMissingDatesChangeNoByte) {
    test::TempDir root, out;
    const auto db = root / "jorin" / "tresk.db";
    test::addMessages(db, {.count = 0});
    std::vector<MessageRecord> messages;
    std::vector<std::pair<int, int>> order; // (minute, -1 when undated; storage position)
    for (int i = 0; i < 43; ++i) {
        MessageRecord m;
        m.guid = "T-" + std::to_string(i);
        m.chatGuid = "iMessage;-;+15550001111";
        m.handle = "+15550001111";
        m.service = "iMessage";
        m.isFromMe = i % 3 == 0;
        m.text = "Message " + std::to_string(i);
        // Stored newest first, four to a minute, three of them undated.
        const int minute = i % 14 == 3 ? -1 : 100 - i / 4;
        if (minute >= 0) m.date = test::fixtureDate(minute);
        if (i % 5 == 0 || i == 3) {
            m.edits.push_back({test::fixtureDate(100), "Draft " + std::to_string(i)});
            m.dateEdited = test::fixtureDate(101);
        }
        messages.push_back(m);
        order.emplace_back(minute, i);
    }
    test::laterRun(db, messages);
    std::sort(order.begin(), order.end());

    TreskStore store(db.string());
    MapContactResolver names;
    for (const auto format : {ExportFormat::json, ExportFormat::csv, ExportFormat::pdf}) {
        const auto path = out / ("paged." + exportFormatExtension(format));
        auto exported = [&](int pageSize) {
            const ConversationExporter e(store, "jorin", (root / "jorin" / "attachments").string(), names,
                                         ExportTimeZone::fixed(0, "UTC"), pageSize);
            e.write("+15550001111", format, path.string(), test::fixtureDate(1000), "1.0");
            return test::readAll(path);
        };
        const std::string whole = exported(1000);
        if (format == ExportFormat::json) {
            const auto j = nlohmann::json::parse(whole);
            ASSERT_EQ(j["messages"].size(), order.size());
            for (std::size_t k = 0; k < order.size(); ++k)
                EXPECT_EQ(j["messages"][k]["guid"], "T-" + std::to_string(order[k].second)) << k;
            EXPECT_EQ(j["messages"][0]["earlierVersions"][0]["text"], "Draft 3"); // undated, stored first
        }
        for (int pageSize : {1, 2, 4, 7}) EXPECT_TRUE(exported(pageSize) == whole) << whole.size() << " " << pageSize;
    }
}

// A count in the tables that the messages do not bear out is not a run writing
// meanwhile (an export reads one snapshot): it is said as what it is.
TEST_F(ConversationExport, TablesThatDisagreeOnTheCountAreNamedAsSuch) {
    test::tamper(db, "UPDATE conversation_totals SET messages = messages + 1");
    for (const auto format : {ExportFormat::json, ExportFormat::csv, ExportFormat::pdf}) {
        try {
            exporter().write("+15550001111", format, (out / "x").string(), at, "1.0 (3)");
            ADD_FAILURE() << "exported";
        } catch (const Error& e) {
            EXPECT_EQ(std::string(e.what()),
                      "the archive's tables disagree about this conversation: they count 26 messages in it, but 25 "
                      "were read, so it may have been changed outside Kelvara; check it under Tamper-evidence");
        }
        EXPECT_FALSE(std::filesystem::exists(out / "x"));
    }
}

TEST(ExportTimeZones, LocalTimesCarryTheirOffsetAcrossDaylightSaving) {
    const char* before = std::getenv("TZ");
    const std::string saved = before ? before : "";
    ::setenv("TZ", "Europe/Berlin", 1);
    ::tzset();
    const auto zone = ExportTimeZone::current();
    EXPECT_EQ(zone.identifier, "Europe/Berlin");
    const Date winter = *parseISO8601("2024-01-15T12:00:00Z");
    const Date summer = *parseISO8601("2024-07-15T12:00:00Z");
    EXPECT_EQ(zone.formatLocal(winter), "2024-01-15 13:00:00 +01:00");
    EXPECT_EQ(zone.formatLocal(summer), "2024-07-15 14:00:00 +02:00");
    EXPECT_EQ(zone.abbreviation(summer), "CEST");
    if (before) ::setenv("TZ", saved.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();

    EXPECT_EQ(ExportTimeZone::fixed(-(3 * 3600 + 1800), "NST").formatLocal(winter), "2024-01-15 08:30:00 -03:30");
}

TEST(ExportPdf, DrawsHostileAndEmptyDocuments) {
    ExportDocument empty;
    empty.conversationKey = empty.conversationName = "+1";
    EXPECT_EQ(renderPdf(empty).rfind("%PDF-", 0), 0u);

    ExportDocument odd = empty;
    ExportMessage m;
    m.text = std::string("before\0after \xff\xfe broken <b>not markup</b> & ", 43) + std::string(5000, 'x');
    m.senderName = "<i>name</i>";
    odd.messages.push_back(m);
    test::TempDir dir;
    test::writeAll(dir / "odd.pdf", renderPdf(odd));
    if (!std::filesystem::exists("/usr/bin/pdftotext")) KX_SKIP_WITHOUT_PEER("pdftotext is not installed");
    const std::string text = run("pdftotext -enc UTF-8 '" + (dir / "odd.pdf").string() + "' -");
    EXPECT_NE(text.find("after"), std::string::npos);
    EXPECT_NE(text.find("<b>not markup</b>"), std::string::npos);
    EXPECT_NE(text.find("<i>name</i>"), std::string::npos);
}

TEST(ExportDescriptions, NameCountSpanAndFormat) {
    ExportDocument doc;
    doc.conversationKey = "+15550001111";
    doc.conversationName = "+15550001111";
    EXPECT_EQ(describeExport(doc, ExportFormat::csv), "Conversation with +15550001111: no messages, as CSV.");
    ExportMessage m;
    m.date = *parseISO8601("2024-01-15T12:00:00Z");
    doc.messages.push_back(m);
    EXPECT_EQ(describeExport(doc, ExportFormat::pdf), "Conversation with +15550001111: 1 message, 2024-01-15, as PDF.");
}

} // namespace
} // namespace kx

namespace kx {
namespace {

std::string withoutWhitespace(const std::string& s) {
    std::string out;
    for (char c : s)
        if (!std::isspace(static_cast<unsigned char>(c)) && c != '\f') out += c;
    return out;
}

TEST(CsvCells, GuardsSpacedAndFullWidthFormulasAndKeepsItsApostrophesApart) {
    for (std::string v : {"\xEF\xBC\x9D"
                          "1+1",
                          "  =SUM(A1)", " +1", " -1",
                          "\xEF\xBC\x8B"
                          "1",
                          "\xE3\x80\x80=1", "\xEF\xBC\xA0x"})
        EXPECT_EQ(csvCell(v), "\"'" + v + "\"") << v;
    // An apostrophe in the data is doubled: one leading apostrophe is always the export's.
    EXPECT_EQ(csvCell("'quoted"), "\"''quoted\"");
    EXPECT_EQ(csvCell("'=1"), "\"''=1\"");
    EXPECT_EQ(csvCell("it's"), "\"it's\"");
    EXPECT_EQ(csvCell("  plain"), "\"  plain\"");
    EXPECT_EQ(csvCell("   "), "\"   \"");

    std::int64_t nul = 0;
    EXPECT_EQ(csvCell(std::string("a\0b\0", 4), &nul), "\"a\xEF\xBF\xBD"
                                                       "b\xEF\xBF\xBD\"");
    EXPECT_EQ(nul, 2);
}

TEST(ExportPdf, AddsNoHyphenWhereALongWordIsBroken) {
    // Pango would draw a hyphen at each forced break; the text layer hides it (the
    // glyph joins the last letter's cluster), so the pages are compared instead: the
    // word wrapped by the layout must look exactly like the same word cut by hand
    // into the same lines.
    std::string word;
    for (int i = 0; i < 60; ++i) word += "kelvara";
    auto pdfOf = [](const std::string& text) {
        ExportDocument doc;
        doc.conversationKey = doc.conversationName = "x";
        ExportMessage m;
        m.text = text;
        doc.messages.push_back(m);
        return renderPdf(doc);
    };
    test::TempDir dir;
    test::writeAll(dir / "wrapped.pdf", pdfOf(word));
    if (!std::filesystem::exists("/usr/bin/pdftotext") || !std::filesystem::exists("/usr/bin/pdftoppm"))
        KX_SKIP_WITHOUT_PEER("poppler-utils are not installed");
    const std::string text = run("pdftotext -enc UTF-8 '" + (dir / "wrapped.pdf").string() + "' -");
    EXPECT_NE(withoutWhitespace(text).find(word), std::string::npos);

    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line.find_first_not_of("kelvar") == std::string::npos) lines.push_back(line);
    ASSERT_GT(lines.size(), 2u) << text;
    std::string byHand;
    for (const auto& l : lines) byHand += (byHand.empty() ? "" : "\n") + l;
    ASSERT_EQ(withoutWhitespace(byHand), word);
    test::writeAll(dir / "byhand.pdf", pdfOf(byHand));

    auto pixels = [&](const std::string& name) {
        run("pdftoppm -r 60 -gray -f 1 -l 1 '" + (dir / (name + ".pdf")).string() + "' '" + (dir / name).string() +
            "'");
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            if (e.path().filename().string().rfind(name + "-", 0) == 0) return test::readAll(e.path());
        return std::string();
    };
    const std::string wrapped = pixels("wrapped"), cut = pixels("byhand");
    ASSERT_FALSE(wrapped.empty());
    EXPECT_TRUE(wrapped == cut) << "the wrapped word shows marks the data does not have";
}

class GroupExport : public ::testing::Test {
protected:
    void SetUp() override {
        auto w = TreskStoreWriter::open(db.string(), "jorin", test::fixtureDate(0));
        w->begin();
        const std::int64_t row = w->sourceRow({.id = "src-main",
                                               .owner = "jorin",
                                               .path = "/nowhere/src-main",
                                               .label = std::nullopt,
                                               .lastScanned = std::nullopt,
                                               .lastError = std::nullopt},
                                              test::fixtureDate(0));
        const ChatRecord chat{.guid = "iMessage;+;chat555",
                              .identifier = "chat555",
                              .displayName = "Book Club",
                              .service = "iMessage",
                              .isGroup = true,
                              .participants = {"+15550001111", "+15550002222"}};
        w->addChat(chat);
        int i = 0;
        for (const std::string handle : {"+15550001111", "+15550002222"}) {
            MessageRecord m;
            m.guid = "G-" + std::to_string(++i);
            m.chatGuid = chat.guid;
            m.handle = handle;
            m.service = "iMessage";
            m.text = "hello from " + std::to_string(i);
            m.date = test::fixtureDate(i);
            w->addMessage(m, row, test::fixtureDate(0));
        }
        w->commit();
        store = std::make_unique<TreskStore>(db.string());
    }
    ConversationExporter::Written write(ExportFormat format, const std::string& name) {
        ConversationExporter e(*store, "jorin", (root / "jorin" / "attachments").string(), names,
                               ExportTimeZone::fixed(0, "UTC"));
        return e.write("chat555", format, (root / name).string(), test::fixtureDate(100), "1");
    }

    test::TempDir root;
    std::filesystem::path db = root / "jorin" / "tresk.db";
    MapContactResolver names{{{"+15550001111", "Alice Example"}}};
    std::unique_ptr<TreskStore> store;
};

TEST_F(GroupExport, SendersAreTheirOwnNamesOrHandlesNeverTheGroupName) {
    write(ExportFormat::json, "g.json");
    const auto j = nlohmann::json::parse(test::readAll(root / "g.json"));
    ASSERT_EQ(j["messages"].size(), 2u);
    EXPECT_EQ(j["messages"][0]["senderName"], "Alice Example");
    EXPECT_EQ(j["messages"][1]["senderName"], "+15550002222");

    write(ExportFormat::csv, "g.csv");
    const auto rows = exportRows(test::readAll(root / "g.csv"));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1][3], "Alice Example");
    EXPECT_EQ(rows[2][3], "'+15550002222"); // the formula guard's apostrophe

    write(ExportFormat::pdf, "g.pdf");
    if (!std::filesystem::exists("/usr/bin/pdftotext")) KX_SKIP_WITHOUT_PEER("pdftotext is not installed");
    const std::string text = run("pdftotext -enc UTF-8 '" + (root / "g.pdf").string() + "' -");
    EXPECT_NE(text.find("Alice Example <+15550001111> ·"), std::string::npos) << text;
    EXPECT_NE(text.find("\n+15550002222 ·"), std::string::npos) << text;
    // The group's name is shown once, in the heading's detail line, not as a sender.
    const auto first = text.find("Book Club");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.find("Book Club", first + 1), std::string::npos) << text;
}

TEST_F(ConversationExport, CsvWritesNulBytesAsReplacementCharactersAndSaysSo) {
    test::tamper(db, "UPDATE messages SET text = 'before' || char(0) || 'after' WHERE guid = 'MSG-3'");
    store = std::make_unique<TreskStore>(db.string());
    auto w = exporter().write("+15550001111", ExportFormat::csv, (out / "nul.csv").string(), at, "1");
    const std::string bytes = test::readAll(out / "nul.csv");
    EXPECT_EQ(bytes.find('\0'), std::string::npos);
    const auto rows = exportRows(bytes);
    ASSERT_EQ(rows.size(), 26u);
    EXPECT_EQ(rows[3][6], "before\xEF\xBF\xBD"
                          "after");
    EXPECT_EQ(w.replacedNulBytes, 1);
    ASSERT_EQ(w.notes.size(), 1u);
    EXPECT_NE(w.notes[0].find("1 NUL byte was written as U+FFFD"), std::string::npos) << w.notes[0];
    // The description, which the seal records, carries the note.
    EXPECT_EQ(w.description,
              "Conversation with Alice Example (+15550001111): 25 messages, 2024-03-01, as CSV. " + w.notes[0]);

    auto clean = exporter().write("+15550001111", ExportFormat::json, (out / "nul.json").string(), at, "1");
    EXPECT_TRUE(clean.notes.empty());
}

} // namespace
} // namespace kx

namespace kx {
namespace {

TEST(ExportPdf, RightToLeftOverridesInNamesAndBodiesStayInsideThem) {
    const std::string rlo = "\xE2\x80\xAE";
    const std::string pdi = "\xE2\x81\xA9";
    ExportDocument doc;
    doc.conversationKey = "+1";
    doc.conversationName = rlo + "Title";
    doc.timeZone = ExportTimeZone::fixed(0, "UTC");
    ExportMessage m;
    m.date = *parseISO8601("2024-01-15T12:34:56Z");
    m.senderName = rlo + "Mallory";
    m.senderHandle = pdi + rlo + "handle"; // a stray isolate end must not close ours early
    m.text = rlo + "body" + pdi + rlo + "more";
    m.dateEdited = m.date;
    ExportAttachment a;
    a.id = "att";
    a.fileName = rlo + "gpj.exe";
    a.mimeType = "image/jpeg";
    m.attachments.push_back(a);
    doc.messages.push_back(m);
    test::TempDir dir;
    test::writeAll(dir / "rlo.pdf", renderPdf(doc));
    if (!std::filesystem::exists("/usr/bin/pdftotext")) KX_SKIP_WITHOUT_PEER("pdftotext is not installed");
    const std::string text = run("pdftotext -enc UTF-8 '" + (dir / "rlo.pdf").string() + "' -");
    auto lineWith = [&](const std::string& needle) {
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            if (line.find(needle) != std::string::npos) return line;
        return std::string();
    };
    // The heading: the name is reversed (as its sender asked), the time and labels after it are not.
    const std::string head = lineWith("yrollaM");
    ASSERT_FALSE(head.empty()) << text;
    EXPECT_NE(head.find("2024-01-15 12:34:56"), std::string::npos) << head;
    EXPECT_NE(head.find("edited"), std::string::npos) << head;
    EXPECT_LT(head.find("yrollaM"), head.find("2024-01-15 12:34:56")) << head;
    EXPECT_LT(head.find("2024-01-15 12:34:56"), head.find("edited")) << head;
    // The attachment label and its details keep their order around the file name.
    // (pdftotext splits reversed italic runs with spaces, so they are ignored.)
    const std::string att = withoutWhitespace(lineWith("Attachment:"));
    EXPECT_EQ(att.rfind("Attachment:exe.jpg(image/jpeg,", 0), 0u) << att;
    // The footer: the page count follows the title, unreversed.
    const std::string footer = lineWith("Page 1 of 1");
    ASSERT_FALSE(footer.empty()) << text;
    EXPECT_LT(footer.find("eltiT"), footer.find("Page 1 of 1")) << footer;
}

// A contact name with an unclosed right-to-left override: the handle after it
// keeps its own order.
TEST(ExportPdf, AnOverrideLeftOpenInANameNeverReversesTheHandle) {
    const std::string rlo = "\xE2\x80\xAE";
    ExportDocument doc;
    doc.conversationKey = "+15550003333";
    doc.conversationName = "Mallory";
    doc.timeZone = ExportTimeZone::fixed(0, "UTC");
    // (pdftotext reads right-to-left letters in an order of its own, so the names are Latin.)
    for (const std::string& name : {rlo + "Mallory", rlo + "\xE2\x81\xA7" + "Mallory", std::string("Alice")}) {
        ExportMessage m;
        m.date = *parseISO8601("2024-01-15T12:34:56Z");
        m.senderName = name;
        m.senderHandle = "+15550003333";
        m.text = "hello";
        doc.messages.push_back(m);
    }
    test::TempDir dir;
    test::writeAll(dir / "name.pdf", renderPdf(doc));
    if (!std::filesystem::exists("/usr/bin/pdftotext")) KX_SKIP_WITHOUT_PEER("pdftotext is not installed");
    const std::string text = run("pdftotext -enc UTF-8 '" + (dir / "name.pdf").string() + "' -");
    int headings = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.find("2024-01-15") == std::string::npos) continue;
        ++headings;
        EXPECT_NE(line.find("<+15550003333>"), std::string::npos) << line;
        EXPECT_LT(line.find("+15550003333"), line.find("2024-01-15")) << line;
    }
    EXPECT_EQ(headings, 3) << text;
}

} // namespace
} // namespace kx

namespace kx {
namespace {

// Numbered words, so that a word lost, doubled or moved shows.
std::string numberedWords(const std::string& prefix, std::size_t bytes, const char* separator) {
    std::string out;
    char word[32];
    for (long i = 0; out.size() < bytes; ++i) {
        std::snprintf(word, sizeof word, "%s%07ld%s", prefix.c_str(), i, separator);
        out += word;
    }
    return out;
}

struct WordBox {
    double xMin, yMin, xMax, yMax;
    std::string text;
};

// The words of every page with their boxes, as pdftotext places them.
std::vector<std::vector<WordBox>> wordsByPage(const std::filesystem::path& pdf) {
    const std::string xml = run("pdftotext -bbox '" + pdf.string() + "' -");
    std::vector<std::vector<WordBox>> pages;
    auto nextPage = xml.find("<page ");
    for (auto at = xml.find("<word "); at != std::string::npos; at = xml.find("<word ", at + 1)) {
        for (; nextPage < at; nextPage = xml.find("<page ", nextPage + 1)) pages.emplace_back();
        WordBox w{};
        // sscanf measures the whole string it is given: hand it the tag alone.
        const std::string tag = xml.substr(at, xml.find('>', at) - at + 1);
        if (pages.empty() || std::sscanf(tag.c_str(), "<word xMin=\"%lf\" yMin=\"%lf\" xMax=\"%lf\" yMax=\"%lf\">",
                                         &w.xMin, &w.yMin, &w.xMax, &w.yMax) != 4)
            continue;
        const auto open = xml.find('>', at) + 1;
        w.text = xml.substr(open, xml.find("</word>", open) - open);
        pages.back().push_back(w);
    }
    for (; nextPage != std::string::npos; nextPage = xml.find("<page ", nextPage + 1)) pages.emplace_back();
    return pages;
}

// A page rendered in grey at one pixel per point: its width, height and pixels.
struct Greys {
    int width = 0, height = 0;
    std::string pixels;
    bool inkIn(const WordBox& b) const {
        for (int y = std::max(0, static_cast<int>(b.yMin)); y < std::min(height, static_cast<int>(b.yMax) + 1); ++y)
            for (int x = std::max(0, static_cast<int>(b.xMin)); x < std::min(width, static_cast<int>(b.xMax) + 1); ++x)
                if (static_cast<unsigned char>(pixels[static_cast<std::size_t>(y) * width + x]) < 224) return true;
        return false;
    }
};

Greys renderPage(const std::filesystem::path& pdf, int page) {
    const auto to = pdf.parent_path() / ("page-" + std::to_string(page));
    run("pdftoppm -r 72 -gray -singlefile -f " + std::to_string(page) + " -l " + std::to_string(page) + " '" +
        pdf.string() + "' '" + to.string() + "'");
    const std::string pgm = test::readAll(to.string() + ".pgm");
    Greys g;
    int max = 0, used = 0;
    if (std::sscanf(pgm.c_str(), "P5 %d %d %d%n", &g.width, &g.height, &max, &used) != 3) return g;
    g.pixels = pgm.substr(static_cast<std::size_t>(used) + 1);
    if (g.pixels.size() < static_cast<std::size_t>(g.width) * g.height) g.width = g.height = 0;
    return g;
}

TEST_F(ConversationExport, LongMessagesAppearWholeOnAsManyPagesAsTheyNeed) {
    // 400 KB as one paragraph; 3 MB mixing a 2 MB paragraph, a 300 KB run with
    // no space to break at, CJK text and many short lines.
    const std::string medium = numberedWords("m", 400 * 1024, " ");
    std::string large = numberedWords("w", 2 * 1024 * 1024, " ") + "\n" + numberedWords("r", 300 * 1024, "") + "\n";
    for (int i = 0; i < 2000; ++i) large += "你好世界" + std::to_string(i) + (i % 10 ? " " : "\n");
    large += numberedWords("n", 30 * 1024, "\n");
    large += numberedWords("s", 3 * 1024 * 1024 - large.size(), " ");
    test::addMessages(db, {.first = 26, .count = 3, .texts = {medium, large, "after the long ones"}});
    store = std::make_unique<TreskStore>(db.string());

    const auto path = out / "long.pdf";
    exporter().write("+15550001111", ExportFormat::pdf, path.string(), at, "1");
    if (!std::filesystem::exists("/usr/bin/pdftotext")) KX_SKIP_WITHOUT_PEER("pdftotext is not installed");
    // The text layer without the page footers, which stand between a page's
    // last line and the next page's first.
    std::string text;
    std::istringstream lines(run("pdftotext -enc UTF-8 '" + path.string() + "' -"));
    for (std::string line; std::getline(lines, line);)
        if (line.find("Conversation with Alice Example") == std::string::npos ||
            line.find(" Page ") == std::string::npos)
            text += withoutWhitespace(line);
    const auto mediumAt = text.find(withoutWhitespace(medium));
    const auto largeAt = text.find(withoutWhitespace(large));
    EXPECT_NE(mediumAt, std::string::npos) << "the 400 KB message is not whole in the text layer";
    EXPECT_NE(largeAt, std::string::npos) << "the 3 MB message is not whole in the text layer";
    EXPECT_LT(mediumAt, largeAt);
    EXPECT_NE(text.find("afterthelongones", largeAt), std::string::npos);

    const std::string info = run("pdfinfo '" + path.string() + "'");
    const int pages = std::stoi(info.substr(info.find("Pages:") + 6));
    // A page holds some 50 lines of some 90 characters.
    EXPECT_GT(pages, static_cast<int>((medium.size() + large.size()) / (50 * 90)));

    // On every page, every word stands inside the margins and above the footer,
    // and no two words are drawn over each other.
    const double width = 595.276, height = 841.89, margin = 50, bodyBottom = height - margin - 24;
    const auto words = wordsByPage(path);
    ASSERT_EQ(static_cast<int>(words.size()), pages);
    for (int page = 1; page <= pages; ++page) {
        const auto& onPage = words[page - 1];
        ASSERT_GT(onPage.size(), 3u) << "page " << page;
        for (const auto& w : onPage) {
            EXPECT_GE(w.xMin, margin - 0.5) << w.text << " on page " << page;
            EXPECT_LE(w.xMax, width - margin + 0.5) << w.text << " on page " << page;
            EXPECT_GE(w.yMin, margin - 0.5) << w.text << " on page " << page;
            const bool footer = w.yMin > bodyBottom;
            EXPECT_LE(w.yMax, footer ? height - margin / 2 : bodyBottom + 0.5) << w.text << " on page " << page;
        }
        for (std::size_t i = 0; i < onPage.size(); ++i)
            for (std::size_t j = i + 1; j < onPage.size(); ++j) {
                const auto& a = onPage[i];
                const auto& b = onPage[j];
                const double x = std::min(a.xMax, b.xMax) - std::max(a.xMin, b.xMin);
                const double y = std::min(a.yMax, b.yMax) - std::max(a.yMin, b.yMin);
                EXPECT_FALSE(x > 0.5 && y > 0.5) << a.text << " and " << b.text << " overlap on page " << page;
            }
        if (HasFailure()) break;
    }
    // And the words are drawn where the text layer has them: pages of each kind
    // of text, rendered, show ink in every word's box.
    if (!std::filesystem::exists("/usr/bin/pdftoppm")) return;
    for (int page : {1, 2, pages / 4, pages / 2, (3 * pages) / 4, pages - 1, pages}) {
        const Greys g = renderPage(path, page);
        ASSERT_GT(g.width, 0) << "page " << page << " could not be rendered";
        for (const auto& w : words[page - 1]) EXPECT_TRUE(g.inkIn(w)) << w.text << " is not drawn on page " << page;
    }
}

} // namespace
} // namespace kx

namespace kx {
namespace {

// Names handles, and on its nth call runs `sideEffect` once: a hook into the
// middle of an export, which resolves a name for every message it writes.
class HookedResolver final : public ContactResolver {
public:
    HookedResolver(int nth, std::function<void()> sideEffect) : nth_(nth), sideEffect_(std::move(sideEffect)) {}
    ResolvedName resolve(const std::string& handle, const std::optional<std::string>& chat) const override {
        if (++calls_ == nth_) sideEffect_();
        return MapContactResolver().resolve(handle, chat);
    }

private:
    int nth_;
    std::function<void()> sideEffect_;
    mutable int calls_ = 0;
};

TEST_F(ConversationExport, ARunArchivingDuringAnExportChangesNothingInIt) {
    // Halfway through the first page, another run archives ten older messages
    // into the conversation: read by offset without one snapshot, every later
    // page would shift and the count would not match.
    int late = 0;
    for (const auto format : {ExportFormat::json, ExportFormat::csv, ExportFormat::pdf}) {
        HookedResolver names(5, [&] {
            test::addMessages(db, {.sourceId = "src-late",
                                   .guidPrefix = "LATE" + std::to_string(late),
                                   .count = 10,
                                   .dateOffset = -100000});
            ++late;
        });
        const auto path = out / ("during." + exportFormatExtension(format));
        ConversationExporter e(*store, "jorin", (root / "jorin" / "attachments").string(), names,
                               ExportTimeZone::fixed(0, "UTC"), 7);
        const auto w = e.write("+15550001111", format, path.string(), at, "1");
        const int before = 25 + 10 * (late - 1);
        EXPECT_EQ(late, static_cast<int>(format) + 1);
        EXPECT_NE(w.description.find(std::to_string(before) + " messages"), std::string::npos) << w.description;
        if (format == ExportFormat::json) {
            const auto j = nlohmann::json::parse(test::readAll(path));
            EXPECT_EQ(j["messageCount"], before);
            ASSERT_EQ(j["messages"].size(), 25u);
            for (int i = 0; i < 25; ++i) EXPECT_EQ(j["messages"][i]["guid"], "MSG-" + std::to_string(i + 1));
        } else if (format == ExportFormat::csv) {
            EXPECT_EQ(exportRows(test::readAll(path)).size(), static_cast<std::size_t>(before + 1));
        }
    }
    // The next export sees what was archived meanwhile.
    const auto w = exporter().write("+15550001111", ExportFormat::csv, (out / "after.csv").string(), at, "1");
    EXPECT_NE(w.description.find("55 messages"), std::string::npos) << w.description;
}

TEST(ExportJson, AConversationWithoutMessagesIsAnEmptyList) {
    ExportDocument doc;
    doc.conversationKey = doc.conversationName = "+1";
    const std::string bytes = renderJson(doc);
    const auto j = nlohmann::json::parse(bytes);
    EXPECT_EQ(j["messages"], nlohmann::json::array());
    EXPECT_EQ(j["messageCount"], 0);
    EXPECT_TRUE(j.dump(2) + "\n" == bytes);
}

} // namespace
} // namespace kx
