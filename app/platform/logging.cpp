#include "app/platform/logging.h"

Q_LOGGING_CATEGORY(lcApp, "kelvara.app")
Q_LOGGING_CATEGORY(lcArchive, "kelvara.archive")
Q_LOGGING_CATEGORY(lcBackup, "kelvara.backup")
Q_LOGGING_CATEGORY(lcEvidence, "kelvara.evidence")
Q_LOGGING_CATEGORY(lcHousehold, "kelvara.household")
Q_LOGGING_CATEGORY(lcReading, "kelvara.reading")
Q_LOGGING_CATEGORY(lcSetup, "kelvara.setup")
Q_LOGGING_CATEGORY(lcSources, "kelvara.sources")
Q_LOGGING_CATEGORY(lcPlatform, "kelvara.platform")
