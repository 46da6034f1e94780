#pragma once
// RootView: the main window's content. A fixed-width sidebar lists the eight
// routes; the detail column shows the error banner (while AppModel::lastError
// holds a text) above the selected route's screen. It also presents the
// first-run onboarding sheet and the Full Disk Access prompt.
//
// It keeps no state of its own that matters: the route and the error live in
// AppModel, the access prompt's flags in PermissionsModel, the onboarding state
// in OnboardingModel.
//
// Sheets:
//  - Onboarding: presented while OnboardingModel::shouldShow() is true. Once
//    presented it stays until the flow finishes (isFinished) or the user closes
//    it, even if a source gets registered by the flow's own first-scan step in
//    the meantime. Closing it from outside (Escape, the window's close button,
//    "Set this up later") records skippedFlag = true, explicitlyOpened = false,
//    isFinished = true, in that order, so it does not come back by itself.
//  - Full Disk Access: presented only while the onboarding sheet is not wanted,
//    PermissionsModel::hasFullDiskAccess() is false, the prompt was not dismissed, and
//    the live Messages database exists. (On Linux a missing database is not a
//    missing permission: there is nothing to ask for.) Closing it from outside
//    records dismissedFullDiskAccessPrompt = true for this run of the
//    application; it also closes by itself when access is found.
#include "app/model/route.h"

#include <QPointer>
#include <QWidget>

class AppModel;
class BackupModel;
class BannerWidget;
class OnboardingModel;
class QDialog;
class QListWidget;
class QVBoxLayout;
class QVariantAnimation;

class RootView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kSidebarWidth = 210;

    RootView(AppModel& model, BackupModel& backup, OnboardingModel& onboarding, QWidget* parent = nullptr);
    ~RootView() override;

    QListWidget* sidebar() const { return sidebar_; }
    BannerWidget* banner() const { return banner_; }
    // Whether the banner is wanted (it animates in and out; this flips at once).
    bool bannerWanted() const { return bannerWanted_; }
    // The screen of the current route (replaced on every route change).
    QWidget* currentScreen() const { return screen_; }
    QDialog* onboardingSheet() const;
    QDialog* fullDiskAccessSheet() const;
    // Whether the sheets were brought up to date since the view was last shown.
    // That happens one turn of the event loop after showing (so the window
    // exists to attach them to) and then at once on every change they follow.
    bool sheetsSettled() const { return sheetsSettled_; }

    // Turns the banner's slide-and-fade off (tests, reduced motion).
    static void setAnimationsEnabled(bool enabled);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildSidebar();
    void syncSidebarToRoute();
    void onSidebarSelectionChanged();
    void showRoute(Route route);
    void updateBanner();
    void animateBanner(bool in);
    void updateSheets();
    void presentOnboarding();
    void presentFullDiskAccess();
    void closeSheet(QPointer<QDialog>& sheet);

    AppModel& model_;
    BackupModel& backup_;
    OnboardingModel& onboarding_;
    QListWidget* sidebar_ = nullptr;
    QVBoxLayout* detail_ = nullptr;
    BannerWidget* banner_ = nullptr;
    QWidget* screen_ = nullptr;
    Route shownRoute_ = Route::sources;
    bool bannerWanted_ = false;
    QVariantAnimation* bannerAnimation_ = nullptr;
    QPointer<QDialog> onboardingSheet_;
    QPointer<QDialog> fdaSheet_;
    bool updatingSheets_ = false;
    bool sheetsSettled_ = false;
};
