#include "app/ui/clipboard.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

namespace {

void replaceClipboard(const QString& text, bool secret) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard) return;
    clipboard->clear();
    auto* data = new QMimeData;
    data->setText(text);
    if (secret) data->setData(QStringLiteral("x-kde-passwordManagerHint"), QByteArrayLiteral("secret"));
    clipboard->setMimeData(data);
}

} // namespace

void copyToPasteboard(const QString& text) { replaceClipboard(text, false); }

void copySecretToPasteboard(const QString& text) { replaceClipboard(text, true); }
