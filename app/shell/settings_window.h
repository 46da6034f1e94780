#pragma once
// The settings window: one per application, opened with "Settings…" (Ctrl+,).
// Its tabs (General, Permissions, Archive, Privacy) start at General each
// time the window is created.
#include <QWidget>

class AppModel;

class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 620;
    explicit SettingsWindow(AppModel& model, QWidget* parent = nullptr);
};

// The window's content; the tabs' own forms come with the settings screens.
QWidget* makeSettingsContent(AppModel& model, QWidget* parent);
