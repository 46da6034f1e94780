#include "core/contacts/vcard.h"

#include <gtest/gtest.h>

using namespace kx::contacts;

TEST(VCard, ReadsSeveralCardsWithFoldingGroupsAndEscapes) {
    const std::string text = "\xEF\xBB\xBF"
                             "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ada\r\n  Lovelace\r\nN:Lovelace;Ada;;;\r\n"
                             "item1.TEL;TYPE=CELL:+44 20 7946 0958\r\nitem1.X-ABLabel:mobile\r\n"
                             "EMAIL;TYPE=\"internet,home\":ada@example.org\r\nEND:VCARD\r\n"
                             "BEGIN:VCARD\nVERSION:4.0\nN:Doe;John;Q.;Dr.;Jr.\nTEL;VALUE=uri:tel:+1-555-123-4567\n"
                             "ORG:Acme\\, Inc.;Research\nEND:VCARD\n"
                             "BEGIN:VCARD\nORG:Only Org;Dept\nEMAIL:info@org.example\nEND:VCARD\n"
                             "stray line outside\n";
    const auto cards = parseVCards(text);
    ASSERT_EQ(cards.size(), 3u);
    EXPECT_EQ(cards[0].displayName(), "Ada Lovelace");
    ASSERT_EQ(cards[0].phones.size(), 1u);
    EXPECT_EQ(cards[0].phones[0], "+44 20 7946 0958");
    EXPECT_EQ(cards[0].emails.at(0), "ada@example.org");
    EXPECT_EQ(cards[1].displayName(), "Dr. John Q. Doe Jr.");
    EXPECT_EQ(cards[1].phones.at(0), "tel:+1-555-123-4567");
    EXPECT_EQ(cards[1].organization, "Acme, Inc.");
    EXPECT_EQ(cards[2].displayName(), "Only Org");
}

TEST(VCard, QuotedPrintableLatin1NestedAndUnterminatedCards) {
    const std::string text =
        "BEGIN:VCARD\r\nVERSION:2.1\r\nFN;ENCODING=QUOTED-PRINTABLE;CHARSET=UTF-8:J=C3=B6rg M=C3=BC=\r\nller\r\n"
        "AGENT:\r\nBEGIN:VCARD\r\nFN:Nested Agent\r\nTEL:+100\r\nEND:VCARD\r\n"
        "TEL:+49 30 1234567\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nFN:Ren\xe9\r\nNOTE:line\\nbreak\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\r\nFN:Escaped\\nName\x01"
        "x\r\n"
        "BEGIN:VCARD\r\nFN:Cut off\r\nTEL:+1 555";
    const auto cards = parseVCards(text);
    ASSERT_EQ(cards.size(), 3u);
    EXPECT_EQ(cards[0].formattedName, "J\xc3\xb6rg M\xc3\xbcller");
    ASSERT_EQ(cards[0].phones.size(), 1u); // the nested card's number is not the outer card's
    EXPECT_EQ(cards[0].phones[0], "+49 30 1234567");
    EXPECT_EQ(cards[1].formattedName, "Ren\xc3\xa9"); // Latin-1 read as such
    // The third card never ends; its name is one line without control characters.
    EXPECT_EQ(cards[2].formattedName, "Escaped Name x");
}

TEST(VCard, GarbageNeverThrows) {
    EXPECT_TRUE(parseVCards("").empty());
    constexpr char garbage[] = "\x00\x01\x02 random bytes : : ;;";
    EXPECT_TRUE(parseVCards(std::string(garbage, sizeof garbage - 1)).empty());
    EXPECT_TRUE(parseVCards("END:VCARD\nEND:VCARD\n").empty());
    const auto cards = parseVCards("BEGIN:VCARD\nFN\nTEL;\"quoted:colon\":+1\nEND:VCARD");
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].phones.at(0), "+1");
}
