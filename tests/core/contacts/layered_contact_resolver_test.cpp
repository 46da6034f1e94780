#include "core/contacts/layered_contact_resolver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace kx;

namespace {

ContactDirectory directory() {
    ContactDirectory d("1");
    d.add({"Bob Contact", {"+1 555 123 4567"}, {"bob@example.com"}});
    return d;
}

} // namespace

TEST(LayeredContactResolver, OverridesBeatContactsBeatChatNameBeatHandle) {
    ContactOverrides o;
    o.set("+15551234567", "Dad");
    LayeredContactResolver r(o, directory(), ContactsAuthorization::authorized);
    EXPECT_EQ(r.resolve("+15551234567", std::nullopt),
              (ResolvedName{"Dad", ResolvedName::userOverride, "+15551234567"}));
    // The same number written differently still finds the typed name.
    EXPECT_EQ(r.resolve("+1 (555) 123-4567", std::nullopt).kind, ResolvedName::userOverride);
    EXPECT_EQ(r.resolve("BOB@example.com", std::string("Group")),
              (ResolvedName{"Bob Contact", ResolvedName::contact, "BOB@example.com"}));
    EXPECT_EQ(r.resolve("+15550000000", std::string("Book club")),
              (ResolvedName{"Book club", ResolvedName::chatName, "+15550000000"}));
    EXPECT_EQ(r.resolve("+15550000000", std::string()),
              (ResolvedName{"+15550000000", ResolvedName::handleOnly, "+15550000000"}));
    EXPECT_EQ(r.resolve("", std::nullopt).displayName, "unknown");
    EXPECT_EQ(r.authorization(), ContactsAuthorization::authorized);
}

TEST(LayeredContactResolver, ReplacingALayerKeepsTheOther) {
    LayeredContactResolver r;
    EXPECT_EQ(r.authorization(), ContactsAuthorization::notLoaded);
    EXPECT_EQ(r.resolve("bob@example.com", std::nullopt).kind, ResolvedName::handleOnly);
    r.replaceDirectory(directory(), ContactsAuthorization::authorized);
    EXPECT_EQ(r.resolve("bob@example.com", std::nullopt).displayName, "Bob Contact");
    ContactOverrides o;
    o.set("bob@example.com", "Robert");
    r.replaceOverrides(o);
    EXPECT_EQ(r.resolve("bob@example.com", std::nullopt).displayName, "Robert");
    r.replaceDirectory(ContactDirectory("1"), ContactsAuthorization::denied);
    EXPECT_EQ(r.resolve("bob@example.com", std::nullopt).displayName, "Robert");
    EXPECT_EQ(r.resolve("+15551234567", std::nullopt).kind, ResolvedName::handleOnly);
    EXPECT_EQ(r.authorization(), ContactsAuthorization::denied);
    r.replaceOverrides(ContactOverrides{});
    EXPECT_EQ(r.resolve("bob@example.com", std::nullopt).kind, ResolvedName::handleOnly);
}

// A worker resolves while the GUI thread swaps layers; every answer must come
// from one consistent set of layers (run under ThreadSanitizer to catch races).
TEST(LayeredContactResolver, WorkerReadsWhileLayersAreReplaced) {
    LayeredContactResolver r;
    std::atomic<bool> stop{false};
    std::atomic<int> bad{0};
    std::thread worker([&] {
        while (!stop) {
            const auto name = r.resolve("bob@example.com", std::nullopt);
            if (name.displayName != "bob@example.com" && name.displayName != "Bob Contact" &&
                name.displayName != "Robert")
                ++bad;
        }
    });
    ContactOverrides o;
    o.set("bob@example.com", "Robert");
    for (int i = 0; i < 300; ++i) {
        r.replaceDirectory(i % 2 ? directory() : ContactDirectory("1"), ContactsAuthorization::authorized);
        r.replaceOverrides(i % 3 ? o : ContactOverrides{});
    }
    stop = true;
    worker.join();
    EXPECT_EQ(bad, 0);
}
