#pragma once
// The application's overall look on Linux: the Fusion style with a light
// palette close to the Mac's (window #ECECEC, white content, blue accent) and
// a readable sans-serif at the platform's default size. A menu action whose
// property kDestructiveAction is true is drawn in red.
class QApplication;
class QStyle;

inline constexpr const char* kDestructiveAction = "destructive";

void applyApplicationStyle(QApplication& app);
// The style alone (null without Fusion); the caller owns it.
QStyle* makeApplicationStyle();
