#include "backup/recovery_key_panel.h"

#include "app/platform/workspace.h"
#include "app/ui/clipboard.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "backup/model/backup_keys_model.h"
#include "backup/model/backup_model.h"
#include "core/keys/wipe.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

#include <QCheckBox>
#include <QDateTime>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

RecoveryKeyPanel::RecoveryKeyPanel(BackupModel& backup, const QString& phrase, QWidget* parent)
    : TintedBox(toneBackground(Tone::yellow, 0.14), 10, parent), backup_(backup), owner_(backup.owner()),
      phrase_(phrase) {
    setObjectName(QStringLiteral("recoveryKeyPanel"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(12);

    auto* title = iconLabel(QStringLiteral("Recovery key for ") + owner_, QStringLiteral("key.horizontal.fill"), this);
    title->setObjectName(QStringLiteral("recoveryTitle"));
    if (auto* t = title->findChild<QLabel*>(QStringLiteral("iconLabelTitle"))) styleLabel(t, TextStyle::headline);
    column->addWidget(title);

    auto* warning = textLabel(QStringLiteral(
                                  "Write this down and keep it somewhere safe, away from this Mac. It is the "
                                  "ONLY way to read ") +
                                  owner_ +
                                  QStringLiteral("'s backup if this Mac is lost, stolen, or wiped. We do not have a "
                                                 "copy and cannot reset it."),
                              TextStyle::callout, QColor(), this, true);
    warning->setObjectName(QStringLiteral("recoveryWarning"));
    column->addWidget(warning);
    auto* scope = textLabel(QStringLiteral("This phrase unlocks ") + owner_ +
                                QStringLiteral("'s archive only. It does not unlock anyone else's, even on a shared "
                                               "backup destination."),
                            TextStyle::callout, secondaryTextColor(), this, true);
    scope->setObjectName(QStringLiteral("recoveryScope"));
    column->addWidget(scope);

    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("phraseFrame"));
    frame->setStyleSheet(QStringLiteral("#phraseFrame { border: 1px solid %1; border-radius: 8px; }")
                             .arg(separatorColor().name(QColor::HexArgb)));
    auto* frameColumn = new QVBoxLayout(frame);
    frameColumn->setContentsMargins(12, 12, 12, 12);
    auto* phraseText = new QLabel(phrase_, frame);
    phraseText->setObjectName(QStringLiteral("phrase"));
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(textFont(TextStyle::body).pointSizeF());
    phraseText->setFont(mono);
    phraseText->setWordWrap(true);
    phraseText->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    frameColumn->addWidget(phraseText);
    column->addWidget(frame);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    copy_ = new QPushButton(symbolIcon(QStringLiteral("doc.on.doc")), QStringLiteral("Copy"), this);
    copy_->setObjectName(QStringLiteral("copyPhrase"));
    save_ = new QPushButton(symbolIcon(QStringLiteral("square.and.arrow.down")), QStringLiteral("Save to a File"),
                            this);
    save_->setObjectName(QStringLiteral("savePhrase"));
    for (QPushButton* b : {copy_, save_}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    buttons->addStretch(1);
    column->addLayout(buttons);

    confirm_ = new QCheckBox(QStringLiteral("I have saved this recovery key somewhere safe"), this);
    confirm_->setObjectName(QStringLiteral("confirmSaved"));
    column->addWidget(confirm_);
    continue_ = new QPushButton(QStringLiteral("Continue"), this);
    continue_->setObjectName(QStringLiteral("continue"));
    makeProminent(continue_);
    continue_->setAutoDefault(false);
    continue_->setEnabled(false);
    column->addWidget(continue_, 0, Qt::AlignLeft);

    connect(copy_, &QPushButton::clicked, this, &RecoveryKeyPanel::copyPhrase);
    connect(save_, &QPushButton::clicked, this, &RecoveryKeyPanel::saveToFile);
    connect(confirm_, &QCheckBox::toggled, continue_, &QPushButton::setEnabled);
    connect(continue_, &QPushButton::clicked, this, &RecoveryKeyPanel::continueAction);
}

void RecoveryKeyPanel::copyPhrase() {
    copySecretToPasteboard(phrase_);
    copied_ = true;
    copy_->setText(QStringLiteral("Copied"));
    copy_->setIcon(symbolIcon(QStringLiteral("checkmark")));
}

QString RecoveryKeyPanel::fileText(const QString& owner, const QString& phrase, const QString& created) {
    return QStringLiteral("Kelvara recovery key\nArchive: ") + owner + QStringLiteral("\nCreated ") + created +
           QStringLiteral("\n\n") + phrase + QStringLiteral("\n\nThis is the only way to read ") + owner +
           QStringLiteral("'s encrypted backup if this Mac\nis lost. It unlocks ") + owner +
           QStringLiteral("'s archive and no other person's, even\nwhen several people share one backup "
                          "destination.\n\nKeep it somewhere safe and separate from this Mac. Anyone who has this\nkey "
                          "can read this archive, so treat it like a house key.");
}

void RecoveryKeyPanel::saveToFile() {
    const QString path = workspace().saveFile(window(),
                                              QStringLiteral("Kelvara Recovery Key - ") + owner_ +
                                                  QStringLiteral(".txt"),
                                              QString(), {QStringLiteral("Plain text (*.txt)")});
    if (path.isEmpty()) return;
    const QString created = QLocale().toString(QDateTime::currentDateTime(), QLocale::ShortFormat);
    QByteArray bytes = fileText(owner_, phrase_, created).toUtf8();
    try {
        // Readable by this user only, and whole or not at all.
        kx::fs::writeFileAtomic(path.toStdString(), std::string_view(bytes.constData(), size_t(bytes.size())),
                                kx::fs::kPrivateFileMode);
    } catch (const kx::Error& e) {
        backup_.setLastError(QStringLiteral("Could not save the recovery key file: ") +
                             QString::fromStdString(e.localizedDescription()));
    }
    kx::wipeBytes(bytes.data(), static_cast<size_t>(bytes.size()));
}

void RecoveryKeyPanel::continueAction() {
    if (!confirm_->isChecked()) return;
    // Only the phrase this panel shows, for the owner it names.
    if (backup_.owner() != owner_ || backup_.keys().pendingRecoveryPhrase() != phrase_) return;
    backup_.keys().confirmRecoverySaved();
}
