#include "app/shell/sheets.h"

#include "app/model/app_model.h"
#include "app/model/permissions_model.h"
#include "app/ui/style.h"
#include "app/ui/widgets.h"
#include "setup/full_disk_access_view.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QPushButton>
#include <QVBoxLayout>

// The steps of the first-run flow are built by the setup screens; until then
// its sheet shows its title and the way out.

QWidget* makeOnboardingContent(AppModel&, BackupModel&, OnboardingModel&, QDialog& sheet) {
    auto* w = new QWidget(&sheet);
    auto* column = new QVBoxLayout(w);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(new ContentUnavailableWidget(QObject::tr("Set Up Kelvara"), QStringLiteral("archivebox"),
                                                   QString(), w),
                      1);
    column->addWidget(makeDivider(w));
    auto* footer = new QHBoxLayout;
    footer->setContentsMargins(24, 14, 24, 14);
    auto* later = new QPushButton(QObject::tr("Set this up later"), w);
    later->setObjectName(QStringLiteral("setUpLaterButton"));
    later->setToolTip(QObject::tr("Close this and go to the app. Nothing is archived until a source is connected and "
                                  "Full Disk Access is granted."));
    QObject::connect(later, &QPushButton::clicked, &sheet, &QDialog::reject);
    footer->addWidget(later);
    footer->addStretch(1);
    column->addLayout(footer);
    return w;
}

QWidget* makeFullDiskAccessContent(AppModel& model, QDialog& sheet) {
    return new setup::FullDiskAccessView(model, &sheet);
}
