#include "core/contacts/contact_directory.h"
#include "core/contacts/contact_handles.h"

#include <gtest/gtest.h>

using namespace kx;
using namespace kx::contacts;

TEST(ContactHandles, PhoneNumbersBecomeE164) {
    EXPECT_EQ(normalizePhone("+1 (555) 123-4567", "44"), "+15551234567");
    EXPECT_EQ(normalizePhone("tel:+44-20-7946-0958", ""), "+442079460958");
    EXPECT_EQ(normalizePhone("0049 30 1234567", "1"), "+49301234567");
    EXPECT_EQ(normalizePhone("(555) 123-4567", "1"), "+15551234567");
    EXPECT_EQ(normalizePhone("1-555-123-4567", "1"), "+15551234567");
    EXPECT_EQ(normalizePhone("011 44 20 7946 0958", "1"), "+442079460958");
    EXPECT_EQ(normalizePhone("030 1234567", "49"), "+49301234567");
    EXPECT_EQ(normalizePhone("06 12 34 56 78", "39"), "+390612345678"); // Italy keeps the 0
    EXPECT_EQ(normalizePhone("+1 555 123 4567 ext. 89", ""), "+15551234567");
    EXPECT_EQ(normalizePhone("+15551234567;ext=12", ""), "+15551234567");
    EXPECT_FALSE(normalizePhone("030 1234567", "")); // national, no calling code known
    EXPECT_FALSE(normalizePhone("1-800-FLOWERS", "1"));
    EXPECT_FALSE(normalizePhone("+1 555 +1", "1"));
    EXPECT_FALSE(normalizePhone("12", "1"));
    EXPECT_FALSE(normalizePhone("+1234567890123456", ""));
    EXPECT_FALSE(normalizePhone("", "1"));
}

TEST(ContactHandles, EmailsCompareWithoutCase) {
    EXPECT_EQ(normalizeEmail("  Sam.Example@Mail.COM "), "sam.example@mail.com");
    EXPECT_EQ(normalizeEmail("MAILTO:sam@x.org"), "sam@x.org");
    EXPECT_EQ(handleKey("Sam@X.org", "1"), "mailto:sam@x.org");
    EXPECT_EQ(handleKey("+1 555 123 4567", "1"), "tel:+15551234567");
    EXPECT_FALSE(handleKey("chat123456", "1"));
}

TEST(ContactHandles, CallingCodeComesFromTheLocaleRegion) {
    EXPECT_EQ(callingCodeForLocale("en_US.UTF-8"), "1");
    EXPECT_EQ(callingCodeForLocale("de_DE@euro"), "49");
    EXPECT_EQ(callingCodeForLocale("en_gb"), "44");
    EXPECT_EQ(callingCodeForLocale("C.UTF-8"), "");
    EXPECT_EQ(callingCodeForLocale("POSIX"), "");
    EXPECT_EQ(callingCodeForLocale("xx_QQ"), "");
}

TEST(ContactDirectory, MatchesNumbersWrittenDifferentlyAndAddressesInAnyCase) {
    ContactDirectory d("1");
    EXPECT_TRUE(d.add({"Mum", {"(555) 123-4567"}, {"Mum@Example.com"}}));
    EXPECT_TRUE(d.add({"Imposter", {"+1 555 123 4567"}, {}})); // same number: the first card keeps it
    EXPECT_FALSE(d.add({"", {"+15550000000"}, {}}));           // no name
    EXPECT_FALSE(d.add({"Nobody", {"n/a"}, {"not-an-address"}}));
    EXPECT_EQ(d.contactCount(), 2u);
    EXPECT_EQ(d.name("+15551234567"), "Mum");
    EXPECT_EQ(d.name("mum@EXAMPLE.com"), "Mum");
    EXPECT_FALSE(d.name("+15557654321"));
    EXPECT_FALSE(d.name(""));
}

TEST(ContactDirectory, NationalNumbersMatchBySuffixWithoutACallingCode) {
    ContactDirectory d("");
    d.add({"Oma", {"030 1234567"}, {}});
    d.add({"Intl", {"+44 20 7946 0958"}, {}});
    EXPECT_EQ(d.name("+49301234567"), "Oma");
    EXPECT_EQ(d.name("+442079460958"), "Intl");
    EXPECT_FALSE(d.name("+4930999"));
}
