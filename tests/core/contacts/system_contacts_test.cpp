#include "core/contacts/system_contacts.h"

#include "core/platform/system.h"
#include "tests/support/test_env.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace kx;

namespace {

std::string card(const std::string& name, const std::string& tel, const std::string& email = {}) {
    std::string c = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" + name + "\r\n";
    if (!tel.empty()) c += "TEL:" + tel + "\r\n";
    if (!email.empty()) c += "EMAIL:" + email + "\r\n";
    return c + "END:VCARD\r\n";
}

} // namespace

TEST(SystemContacts, DefaultFolderIsContactsInTheDataHome) {
    EXPECT_EQ(SystemContacts::defaultFolder(), systemInfo().applicationSupportDirectory() + "/contacts");
    EXPECT_EQ(SystemContacts().folder(), SystemContacts::defaultFolder());
}

TEST(SystemContacts, NoFolderIsNotDeterminedAndLoadsNothing) {
    test::TempDir dir;
    SystemContacts contacts((dir / "contacts").string(), "1");
    EXPECT_EQ(contacts.authorizationStatus(), ContactsAuthorization::notDetermined);
    EXPECT_EQ(contacts.requestAccess(), ContactsAuthorization::notDetermined);
    const auto r = contacts.load();
    EXPECT_EQ(r.authorization, ContactsAuthorization::notDetermined);
    EXPECT_EQ(r.loadedCount, 0);
    EXPECT_EQ(r.scannedCount, 0);
    EXPECT_FALSE(r.problem);
    test::writeAll(dir / "contacts", "a file, not a folder");
    EXPECT_EQ(contacts.authorizationStatus(), ContactsAuthorization::notDetermined);
}

TEST(SystemContacts, ReadsAVdirWithOneOrManyCardsPerFileAndTouchesNothing) {
    test::TempDir dir;
    const auto root = dir / "contacts";
    test::writeAll(root / "default" / "a.vcf", card("Ada", "+44 20 7946 0958"));
    test::writeAll(root / "default" / "b.VCF",
                   card("Bob", "(555) 123-4567", "BOB@example.com") + card("Carol", "", "carol@example.com"));
    test::writeAll(root / "work" / "deep" / "c.vcf", card("Dan", "+1 555 000 1111"));
    test::writeAll(root / "top.vcf", card("Eve", "", "eve@example.com") + card("No handles", ""));
    test::writeAll(root / "notes.txt", card("Ignored", "+1 555 999 9999"));
    test::writeAll(root / ".hidden" / "h.vcf", card("Hidden", "+1 555 888 8888"));
    test::writeAll(root / "l1" / "l2" / "l3" / "too-deep.vcf", card("Deep", "+1 555 777 7777"));
    std::filesystem::create_directories(dir / "elsewhere");
    test::writeAll(dir / "elsewhere" / "x.vcf", card("Linked", "+1 555 666 6666"));
    std::filesystem::create_directory_symlink(dir / "elsewhere", root / "linked-folder");
    const std::string before = test::snapshotTree(root);

    SystemContacts contacts(root.string(), "1");
    EXPECT_EQ(contacts.authorizationStatus(), ContactsAuthorization::authorized);
    auto r = contacts.loadInBackground().get();
    EXPECT_EQ(r.authorization, ContactsAuthorization::authorized);
    EXPECT_EQ(r.scannedCount, 6);
    EXPECT_EQ(r.loadedCount, 5);
    EXPECT_FALSE(r.problem) << *r.problem;
    EXPECT_EQ(r.directory.name("+442079460958"), "Ada");
    EXPECT_EQ(r.directory.name("+15551234567"), "Bob");
    EXPECT_EQ(r.directory.name("bob@EXAMPLE.COM"), "Bob");
    EXPECT_EQ(r.directory.name("carol@example.com"), "Carol");
    EXPECT_EQ(r.directory.name("+15550001111"), "Dan");
    EXPECT_FALSE(r.directory.name("+15559999999"));
    EXPECT_FALSE(r.directory.name("+15558888888"));
    EXPECT_FALSE(r.directory.name("+15557777777"));
    EXPECT_FALSE(r.directory.name("+15556666666"));
    EXPECT_EQ(test::snapshotTree(root), before);
}

TEST(SystemContacts, UnreadableFilesAreAProblemButTheRestLoads) {
    test::TempDir dir;
    const auto root = dir / "contacts";
    test::writeAll(root / "good.vcf", card("Ada", "+44 20 7946 0958"));
    test::writeAll(root / "huge.vcf", std::string(16 * 1024 * 1024 + 1, 'x'));
    ASSERT_EQ(::mkfifo((root / "pipe.vcf").c_str(), 0600), 0); // never blocks the load
    SystemContacts contacts(root.string(), "1");
    const auto r = contacts.load();
    EXPECT_EQ(r.authorization, ContactsAuthorization::authorized);
    EXPECT_EQ(r.loadedCount, 1);
    ASSERT_TRUE(r.problem);
    EXPECT_NE(r.problem->find("1 of 2 contact files could not be read"), std::string::npos) << *r.problem;
    EXPECT_NE(r.problem->find("larger than 16 MiB"), std::string::npos) << *r.problem;
}

TEST(SystemContacts, UnlistableFolderIsDenied) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not apply to root";
    test::TempDir dir;
    const auto root = dir / "contacts";
    test::writeAll(root / "a.vcf", card("Ada", "+44 20 7946 0958"));
    ::chmod(root.c_str(), 0);
    SystemContacts contacts(root.string(), "1");
    EXPECT_EQ(contacts.authorizationStatus(), ContactsAuthorization::denied);
    const auto r = contacts.load();
    EXPECT_EQ(r.authorization, ContactsAuthorization::denied);
    EXPECT_EQ(r.loadedCount, 0);
    ::chmod(root.c_str(), 0700);
}

TEST(ContactsAuthorization, CaseNamesAndOrder) {
    EXPECT_EQ(static_cast<int>(ContactsAuthorization::authorized), 1); // the granted state is the second case
    EXPECT_EQ(static_cast<int>(ContactsAuthorization::notLoaded), 4);  // the state at start-up is the fifth
    EXPECT_EQ(toString(ContactsAuthorization::denied), "denied");
    EXPECT_EQ(contactsAuthorizationFromString("notLoaded"), ContactsAuthorization::notLoaded);
    EXPECT_FALSE(contactsAuthorizationFromString("granted"));
}
