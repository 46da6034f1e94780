// Loading the user's contacts, and typed names.
#include "core/contacts/layered_contact_resolver.h"
#include "tests/app/model/model_test_support.h"

namespace fs = std::filesystem;

namespace {

class ContactsModelTest : public kx::test::ModelTest {
protected:
    ::ContactsModel& contacts() const { return model->contacts(); }
    fs::path contactsFolder() const { return home / ".local/share/contacts"; }
};

} // namespace

TEST_F(ContactsModelTest, LoadingContactsFeedsTheResolverFromTheVCardFolder) {
    kx::test::writeAll(contactsFolder() / "book/people.vcf",
                       "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nTEL:+1 555 000 1001\r\nEND:VCARD\r\n"
                       "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:No Handles\r\nEND:VCARD\r\n");
    start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return contacts().contactsScanned() == 2; }, 20000));
    EXPECT_EQ(contacts().contactsAuthorization(), kx::ContactsAuthorization::authorized);
    EXPECT_EQ(contacts().contactsLoadedCount(), 1);
    EXPECT_EQ(contacts().resolver()->resolve("+15550001001", std::nullopt).displayName, "Ann Example");
}

TEST_F(ContactsModelTest, WithoutAContactsFolderNothingIsLoadedAndNothingIsSaid) {
    start();
    ASSERT_TRUE(kx::test::drainModelTasks(*model));
    EXPECT_EQ(contacts().contactsAuthorization(), kx::ContactsAuthorization::notDetermined);
    EXPECT_EQ(contacts().contactsScanned(), 0);
    EXPECT_TRUE(model->lastError().isNull());
}

TEST_F(ContactsModelTest, AFailedNameSaveStillShowsTheNameUntilQuit) {
    start();
    kx::ContactOverrides names = contacts().overrides();
    names.set("+15550001001", "Grandma");
    contacts().setOverrides(names);
    contacts().saveContactOverrides();
    EXPECT_TRUE(model->lastError().isNull());
    EXPECT_EQ(kx::ContactOverrides::load((configDir() / "contacts-overrides.json").string()).name("+15550001001"),
              "Grandma");

    fs::remove(configDir() / "contacts-overrides.json");
    fs::create_directories(configDir() / "contacts-overrides.json");
    names.set("+15550001002", "Grandpa");
    contacts().setOverrides(names);
    contacts().saveContactOverrides();
    EXPECT_TRUE(model->lastError().startsWith("Could not save the name you entered: "));
    EXPECT_TRUE(model->lastError().endsWith(". It will be lost when you quit."));
    EXPECT_EQ(contacts().resolver()->resolve("+15550001002", std::nullopt).displayName, "Grandpa");
}
