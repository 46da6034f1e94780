#include "backup/destination_row.h"

#include "app/model/alerts_model.h"
#include "app/model/app_model.h"
#include "app/model/owners_model.h"
#include "app/ui/symbol_title.h"
#include "app/ui/widgets.h"
#include "backup/model/backup_destinations_model.h"
#include "backup/model/backup_model.h"
#include "backup/model/backup_runs_model.h"

#include <QHBoxLayout>
#include <QLocale>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

using PlaceClass = kx::ArchiveLocations::PlaceClass;

namespace {

QString byteCount(int64_t bytes) { return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat); }

} // namespace

DestinationRow::DestinationRow(AppModel& model, BackupModel& backup, DestinationConfig config, QWidget* parent)
    : TintedBox(quaternaryFill(0.35), 10, parent), model_(model), backup_(backup), config_(std::move(config)) {
    setObjectName(QStringLiteral("destinationRow"));
    const PlaceClass cls = placeClass(config_.kind);
    const QString label = QString::fromUtf8(kindLabel(config_.kind));
    const bool independent = cls == PlaceClass::independentBackup;
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(8);

    // Header.
    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    header->addWidget(symbolView(QString::fromUtf8(placeClassSymbol(cls)), 18,
                                 toneColor(independent ? Tone::green : Tone::orange), this),
                      0, Qt::AlignTop);
    auto* names = new QVBoxLayout;
    names->setSpacing(2);
    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(6);
    auto* kindText = textLabel(label, TextStyle::headline, QColor(), this);
    kindText->setObjectName(QStringLiteral("kindLabel"));
    titleRow->addWidget(kindText);
    auto* capsule = new CapsuleLabel(QString::fromUtf8(placeClassText(cls)), quaternaryFill(1.0), QMargins(6, 2, 6, 2),
                                     this);
    capsule->setObjectName(QStringLiteral("classCapsule"));
    titleRow->addWidget(capsule, 0, Qt::AlignVCenter);
    titleRow->addStretch(1);
    names->addLayout(titleRow);
    if (config_.bucket) {
        auto* b = textLabel(QString::fromStdString(*config_.bucket), TextStyle::caption, secondaryTextColor(), this);
        b->setObjectName(QStringLiteral("bucketLabel"));
        names->addWidget(b);
    }
    if (config_.localRoot) {
        auto* f = new ElidedLabel(QString::fromStdString(*config_.localRoot), Qt::ElideMiddle, this);
        f->setObjectName(QStringLiteral("folderLabel"));
        styleLabel(f, TextStyle::caption, secondaryTextColor());
        names->addWidget(f);
    }
    header->addLayout(names, 1);
    // Verified means a completed backup there, as the places panel counts it:
    // a passed connection test alone leaves "Never verified".
    const std::optional<kx::Date> backedUp = placeBackedUpAt(config_, backup_.destinationsModel().destinations());
    QLabel* verified = backedUp ? textLabel(QStringLiteral("Verified ") + abbreviatedDateTime(*backedUp),
                                            TextStyle::caption, secondaryTextColor(), this)
                                : textLabel(QStringLiteral("Never verified"), TextStyle::caption,
                                            toneColor(Tone::orange), this);
    verified->setObjectName(QStringLiteral("verifiedLabel"));
    header->addWidget(verified, 0, Qt::AlignTop);
    column->addLayout(header);

    // Shown once the destination has been built off the GUI thread, when it has a caveat.
    auto* caveatLine = textLabel(QString(), TextStyle::caption,
                                 independent ? secondaryTextColor() : toneColor(Tone::orange), this, true);
    caveatLine->setObjectName(QStringLiteral("caveatLabel"));
    caveatLine->hide();
    column->addWidget(caveatLine);
    backup_.destinationsModel().caveat(config_, this, [this, caveatLine](const QString& text) {
        caveat_ = text;
        caveatLine->setText(text);
        caveatLine->setVisible(!text.isEmpty());
    });

    // Actions.
    auto* actions = new QHBoxLayout;
    actions->setSpacing(8);
    test_ = new QPushButton(QStringLiteral("Test Connection"), this);
    test_->setObjectName(QStringLiteral("testConnection"));
    backUp_ = new QPushButton(QStringLiteral("Back Up Archive"), this);
    backUp_->setObjectName(QStringLiteral("backUpArchive"));
    backUp_->setFixedWidth(170);
    menu_ = new QMenu(backUp_);
    menu_->setObjectName(QStringLiteral("backUpMenu"));
    backUp_->setMenu(menu_);
    shared_ = new QPushButton(QStringLiteral("Shared Status"), this);
    shared_->setObjectName(QStringLiteral("sharedStatus"));
    shared_->setToolTip(
        QStringLiteral("Run times and sizes for every archive on this destination. Never their contents."));
    disconnect_ = new QPushButton(QStringLiteral("Disconnect"), this);
    disconnect_->setObjectName(QStringLiteral("disconnect"));
    disconnect_->setToolTip(
        QStringLiteral("Removes this destination from the app. Does NOT delete anything already backed up."));
    QPalette red = disconnect_->palette();
    red.setColor(QPalette::ButtonText, toneColor(Tone::red));
    disconnect_->setPalette(red);
    for (QPushButton* b : {test_, backUp_, shared_}) {
        b->setAutoDefault(false);
        actions->addWidget(b);
    }
    actions->addStretch(1);
    disconnect_->setAutoDefault(false);
    actions->addWidget(disconnect_);
    column->addLayout(actions);

    // Shared status.
    sharedBlock_ = columnWidget(this, QStringLiteral("sharedStatusBlock"), 6, &sharedRows_);
    sharedBlock_->layout()->setContentsMargins(0, 4, 0, 0);
    column->addWidget(sharedBlock_);

    setAccessibleName(label + QStringLiteral(" destination") +
                      (backedUp ? QStringLiteral(", verified") : QStringLiteral(", never verified")));

    connect(test_, &QPushButton::clicked, this, [this] { backup_.destinationsModel().testConnection(config_); });
    connect(menu_, &QMenu::aboutToShow, this, &DestinationRow::fillMenu);
    connect(shared_, &QPushButton::clicked, this, &DestinationRow::showSharedStatus);
    connect(disconnect_, &QPushButton::clicked, this, [this] {
        if (removing_) return;
        removing_ = true;
        refreshActions();
        // The row goes away with the list change, so the answer goes to the
        // backup model, which outlives it.
        BackupModel& backupModel = backup_;
        backupModel.destinationsModel().removeDestination(config_, &backupModel,
                                                          [&backupModel, row = QPointer<DestinationRow>(this)](
                                                              const std::optional<QString>& failure) {
                                                              if (failure) backupModel.setLastError(*failure);
                                                              if (row) row->finishRemoving();
                                                          });
    });
    connect(&backup_, &BackupModel::isBusyChanged, this, &DestinationRow::refreshActions);
    connect(&backup_, &BackupModel::ownerChanged, this, &DestinationRow::refreshActions);
    connect(&model_, &AppModel::registryChanged, this, &DestinationRow::refreshActions);
    connect(&backup_.runs(), &BackupRunsModel::hostHealthChanged, this, &DestinationRow::refreshSharedStatus);
    refreshActions();
    refreshSharedStatus();
}

