#pragma once
// The contents of the main window's two sheets. RootView owns the sheet
// windows and their presentation rules; these build what is inside.
//
// Onboarding content closes the sheet by finishing the flow
// (OnboardingModel::isFinished) or, for "Set this up later", by rejecting the
// dialog, which RootView records as a dismissal. Full Disk Access content closes
// its sheet by setting AppModel::dismissedFullDiskAccessPrompt or when access
// is found.
#include <QWidget>

class AppModel;
class BackupModel;
class OnboardingModel;
class QDialog;

QWidget* makeOnboardingContent(AppModel& model, BackupModel& backup, OnboardingModel& onboarding, QDialog& sheet);
QWidget* makeFullDiskAccessContent(AppModel& model, QDialog& sheet);
