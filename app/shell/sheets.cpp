#include "app/shell/sheets.h"

#include "setup/full_disk_access_view.h"
#include "setup/onboarding/onboarding_view.h"

#include <QDialog>

QWidget* makeOnboardingContent(AppModel& model, BackupModel& backup, OnboardingModel& onboarding, QDialog& sheet) {
    return new setup::OnboardingView(model, backup, onboarding, &sheet);
}

QWidget* makeFullDiskAccessContent(AppModel& model, QDialog& sheet) {
    return new setup::FullDiskAccessView(model, &sheet);
}
