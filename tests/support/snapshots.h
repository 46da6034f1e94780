#pragma once
// Screens under test, looked at: the one way tests take pictures. snapshot()
// grabs a widget and, when KX_SNAPSHOT_DIR is set, saves it there as
// <name>.png to be looked at; expectNothingClipped() checks that every
// wrapping text on it has the height its lines need.
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QPixmap>
#include <QString>
#include <QWidget>
#include <gtest/gtest.h>

namespace kx::test {

// The folder snapshots are saved in; null when they are not kept.
inline QString snapshotFolder() { return qEnvironmentVariable("KX_SNAPSHOT_DIR"); }

inline void saveSnapshot(const QPixmap& shot, const QString& name) {
    EXPECT_FALSE(shot.isNull()) << name.toStdString();
    if (const QString dir = snapshotFolder(); !dir.isEmpty()) {
        EXPECT_TRUE(shot.save(QDir(dir).filePath(name + ".png"))) << name.toStdString();
    }
}

// When a widget is grabbed: once its pending events have run, first shrunk to
// its size hint after that (sheets, panels), or as it is now (a state that
// lasts only until those events run).
enum class Grab { settled, fitted, asItIs };

inline void snapshot(QWidget& w, const QString& name, Grab when = Grab::settled) {
    if (when != Grab::asItIs) QCoreApplication::processEvents();
    if (when == Grab::fitted) w.adjustSize();
    saveSnapshot(w.grab(), name);
}

inline void expectNothingClipped(QWidget& w, const QString& name) {
    for (QLabel* l : w.findChildren<QLabel*>()) {
        if (!l->wordWrap() || !l->isVisibleTo(&w) || l->text().isEmpty()) continue;
        EXPECT_GE(l->height(), l->heightForWidth(l->width())) << name.toStdString() << ": " << l->text().toStdString();
    }
}

} // namespace kx::test
