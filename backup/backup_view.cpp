#include "backup/backup_view.h"

#include "app/model/alerts_model.h"
#include "app/model/app_model.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/symbol_title.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "backup/add_destination_view.h"
#include "backup/destination_row.h"
#include "backup/model/backup_destinations_model.h"
#include "backup/model/backup_keys_model.h"
#include "backup/model/backup_model.h"
#include "backup/model/backup_runs_model.h"
#include "backup/recovery_key_panel.h"
#include "backup/restore_key_view.h"
#include "backup/where_archive_lives_panel.h"

#include <QHBoxLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// A tinted box with a column inside, padded.
TintedBox* card(const QString& objectName, const QColor& fill, int radius, int padding, int spacing,
                QVBoxLayout** column, QWidget* parent) {
    auto* box = new TintedBox(fill, radius, parent);
    box->setObjectName(objectName);
    *column = new QVBoxLayout(box);
    (*column)->setContentsMargins(padding, padding, padding, padding);
    (*column)->setSpacing(spacing);
    return box;
}

// The green result and orange error boxes: a symbol and a wrapping text.
TintedBox* messageBox(const QString& objectName, const QString& symbol, Tone tone, double opacity, bool selectable,
                      QLabel** text, QWidget* parent) {
    auto* box = new TintedBox(toneBackground(tone, opacity), 8, parent);
    box->setObjectName(objectName);
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(10, 10, 10, 10);
    row->setSpacing(6);
    const int size = QFontMetrics(textFont(TextStyle::callout)).height();
    row->addWidget(symbolView(symbol, size, toneColor(tone), box), 0, Qt::AlignTop);
    *text = textLabel(QString(), TextStyle::callout, QColor(), box, true);
    (*text)->setObjectName(objectName + QStringLiteral("Text"));
    if (selectable) (*text)->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    row->addWidget(*text, 1);
    return box;
}

QPushButton* button(const QString& title, const QString& objectName, QWidget* parent) {
    auto* b = new QPushButton(title, parent);
    b->setObjectName(objectName);
    b->setAutoDefault(false);
    return b;
}

} // namespace

