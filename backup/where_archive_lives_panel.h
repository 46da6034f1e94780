#pragma once
// WhereMyArchiveLivesPanel: in how many places the archive exists and whether
// each is fresh. This computer's working copy and every destination are
// described to the core (kx::ArchiveLocations), which judges them; the panel
// shows its summary, whether anything needs attention, and per place "Off",
// "Never verified", "Current" or "Out of date". It is rebuilt whenever the
// destination list or the archive root changes, asking the core afresh with
// the current time.
#include "app/ui/screen_widgets.h"
#include "core/backup/archive_locations.h"

class AppModel;
class BackupModel;
class QVBoxLayout;

class WhereMyArchiveLivesPanel : public TintedBox {
    Q_OBJECT
public:
    // Days within which a verification counts as current.
    static constexpr int kWithinDays = 30;

    WhereMyArchiveLivesPanel(AppModel& model, BackupModel& backup, QWidget* parent = nullptr);

    // The places as the core is told about them.
    static kx::ArchiveLocations locations(const AppModel& model, const BackupModel& backup);
    // The status word of one place.
    static QString statusWord(const kx::ArchiveLocations::Location& location, kx::Date now);

    void rebuild();

private:
    AppModel& model_;
    BackupModel& backup_;
    QVBoxLayout* column_;
};
