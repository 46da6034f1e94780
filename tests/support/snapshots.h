#pragma once
// Screens under test, looked at. snapshot() grabs a widget once its pending
// events have run and, when KX_SNAPSHOT_DIR is set, saves it there as
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

inline void snapshot(QWidget& w, const QString& name) {
    QCoreApplication::processEvents();
    saveSnapshot(w.grab(), name);
}

inline void expectNothingClipped(QWidget& w, const QString& name) {
    for (QLabel* l : w.findChildren<QLabel*>()) {
        if (!l->wordWrap() || !l->isVisibleTo(&w) || l->text().isEmpty()) continue;
        EXPECT_GE(l->height(), l->heightForWidth(l->width())) << name.toStdString() << ": " << l->text().toStdString();
    }
}

} // namespace kx::test