BackupView::BackupView(AppModel& model, BackupModel& backup, QWidget* parent)
    : QWidget(parent), model_(model), backup_(backup) {
    setObjectName(QStringLiteral("backupView"));
    QVBoxLayout* column = scrollingColumn(this, QStringLiteral("backupScroll"), 18, 18);

    // Header.
    auto* header = new QVBoxLayout;
    header->setSpacing(6);
    header->addWidget(boldLabel(QStringLiteral("Backup"), TextStyle::title2, QColor(), this));
    header->addWidget(
        textLabel(QStringLiteral("A second copy of your archive, somewhere else. Everything is encrypted "
                                 "on this Mac before it is sent, so nobody at the other end can read it."),
                  TextStyle::callout, secondaryTextColor(), this, true));
    column->addLayout(header);

    column->addWidget(new WhereMyArchiveLivesPanel(model_, backup_, this));

    keySlot_ = new QVBoxLayout;
    keySlot_->setContentsMargins(0, 0, 0, 0);
    column->addLayout(keySlot_);
    legacySlot_ = new QVBoxLayout;
    legacySlot_->setContentsMargins(0, 0, 0, 0);
    column->addLayout(legacySlot_);

    resultBox_ = messageBox(QStringLiteral("lastResult"), QStringLiteral("checkmark.circle.fill"), Tone::green, 0.1,
                            false, &resultText_, this);
    column->addWidget(resultBox_);
    errorBox_ = messageBox(QStringLiteral("lastError"), QStringLiteral("exclamationmark.triangle.fill"), Tone::orange,
                           0.12, true, &errorText_, this);
    column->addWidget(errorBox_);

    QVBoxLayout* progressColumn = nullptr;
    progressBox_ = card(QStringLiteral("progressBox"), quaternaryFill(0.4), 8, 10, 6, &progressColumn, this);
    progressText_ = textLabel(QString(), TextStyle::callout, QColor(), progressBox_, true);
    progressText_->setObjectName(QStringLiteral("progressText"));
    progressColumn->addWidget(progressText_);
    progressBar_ = new QProgressBar(progressBox_);
    progressBar_->setObjectName(QStringLiteral("progressBar"));
    progressBar_->setRange(0, 1000);
    progressBar_->setTextVisible(false);
    progressBar_->setFixedHeight(8);
    progressColumn->addWidget(progressBar_);
    column->addWidget(progressBox_);

    // Destinations.
    auto* destinations = new QVBoxLayout;
    destinations->setSpacing(10);
    auto* titleRow = new QHBoxLayout;
    titleRow->addWidget(textLabel(QStringLiteral("Destinations"), TextStyle::headline, QColor(), this));
    titleRow->addStretch(1);
    addDestination_ = button(QStringLiteral("Add Destination"), QStringLiteral("addDestination"), this);
    addDestination_->setIcon(symbolIcon(QStringLiteral("plus")));
    titleRow->addWidget(addDestination_);
    destinations->addLayout(titleRow);
    noDestinations_ = textLabel(QString(), TextStyle::callout, secondaryTextColor(), this, true);
    noDestinations_->setObjectName(QStringLiteral("noDestinations"));
    noDestinations_->setContentsMargins(0, 6, 0, 6);
    destinations->addWidget(noDestinations_);
    rows_ = new QVBoxLayout;
    rows_->setSpacing(10);
    destinations->addLayout(rows_);
    column->addLayout(destinations);
    column->addStretch(1);

    connect(addDestination_, &QPushButton::clicked, this, &BackupView::presentAddDestination);
    for (auto signal : {&BackupKeysModel::pendingRecoveryPhraseChanged, &BackupKeysModel::hasKeyChanged,
                        &BackupKeysModel::recoveryConfirmedChanged, &BackupKeysModel::keyReadFailedChanged})
        connect(&backup_.keys(), signal, this, &BackupView::refreshKeyArea);
    connect(&backup_, &BackupModel::ownerChanged, this, &BackupView::refreshKeyArea);
    connect(&backup_.keys(), &BackupKeysModel::hasLegacyKeyChanged, this, &BackupView::refreshLegacyNotice);
    connect(&backup_, &BackupModel::ownerChanged, this, &BackupView::refreshLegacyNotice);
    connect(&backup_, &BackupModel::lastResultChanged, this, &BackupView::refreshMessages);
    connect(&backup_, &BackupModel::lastErrorChanged, this, &BackupView::refreshMessages);
    connect(&backup_, &BackupModel::isBusyChanged, this, &BackupView::refreshProgress);
    for (auto signal : {&BackupRunsModel::progressTextChanged, &BackupRunsModel::progressFractionChanged})
        connect(&backup_.runs(), signal, this, &BackupView::refreshProgress);
    connect(&backup_.destinationsModel(), &BackupDestinationsModel::destinationsChanged, this,
            &BackupView::rebuildDestinations);
    refreshKeyArea();
    refreshLegacyNotice();
    refreshMessages();
    refreshProgress();
    rebuildDestinations();
}

void BackupView::refreshKeyArea() {
    const QString phrase = backup_.keys().pendingRecoveryPhrase();
    KeyArea area = KeyArea::none;
    if (!phrase.isNull()) area = KeyArea::recoveryPanel;
    else if (!backup_.keys().hasKey()) area = KeyArea::createCard;
    else if (!backup_.keys().recoveryConfirmed()) area = KeyArea::saveCard;
    // The panel keeps its tick box unless what it shows changes.
    const QString shownFor = backup_.owner() + QChar(0) + phrase + QChar(0) +
                             QString::number(backup_.keys().keyReadFailed());
    const bool confirmed = backup_.keys().recoveryConfirmed();
    addDestination_->setEnabled(confirmed);
    addDestination_->setToolTip(confirmed ? QStringLiteral("Add a place to keep an encrypted copy")
                                          : QStringLiteral("Save your recovery key first"));
    if (keyAreaBuilt_ && area == keyArea_ && shownFor == keyAreaShownFor_) return;
    keyAreaBuilt_ = true;
    keyArea_ = area;
    keyAreaShownFor_ = shownFor;
    clearLayout(keySlot_);
    switch (area) {
    case KeyArea::recoveryPanel: keySlot_->addWidget(new RecoveryKeyPanel(backup_, phrase, this)); break;
    case KeyArea::createCard: keySlot_->addWidget(buildCreateKeyCard()); break;
    case KeyArea::saveCard: keySlot_->addWidget(buildSaveRecoveryCard()); break;
    case KeyArea::none: break;
    }
}

