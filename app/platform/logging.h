#pragma once
// The application's logging categories, one per room. Every failure a model
// turns into an empty result or a sentence is also logged under its room, so
// what went wrong can be sent when a screen shows nothing. Filter them as Qt
// does, e.g. QT_LOGGING_RULES="kelvara.*.debug=true".
#include <QDebug>
#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcApp)       // kelvara.app: every sentence the error banner shows
Q_DECLARE_LOGGING_CATEGORY(lcArchive)   // kelvara.archive: archive status, runs, coverage, analyses
Q_DECLARE_LOGGING_CATEGORY(lcBackup)    // kelvara.backup: keys, destinations, backup runs
Q_DECLARE_LOGGING_CATEGORY(lcEvidence)  // kelvara.evidence: manifests, seals, exports
Q_DECLARE_LOGGING_CATEGORY(lcHousehold) // kelvara.household: members, joining, health alerts
Q_DECLARE_LOGGING_CATEGORY(lcReading)   // kelvara.reading: conversations, threads, search
Q_DECLARE_LOGGING_CATEGORY(lcSetup)     // kelvara.setup: first run, settings, the daily schedule
Q_DECLARE_LOGGING_CATEGORY(lcSources)   // kelvara.sources: the source list, filters, contacts
Q_DECLARE_LOGGING_CATEGORY(lcPlatform)  // kelvara.platform: background tasks, desktop services, keyring
