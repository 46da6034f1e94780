#pragma once
// The application's overall look on Linux: the Fusion style with a light
// palette close to the Mac's (window #ECECEC, white content, blue accent) and
// a readable sans-serif at the platform's default size.
class QApplication;

void applyApplicationStyle(QApplication& app);