QWidget* BackupView::buildCreateKeyCard() {
    const QString owner = backup_.owner();
    QVBoxLayout* column = nullptr;
    TintedBox* box = card(QStringLiteral("createKeyCard"), toneBackground(Tone::blue, 0.08), 10, 14, 10, &column, this);
    column->addWidget(symbolTitle(QStringLiteral("Create the encryption key for ") + owner, QStringLiteral("key.fill"),
                                  TextStyle::headline, QColor(), QColor(), box));
    column->addWidget(
        textLabel(QStringLiteral("Your messages are encrypted before they leave this Mac. The key stays "
                                 "here and is never sent anywhere. That is what stops anyone else reading "
                                 "your archive, including us."),
                  TextStyle::callout, secondaryTextColor(), box, true));
    column->addWidget(textLabel(QStringLiteral("This key belongs to ") + owner +
                                    QStringLiteral(" alone. Another Mac sharing the same backup destination gets its "
                                                   "own key and cannot read this archive, even though the bill and the "
                                                   "health checks are shared."),
                                TextStyle::callout, secondaryTextColor(), box, true));
    const bool unknown = backup_.keys().keyReadFailed();
    if (unknown) {
        auto* why = symbolTitle(
            QStringLiteral("Creating a key is switched off because the keyring could not be read, so it is not known "
                           "whether ") +
                owner +
                QStringLiteral(" already has a key. A second key would leave everything already backed up unreadable. "
                               "Unlock the keyring, then try again."),
            QStringLiteral("exclamationmark.triangle.fill"), TextStyle::callout, toneColor(Tone::orange), QColor(), box,
            true);
        why->setObjectName(QStringLiteral("createKeyBlocked"));
        column->addWidget(why);
    }
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    auto* create = button(QStringLiteral("Create Encryption Key"), QStringLiteral("createKey"), box);
    makeProminent(create);
    create->setEnabled(!unknown);
    auto* restore = button(QStringLiteral("I already have a recovery key"), QStringLiteral("haveRecoveryKey"), box);
    buttons->addWidget(create);
    buttons->addWidget(restore);
    if (unknown) {
        auto* retry = button(QStringLiteral("Try Again"), QStringLiteral("retryKeyRead"), box);
        connect(retry, &QPushButton::clicked, &backup_.keys(), &BackupKeysModel::refreshKeyState);
        buttons->addWidget(retry);
    }
    buttons->addStretch(1);
    column->addLayout(buttons);
    connect(create, &QPushButton::clicked, this, [this] {
        if (!backup_.keys().keyReadFailed()) backup_.keys().createKey();
    });
    connect(restore, &QPushButton::clicked, this, &BackupView::presentRestoreKey);
    return box;
}

