#include "backup/restore_key_view.h"

#include "app/ui/screen_widgets.h"
#include "app/ui/widgets.h"
#include "backup/model/backup_keys_model.h"
#include "backup/model/backup_model.h"
#include "core/keys/wipe.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

RestoreKeyView::RestoreKeyView(BackupModel& backup, QWidget* parent) : QDialog(parent), backup_(backup) {
    setObjectName(QStringLiteral("restoreKeySheet"));
    setWindowTitle(QStringLiteral("Restore Encryption Key"));
    setFixedWidth(460);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(14);

    const QString owner = backup_.owner();
    auto* title = boldLabel(QStringLiteral("Restore the encryption key for ") + owner, TextStyle::title3, QColor(),
                            this);
    title->setObjectName(QStringLiteral("restoreTitle"));
    title->setWordWrap(true);
    column->addWidget(title);
    auto* explanation = textLabel(
        QStringLiteral("Type the recovery key you saved for ") + owner +
            QStringLiteral(". Capitals, dashes and spaces do not matter. A phrase belonging to a different person will "
                           "be accepted as this archive's key and will not open anything, so check the name on the "
                           "paper first."),
        TextStyle::callout, secondaryTextColor(), this, true);
    explanation->setObjectName(QStringLiteral("restoreExplanation"));
    column->addWidget(explanation);

    phrase_ = new QPlainTextEdit(this);
    phrase_->setObjectName(QStringLiteral("phraseEditor"));
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(textFont(TextStyle::body).pointSizeF());
    phrase_->setFont(mono);
    phrase_->setFixedHeight(90);
    phrase_->setTabChangesFocus(true);
    column->addWidget(phrase_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("cancel"));
    restore_ = new QPushButton(QStringLiteral("Restore"), this);
    restore_->setObjectName(QStringLiteral("restore"));
    makeProminent(restore_);
    for (QPushButton* b : {cancel_, restore_}) {
        b->setAutoDefault(false);
        b->setDefault(false);
        buttons->addWidget(b);
    }
    column->addLayout(buttons);

    connect(phrase_, &QPlainTextEdit::textChanged, this, [this] { restore_->setEnabled(canRestore()); });
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(restore_, &QPushButton::clicked, this, &RestoreKeyView::restore);
    restore_->setEnabled(canRestore());
}

bool RestoreKeyView::canRestore() const { return !phrase_->toPlainText().trimmed().isEmpty(); }

void RestoreKeyView::restore() {
    if (!canRestore()) return;
    QString typed = phrase_->toPlainText();
    backup_.keys().restoreKey(typed);
    kx::wipeBytes(typed.data(), static_cast<size_t>(typed.size()) * sizeof(QChar));
    phrase_->clear();
    accept();
}
