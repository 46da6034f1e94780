#pragma once
// The contents of the main window's two sheets. RootView owns the sheet
// windows and their presentation rules; these build what is inside.
//
// Onboarding content closes the sheet only by finishing the flow
// (OnboardingModel::isFinished: completed, or "Set this up later"), upon which
// RootView closes it. Full Disk Access content closes its sheet by setting
// PermissionsModel::dismissedFullDiskAccessPrompt or when access is found.
#include "setup/onboarding/join_flow.h"

#include <QWidget>

class AppModel;
class BackupModel;
class OnboardingModel;
class QDialog;

// The household's join flow (with its sheet) for the onboarding's archive choice.
setup::JoinFlowFactory householdJoinFlows(AppModel& model, BackupModel& backup);
QWidget* makeOnboardingContent(AppModel& model, BackupModel& backup, OnboardingModel& onboarding, QDialog& sheet);
QWidget* makeFullDiskAccessContent(AppModel& model, QDialog& sheet);