QStringList DestinationRow::archiveOwners() const { return model_.owners().sourceOwners(); }

void DestinationRow::finishRemoving() {
    removing_ = false;
    refreshActions();
}

void DestinationRow::refreshActions() {
    const bool busy = backup_.isBusy() || removing_;
    const QStringList owners = archiveOwners();
    test_->setEnabled(!busy);
    backUp_->setEnabled(!busy && owners.contains(backup_.owner()));
    shared_->setEnabled(!busy && !owners.isEmpty());
    disconnect_->setEnabled(!removing_);
}

QString DestinationRow::otherOwnersLine(const QStringList& archiveOwners, const QString& thisOwner) {
    QStringList others;
    for (const QString& o : archiveOwners)
        if (o != thisOwner) others << o;
    if (others.isEmpty()) return QString();
    return others.join(QStringLiteral(", ")) + QStringLiteral(": backed up from their own Mac, with their own key");
}

void DestinationRow::fillMenu() {
    menu_->clear();
    const QString owner = backup_.owner();
    QAction* mine = menu_->addAction(owner);
    mine->setObjectName(QStringLiteral("backUpOwner"));
    connect(mine, &QAction::triggered, this, &DestinationRow::backUp);
    const QString others = otherOwnersLine(archiveOwners(), owner);
    if (!others.isNull()) {
        menu_->addSeparator();
        QAction* line = menu_->addAction(others);
        line->setObjectName(QStringLiteral("otherOwners"));
        line->setEnabled(false);
    }
}

void DestinationRow::backUp() {
    const QString owner = backup_.owner();
    // The owner's archive file by the archive layout's rule; an owner that
    // cannot name a folder gets no path, and the model says there is no archive.
    const QString storePath = OwnersModel::archiveDatabasePath(model_.destinationRoot(), owner);
    const auto lost = model_.alerts().archiveNotFound(owner);
    backup_.runs().runBackup(owner, storePath, config_, lost ? QString::fromStdString(lost->sentence()) : QString());
}

void DestinationRow::showSharedStatus() { backup_.runs().refreshHostHealth(config_, archiveOwners()); }

void DestinationRow::refreshSharedStatus() {
    clearLayout(sharedRows_);
    const auto& rows = backup_.runs().hostHealth();
    sharedBlock_->setVisible(!rows.empty());
    if (rows.empty()) return;
    sharedRows_->addWidget(makeDivider(sharedBlock_));
    sharedRows_->addWidget(boldLabel(QStringLiteral("Shared status"), TextStyle::subheadline, QColor(), sharedBlock_));
    sharedRows_->addWidget(textLabel(QStringLiteral("Every archive on this destination, whether it is running, and how "
                                                    "big it is. Contents are not readable from here: each archive is "
                                                    "encrypted with its own owner's key, which stays on their Mac."),
                                     TextStyle::caption, secondaryTextColor(), sharedBlock_, true));
    for (const kx::HostHealthRow& r : rows) {
        auto* line = new QWidget(sharedBlock_);
        line->setObjectName(QStringLiteral("sharedStatusRow"));
        auto* row = flushRow(line, 8);
        row->addWidget(boldLabel(QString::fromStdString(r.owner), TextStyle::callout, QColor(), line), 0,
                       Qt::AlignBaseline);
        auto add = [&](const QString& text, const QColor& color) {
            auto* l = textLabel(text, TextStyle::caption, color, line);
            l->setObjectName(QStringLiteral("sharedStatusText"));
            row->addWidget(l, 0, Qt::AlignBaseline);
        };
        if (r.error) {
            add(QStringLiteral("status unavailable: ") + QString::fromStdString(*r.error), toneColor(Tone::orange));
        } else if (!r.record) {
            add(QStringLiteral("has never reported a run from its own Mac"), toneColor(Tone::orange));
        } else {
            if (r.record->ok) add(QStringLiteral("last run ok"), secondaryTextColor());
            else add(QStringLiteral("last run FAILED"), toneColor(Tone::orange));
            if (r.record->time) add(abbreviatedDateTime(*r.record->time), secondaryTextColor());
            add(byteCount(r.record->bytes), secondaryTextColor());
        }
        row->addStretch(1);
        sharedRows_->addWidget(line);
    }
}
