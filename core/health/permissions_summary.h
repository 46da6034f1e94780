#pragma once
// Every permission archiving depends on, gathered in one value for the settings
// window's permissions tab and the onboarding flow.
//
// Fields, in order: whether the daily schedule is installed, the access verdict
// for the Messages database, the Contacts state and whether notifications are
// allowed (nothing when the system has not said). `rows` turns them into the
// lines the permissions tab lists, in display order:
//
//   "Full Disk Access"      required  from the verdict
//   "Daily archive run"     required  installed or not
//   "Contacts"              optional  from the Contacts state
//   "Notifications"         optional  from the notification answer
#include "core/contacts/contacts_authorization.h"
#include "core/health/full_disk_access_probe.h"

#include <optional>
#include <string>
#include <vector>

namespace kx {

struct PermissionsSummary {
    bool scheduleInstalled = false;
    FullDiskAccessProbe::Verdict fullDiskAccess = FullDiskAccessProbe::Verdict::notRunYet();
    ContactsAuthorization contacts = ContactsAuthorization::notLoaded;
    std::optional<bool> notificationsAllowed;

    struct Row {
        enum class State { granted, notGranted, notKnown };
        std::string id; // stable identity of the row: "fullDiskAccess", "schedule", "contacts", "notifications"
        std::string title;
        std::string detail;
        State state = State::notKnown;
        bool required = false;
        bool operator==(const Row&) const = default;
    };
    std::vector<Row> rows() const;

    // The one-line answer to "is anything actually being archived?".
    enum class Overall {
        archiving,        // access granted everywhere and the daily run installed
        archivingByHand,  // access granted but no daily run: only manual scans archive
        blocked,          // something that must read Messages cannot
        notKnown,         // access not checked (or the check failed)
        nothingToArchive, // no Messages database on this computer
    };
    Overall overall() const;

    bool operator==(const PermissionsSummary&) const = default;
};

} // namespace kx
