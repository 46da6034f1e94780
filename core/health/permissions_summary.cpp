#include "core/health/permissions_summary.h"

namespace kx {

using Verdict = kx::FullDiskAccessProbe::Verdict;
using Row = PermissionsSummary::Row;
using State = Row::State;

std::vector<Row> PermissionsSummary::rows() const {
    std::vector<Row> out;

    Row fda{"fullDiskAccess", "Full Disk Access", fullDiskAccess.headline(), State::notKnown, true};
    switch (fullDiskAccess.kind) {
    case Verdict::Case::allGranted: fda.state = State::granted; break;
    case Verdict::Case::noDatabase: fda.state = State::granted; break;
    case Verdict::Case::scheduledBlocked:
    case Verdict::Case::appBlocked:
        fda.state = State::notGranted;
        if (!fullDiskAccess.text.empty()) fda.detail += " " + fullDiskAccess.text;
        break;
    case Verdict::Case::notChecked: fda.state = State::notKnown; break;
    }
    out.push_back(fda);

    out.push_back(scheduleInstalled
                      ? Row{"schedule", "Daily archive run", "Runs every day at 3:30, also while Kelvara is closed.",
                            State::granted, true}
                      : Row{"schedule", "Daily archive run", "Off: messages are archived only when you scan by hand.",
                            State::notGranted, true});

    Row contactsRow{"contacts", "Contacts", "", State::notKnown, false};
    switch (contacts) {
    case kx::ContactsAuthorization::authorized:
        contactsRow.state = State::granted;
        contactsRow.detail = "Names from your address book are shown for numbers and addresses.";
        break;
    case kx::ContactsAuthorization::denied:
        contactsRow.state = State::notGranted;
        contactsRow.detail = "Your contacts cannot be read. Names you type by hand still work.";
        break;
    case kx::ContactsAuthorization::restricted:
        contactsRow.state = State::notGranted;
        contactsRow.detail = "Contacts are restricted on this computer. Names you type by hand still work.";
        break;
    case kx::ContactsAuthorization::notDetermined:
        contactsRow.detail = "No contacts were found to connect yet. Names you type by hand still work.";
        break;
    case kx::ContactsAuthorization::notLoaded: contactsRow.detail = "Contacts have not been looked at yet."; break;
    }
    out.push_back(contactsRow);

    Row notify{"notifications", "Notifications", "", State::notKnown, false};
    if (!notificationsAllowed) {
        notify.detail = "Not known yet whether Kelvara may notify you. Alerts always show in the Health panel.";
    } else if (*notificationsAllowed) {
        notify.state = State::granted;
        notify.detail = "Health alerts arrive as notifications.";
    } else {
        notify.state = State::notGranted;
        notify.detail = "Notifications are turned off. Alerts still show in the Health panel.";
    }
    out.push_back(notify);
    return out;
}

PermissionsSummary::Overall PermissionsSummary::overall() const {
    switch (fullDiskAccess.kind) {
    case Verdict::Case::allGranted: return scheduleInstalled ? Overall::archiving : Overall::archivingByHand;
    case Verdict::Case::scheduledBlocked:
        // Without the daily run the blocked engine never runs; the application
        // itself can still archive by hand.
        return scheduleInstalled ? Overall::blocked : Overall::archivingByHand;
    case Verdict::Case::appBlocked: return Overall::blocked;
    case Verdict::Case::notChecked: return Overall::notKnown;
    case Verdict::Case::noDatabase: return Overall::nothingToArchive;
    }
    return Overall::notKnown;
}

} // namespace kx
