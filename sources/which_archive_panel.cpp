#include "sources/which_archive_panel.h"

#include "app/model/app_model.h"
#include "app/model/owners_model.h"
#include "app/model/sources_model.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "core/platform/system.h"
#include "sources/source_display.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace sources {

WhichArchivePanel::WhichArchivePanel(AppModel& model, QWidget* parent)
    : TintedBox(toneBackground(Tone::orange, 0.1), 10, parent), model_(model) {
    setObjectName(QStringLiteral("whichArchivePanel"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Maximum);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(10);

    auto* title = iconLabel(QStringLiteral("Which archive does this Mac belong to?"),
                            QStringLiteral("person.2.badge.gearshape"), this);
    if (auto* t = title->findChild<QLabel*>(QStringLiteral("iconLabelTitle")))
        t->setFont(textFont(TextStyle::headline));
    column->addWidget(title);

    const QString account = QString::fromStdString(kx::systemInfo().shortUserName());
    auto* explain = textLabel("This Mac's account is \"" + singleLine(account) + "\". Picking an existing archive " +
                                  "adds these messages to it. Starting a new one keeps them separate, " +
                                  "which is what you want for a different person.",
                              TextStyle::callout, secondaryTextColor(), this, true);
    explain->setObjectName(QStringLiteral("whichArchiveExplanation"));
    column->addWidget(explain);

    rows_ = new QVBoxLayout;
    rows_->setSpacing(6);
    column->addLayout(rows_);
    column->addWidget(makeDivider(this));

    auto* newRow = new QHBoxLayout;
    newRow->setSpacing(8);
    newName_ = new QLineEdit(this);
    newName_->setObjectName(QStringLiteral("newArchiveName"));
    newName_->setPlaceholderText(QStringLiteral("New archive name, for example fenna"));
    newName_->setFixedWidth(260);
    startNew_ = new QPushButton(QStringLiteral("Start New Archive"), this);
    startNew_->setObjectName(QStringLiteral("startNewArchive"));
    startNew_->setEnabled(false);
    newRow->addWidget(newName_);
    newRow->addWidget(startNew_);
    newRow->addStretch(1);
    column->addLayout(newRow);

    connect(newName_, &QLineEdit::textChanged, this,
            [this](const QString& t) { startNew_->setEnabled(!t.trimmed().isEmpty()); });
    connect(startNew_, &QPushButton::clicked, this, [this] { model_.sources().renameArchive(newName_->text()); });
    reload();
}

void WhichArchivePanel::reload() {
    for (QPushButton* b : addButtons_) b->deleteLater();
    addButtons_.clear();
    while (QLayoutItem* item = rows_->takeAt(0)) delete item;
    for (const QString& owner : model_.owners().existingOwners()) {
        auto* b = new QPushButton(symbolIcon(QStringLiteral("tray.and.arrow.down")),
                                  "Add to \"" + singleLine(owner) + "\"", this);
        b->setObjectName(QStringLiteral("addToArchive"));
        b->setProperty("owner", owner);
        connect(b, &QPushButton::clicked, this, [this, owner] { model_.sources().renameArchive(owner); });
        auto* row = new QHBoxLayout;
        row->addWidget(b);
        row->addStretch(1);
        rows_->addLayout(row);
        addButtons_ << b;
    }
}

} // namespace sources
