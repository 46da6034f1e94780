// What a bubble and a list row say, to the eye and to assistive technology:
// the accessible values of messages, the file-row status lines, the symbols of
// attachment kinds and the texts of rows whose name kind is not known.
#include "reading/model/reading_text.h"

#include <gtest/gtest.h>

using namespace kx;
using namespace reading;

namespace {

TreskStore::SearchHit hit(std::optional<std::string> text, std::optional<Date> date = std::nullopt,
                          std::vector<std::string> sources = {"a"}, bool fromMe = false) {
    TreskStore::SearchHit h;
    h.id = "m";
    h.text = std::move(text);
    h.date = date;
    h.sourceIds = std::move(sources);
    h.isFromMe = fromMe;
    return h;
}

TreskStore::AttachmentRef attachment(std::optional<std::string> name, std::optional<std::string> mime = std::nullopt) {
    TreskStore::AttachmentRef a;
    a.id = "a";
    a.fileName = std::move(name);
    a.mimeType = std::move(mime);
    return a;
}

} // namespace

TEST(BubbleTexts, AccessibleValueJoinsWhatAppliesAndSaysEmptyOtherwise) {
    EXPECT_EQ(bubbleAccessibleValue(hit(std::nullopt), {}), "Empty message");
    EXPECT_EQ(bubbleAccessibleValue(hit(std::string("\xEF\xBF\xBC  \n")), {}), "Empty message");

    EXPECT_EQ(bubbleAccessibleValue(hit(std::string("  hello \n")), {attachment(std::nullopt)}), "hello. 1 attachment");
    EXPECT_EQ(bubbleAccessibleValue(hit(std::nullopt), {attachment(std::string("a.jpg"))}), "1 attachment: a.jpg");
    EXPECT_EQ(bubbleAccessibleValue(hit(std::nullopt), {attachment(std::string("a")), attachment(std::nullopt),
                                                        attachment(std::string("c"))}),
              "3 attachments");

    const Date when = fromUnixSeconds(1709283600);
    const QString date = abbreviatedDateTime(toDateTime(when));
    EXPECT_EQ(bubbleAccessibleValue(hit(std::string("x"), when, {"a", "b"}), {}),
              "x. " + date + ". corroborated in 2 sources");
    EXPECT_EQ(bubbleAccessibleValue(hit(std::nullopt, std::nullopt, {"a", "b", "c"}), {}), "corroborated in 3 sources");
    EXPECT_EQ(corroborationHelp(hit(std::nullopt, std::nullopt, {"mac", "phone"})), "Found in 2 sources: mac, phone");
    EXPECT_EQ(bubbleAccessibleLabel(hit(std::nullopt, std::nullopt, {}, true)), "You said");
    EXPECT_EQ(bubbleAccessibleLabel(hit(std::nullopt)), "They said");
    EXPECT_FALSE(shortTime(toDateTime(when)).contains(":00:")); // hour and minute only
}

TEST(AttachmentTexts, SymbolsStatusesAndTitles) {
    EXPECT_EQ(attachmentSymbol(std::string("video/mp4")), "play.rectangle.fill");
    EXPECT_EQ(attachmentSymbol(std::string("image/heic")), "photo");
    EXPECT_EQ(attachmentSymbol(std::string("audio/amr")), "waveform");
    EXPECT_EQ(attachmentSymbol(std::string("application/pdf")), "doc.richtext");
    EXPECT_EQ(attachmentSymbol(std::string("Application/PDF")), "doc");
    EXPECT_EQ(attachmentSymbol(std::string("IMAGE/png")), "doc");
    EXPECT_EQ(attachmentSymbol(std::nullopt), "doc");
    EXPECT_FALSE(isImageType(std::nullopt));

    auto a = attachment(std::string("x.bin"));
    a.totalBytes = 2048;
    EXPECT_EQ(attachmentStatus(a, false).line, "bytes not archived"); // flag missing
    a.hasFile = true;
    EXPECT_EQ(attachmentStatus(a, false).line, "bytes not archived");
    EXPECT_EQ(attachmentStatus(a, false).help, "The source recorded a file, but its bytes are not in the archive.");
    a.hasFile = false;
    EXPECT_EQ(attachmentStatus(a, false).line, "not downloaded on the original device");
    EXPECT_EQ(attachmentStatus(a, false).help, "The source database recorded no file for this attachment. The bytes "
                                               "were never stored on that device.");
    EXPECT_FALSE(attachmentStatus(a, true).line.isEmpty());
    a.totalBytes = 0;
    EXPECT_TRUE(attachmentStatus(a, true).line.isEmpty());
    a.totalBytes = -5;
    EXPECT_TRUE(attachmentStatus(a, true).line.isEmpty());

    EXPECT_EQ(attachmentTitle(attachment(std::nullopt)), "Attachment");
    EXPECT_EQ(attachmentTitle(attachment(std::string("two\nlines\x01.txt"))), "two lines .txt");
    EXPECT_EQ(attachmentTitle(attachment(std::string("\xE2\x80\xAEgpj.exe"))), "gpj.exe"); // never "exe.jpg"
    a.totalBytes = 1;
    EXPECT_EQ(attachmentStatus(a, true).line, "1 byte");
    EXPECT_EQ(loadEarlierTitle(250), "Load earlier messages (250 older)");
}

TEST(ConversationTexts, NameKindsDecideTheSecondText) {
    TreskStore::ConversationSummary s{"+15550001", "iMessage", 1, std::nullopt, std::nullopt};
    ResolvedName handleOnly{"+15550001", ResolvedName::handleOnly, "+15550001"};
    ResolvedName typed{"Mum", ResolvedName::userOverride, "+15550001"};
    ResolvedName unknownKind{"Someone", 42, "+15550001"};
    EXPECT_EQ(conversationDetailLine(s, handleOnly), "1 message");
    EXPECT_EQ(conversationAccessibleLabel(s, handleOnly), "+15550001, 1 messages");
    EXPECT_EQ(conversationDetailLine(s, typed), "+15550001 · 1 message");
    EXPECT_EQ(conversationAccessibleLabel(s, typed), "Mum, +15550001, 1 messages");
    // A kind this screen does not know shows its second text, as every kind but "handle only" does.
    EXPECT_EQ(conversationDetailLine(s, unknownKind), "+15550001 · 1 message");
    s.messageCount = 12;
    s.lastDate = fromUnixSeconds(1709283600);
    EXPECT_EQ(conversationDetailLine(s, handleOnly), "12 messages · " + mediumDate(toDateTime(*s.lastDate).date()));
}
