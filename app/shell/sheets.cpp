#include "app/shell/sheets.h"

#include "backup/model/backup_destinations_model.h"
#include "backup/model/backup_model.h"
#include "household/join_archive_view.h"
#include "household/join_model.h"
#include "setup/full_disk_access_view.h"
#include "setup/onboarding/onboarding_view.h"

#include <QDialog>

namespace {

// The household's join flow and its sheet, which installs the daily schedule
// it offers.
class HouseholdJoinFlow : public setup::JoinFlow {
public:
    HouseholdJoinFlow(AppModel& model, BackupModel& backup, QObject* parent)
        : JoinFlow(parent), model_(model), backup_(backup), join_(new JoinModel(this)) {}
    QDialog* makeSheet(QWidget* parent) override {
        return new JoinArchiveView(*join_, model_, backup_.destinationsModel(), true, parent);
    }
    bool joined() const override { return join_->stage().kind == JoinStage::Kind::joined; }

private:
    AppModel& model_;
    BackupModel& backup_;
    JoinModel* join_;
};

} // namespace

setup::JoinFlowFactory householdJoinFlows(AppModel& model, BackupModel& backup) {
    return [&model, &backup](QObject* parent) { return new HouseholdJoinFlow(model, backup, parent); };
}

QWidget* makeOnboardingContent(AppModel& model, BackupModel& backup, OnboardingModel& onboarding, QDialog& sheet) {
    return new setup::OnboardingView(model, householdJoinFlows(model, backup), onboarding, &sheet);
}

QWidget* makeFullDiskAccessContent(AppModel& model, QDialog& sheet) {
    return new setup::FullDiskAccessView(model, &sheet);
}
