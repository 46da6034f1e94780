#include "app/ui/clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

void copyToPasteboard(const QString& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard) return;
    clipboard->clear();
    auto* data = new QMimeData;
    data->setText(text);
    clipboard->setMimeData(data);
}
