#include "backup/where_archive_lives_panel.h"

#include "app/model/alerts_model.h"
#include "app/model/app_model.h"
#include "app/ui/widgets.h"
#include "backup/model/backup_destinations_model.h"
#include "backup/model/backup_model.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include <algorithm>

using PlaceClass = kx::ArchiveLocations::PlaceClass;

namespace {

// One place: icon, name over detail, status word at the trailing edge.
QWidget* placeRow(const QString& symbol, const QColor& symbolColor, const QString& name, const QString& detail,
                  const QString& status, QWidget* parent) {
    auto* w = new QWidget(parent);
    w->setObjectName(QStringLiteral("placeRow"));
    auto* row = flushRow(w, 8);
    auto* icon = symbolView(symbol, 16, symbolColor, w);
    row->addWidget(icon, 0, Qt::AlignTop);
    auto* text = new QVBoxLayout;
    text->setSpacing(1);
    auto* nameLabel = textLabel(name, TextStyle::subheadline, QColor(), w);
    nameLabel->setObjectName(QStringLiteral("placeName"));
    text->addWidget(nameLabel);
    if (!detail.isEmpty()) {
        auto* detailLabel = new ElidedLabel(detail, Qt::ElideMiddle, w);
        detailLabel->setObjectName(QStringLiteral("placeDetail"));
        styleLabel(detailLabel, TextStyle::caption, secondaryTextColor());
        text->addWidget(detailLabel);
    }
    row->addLayout(text, 1);
    auto* statusLabel = textLabel(status, TextStyle::caption, secondaryTextColor(), w);
    statusLabel->setObjectName(QStringLiteral("placeStatus"));
    row->addWidget(statusLabel, 0, Qt::AlignTop);
    w->setAccessibleName(name + QStringLiteral(", ") + status);
    return w;
}

} // namespace

WhereMyArchiveLivesPanel::WhereMyArchiveLivesPanel(AppModel& model, BackupModel& backup, QWidget* parent)
    : TintedBox(quaternaryFill(0.4), 10, parent), model_(model), backup_(backup) {
    setObjectName(QStringLiteral("whereArchiveLives"));
    column_ = new QVBoxLayout(this);
    column_->setContentsMargins(12, 12, 12, 12);
    column_->setSpacing(10);
    connect(&backup_.destinationsModel(), &BackupDestinationsModel::destinationsChanged, this,
            &WhereMyArchiveLivesPanel::rebuild);
    connect(&model_, &AppModel::destinationRootChanged, this, &WhereMyArchiveLivesPanel::rebuild);
    // The working copy is the served owner's, and it can go while the screen is open.
    connect(&backup_, &BackupModel::ownerChanged, this, &WhereMyArchiveLivesPanel::rebuild);
    connect(&model_.alerts(), &AlertsModel::activeAlertsChanged, this, &WhereMyArchiveLivesPanel::rebuild);
    rebuild();
}

kx::ArchiveLocations WhereMyArchiveLivesPanel::locations(const AppModel& model, const BackupModel& backup) {
    kx::ArchiveLocations out;
    const std::vector<DestinationConfig>& all = backup.destinationsModel().destinations();
    for (auto it = all.begin(); it != all.end(); ++it) {
        const DestinationConfig& d = *it;
        // Two entries for one bucket or folder are one place, listed once, on
        // when either is.
        const auto same = [&](const DestinationConfig& p) { return sameStorage(p, d); };
        if (std::any_of(all.begin(), it, same)) continue;
        kx::ArchiveLocations::Location l;
        l.identifier = d.id;
        l.name = kindLabel(d.kind);
        l.detail = d.bucket ? *d.bucket : d.localRoot ? *d.localRoot : std::string();
        l.placeClass = placeClass(d.kind);
        l.enabled = d.enabled || std::any_of(it, all.end(), [&](const auto& p) { return p.enabled && same(p); });
        // A place counts once it holds a backup; a passed connection test proves
        // only that one could be written there.
        l.lastVerified = placeBackedUpAt(d, all);
        out.locations.push_back(std::move(l));
    }
    out.workingCopy = model.destinationRoot().toStdString();
    return out;
}

QString WhereMyArchiveLivesPanel::statusWord(const kx::ArchiveLocations::Location& location, kx::Date now) {
    if (!location.enabled) return QStringLiteral("Off");
    if (location.isUnproven()) return QStringLiteral("Never verified");
    return location.isCurrent(now, kWithinDays) ? QStringLiteral("Current") : QStringLiteral("Out of date");
}

void WhereMyArchiveLivesPanel::rebuild() {
    clearLayout(column_);
    const kx::Date now = std::chrono::system_clock::now();
    const kx::ArchiveLocations places = locations(model_, backup_);
    // A working copy that ran and is gone is not listed: the alert takes its place.
    const std::optional<kx::HealthAlert> notFound = model_.alerts().archiveNotFound(backup_.owner());
    const bool attention = notFound || places.needsAttention(now, kWithinDays);

    auto* header = new QWidget(this);
    auto* headerRow = flushRow(header, 8);
    auto* shield = symbolView(attention ? QStringLiteral("exclamationmark.shield.fill")
                                        : QStringLiteral("checkmark.shield.fill"),
                              18, toneColor(attention ? Tone::orange : Tone::green), header);
    shield->setObjectName(attention ? QStringLiteral("shieldAttention") : QStringLiteral("shieldFine"));
    headerRow->addWidget(shield);
    headerRow->addWidget(textLabel(QStringLiteral("Where your archive lives"), TextStyle::headline, QColor(), header));
    headerRow->addStretch(1);
    column_->addWidget(header);

    auto* summary = textLabel(QString::fromStdString(notFound ? notFound->sentence()
                                                              : places.summary(now, kWithinDays)),
                              TextStyle::callout, attention ? QColor() : secondaryTextColor(), this, true);
    summary->setObjectName(QStringLiteral("locationsSummary"));
    column_->addWidget(summary);
    column_->addWidget(makeDivider(this));

    if (!notFound)
        column_->addWidget(placeRow(QStringLiteral("internaldrive"), secondaryTextColor(), QStringLiteral("This Mac"),
                                    model_.destinationRoot(), QStringLiteral("Working copy"), this));
    for (const auto& l : places.locations) {
        const QString detail = l.detail.empty() ? QString::fromUtf8(placeClassText(l.placeClass))
                                                : QString::fromStdString(l.detail);
        const Tone tone = l.placeClass == PlaceClass::independentBackup ? Tone::green : Tone::orange;
        column_->addWidget(placeRow(QString::fromUtf8(placeClassSymbol(l.placeClass)), toneColor(tone),
                                    QString::fromStdString(l.name), detail, statusWord(l, now), this));
    }
    if (places.locations.empty()) {
        auto* none = textLabel(notFound ? QStringLiteral("No backup destinations yet.")
                                        : QStringLiteral(
                                              "No backup destinations yet. Your archive exists only on this Mac."),
                               TextStyle::caption, toneColor(Tone::orange), this, true);
        none->setObjectName(QStringLiteral("noLocations"));
        column_->addWidget(none);
    }
}