QWidget* BackupView::buildSaveRecoveryCard() {
    const QString owner = backup_.owner();
    QVBoxLayout* column = nullptr;
    TintedBox* box = card(QStringLiteral("saveRecoveryCard"), toneBackground(Tone::orange, 0.12), 10, 14, 10, &column,
                          this);
    column->addWidget(symbolTitle(QStringLiteral("Save the recovery key for ") + owner,
                                  QStringLiteral("exclamationmark.shield.fill"), TextStyle::headline,
                                  toneColor(Tone::orange), toneColor(Tone::orange), box));
    column->addWidget(
        textLabel(owner + QStringLiteral(" has an encryption key, but you have not confirmed you saved "
                                         "the recovery phrase. If this Mac is lost or wiped, this archive "
                                         "cannot be read without it. Nobody can recover it for you."),
                  TextStyle::callout, QColor(), box, true));
    auto* show = button(QStringLiteral("Show My Recovery Key"), QStringLiteral("showRecoveryKey"), box);
    makeProminent(show);
    connect(show, &QPushButton::clicked, &backup_.keys(), &BackupKeysModel::revealRecoveryKey);
    column->addWidget(show, 0, Qt::AlignLeft);
    return box;
}

QWidget* BackupView::buildLegacyNotice() {
    const QString owner = backup_.owner();
    QVBoxLayout* column = nullptr;
    TintedBox* box = card(QStringLiteral("legacyKeyNotice"), quaternaryFill(0.35), 10, 14, 8, &column, this);
    column->addWidget(symbolTitle(QStringLiteral("An older shared key is still on this Mac"),
                                  QStringLiteral("clock.arrow.circlepath"), TextStyle::headline, QColor(), QColor(),
                                  box));
    column->addWidget(textLabel(QStringLiteral("Before keys were separated per person, this Mac used one key for "
                                               "everything. It is kept so that anything backed up back then stays "
                                               "readable. It is never used to encrypt anything new: from now on ") +
                                    owner + QStringLiteral("'s archive is sealed with ") + owner +
                                    QStringLiteral("'s own key."),
                                TextStyle::callout, secondaryTextColor(), box, true));
    column->addWidget(
        textLabel(QStringLiteral("Anything uploaded before that change can still be read by anyone who "
                                 "holds the old key. That cannot be undone without re-uploading the whole "
                                 "archive, which is the one operation likely to lose it."),
                  TextStyle::callout, secondaryTextColor(), box, true));
    return box;
}

void BackupView::refreshLegacyNotice() {
    clearLayout(legacySlot_);
    if (backup_.keys().hasLegacyKey()) legacySlot_->addWidget(buildLegacyNotice());
}

void BackupView::refreshMessages() {
    resultText_->setText(backup_.lastResult());
    resultBox_->setVisible(!backup_.lastResult().isNull());
    errorText_->setText(backup_.lastError());
    errorBox_->setVisible(!backup_.lastError().isNull());
}

void BackupView::refreshProgress() {
    const bool shown = backup_.isBusy() && !backup_.runs().progressText().isNull();
    progressBox_->setVisible(shown);
    progressText_->setText(backup_.runs().progressText());
    progressBar_->setValue(static_cast<int>(std::lround(backup_.runs().progressFraction() * 1000)));
}

void BackupView::rebuildDestinations() {
    clearLayout(rows_);
    const auto& list = backup_.destinationsModel().destinations();
    // Where the archive that ran is gone, it does not exist in one place either.
    noDestinations_->setText(model_.alerts().archiveNotFound(backup_.owner())
                                 ? QStringLiteral("No destinations yet.")
                                 : QStringLiteral("No destinations yet. Your archive exists in one place only, which "
                                                  "means one failure loses it."));
    noDestinations_->setVisible(list.empty());
    for (const DestinationConfig& d : list) rows_->addWidget(new DestinationRow(model_, backup_, d, this));
}

void BackupView::presentAddDestination() {
    if (addSheet_ || !backup_.keys().recoveryConfirmed()) return;
    auto* sheet = new AddDestinationView(backup_, window());
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    addSheet_ = sheet;
    connect(sheet, &QObject::destroyed, this, [this] { addSheet_ = nullptr; });
    sheet->open();
}

void BackupView::presentRestoreKey() {
    if (restoreSheet_) return;
    auto* sheet = new RestoreKeyView(backup_, window());
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    restoreSheet_ = sheet;
    connect(sheet, &QObject::destroyed, this, [this] { restoreSheet_ = nullptr; });
    sheet->open();
}
