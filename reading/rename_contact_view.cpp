#include "reading/rename_contact_view.h"

#include "app/model/app_model.h"
#include "app/model/contacts_model.h"
#include "app/ui/widgets.h"
#include "core/contacts/layered_contact_resolver.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

RenameContactView::RenameContactView(AppModel& model, const QString& handle, QWidget* parent)
    : QDialog(parent), model_(model), handle_(handle) {
    setObjectName(QStringLiteral("renameContact"));
    setWindowTitle(QStringLiteral("Name this contact"));
    setFixedWidth(420);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(14);

    auto* title = new QLabel(QStringLiteral("Name this contact"), this);
    QFont bold = textFont(TextStyle::title3);
    bold.setBold(true);
    title->setFont(bold);
    column->addWidget(title);

    auto* about = new QVBoxLayout;
    about->setSpacing(4);
    auto* handleLabel = new QLabel(handle, this);
    handleLabel->setObjectName(QStringLiteral("handle"));
    handleLabel->setTextFormat(Qt::PlainText);
    QFont mono = textFont(TextStyle::callout);
    mono.setFamily(QStringLiteral("monospace"));
    mono.setStyleHint(QFont::Monospace);
    handleLabel->setFont(mono);
    handleLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    about->addWidget(handleLabel);
    auto* caption = new QLabel(QStringLiteral("This name is shown instead of the number. Your archive is not changed: "
                                              "the original handle stays stored exactly as it was."),
                               this);
    caption->setWordWrap(true);
    styleLabel(caption, TextStyle::caption, secondaryTextColor());
    about->addWidget(caption);
    column->addLayout(about);

    name_ = new QLineEdit(this);
    name_->setObjectName(QStringLiteral("nameField"));
    name_->setPlaceholderText(QStringLiteral("Name"));
    const auto resolved = model_.contacts().resolver()->resolve(handle.toStdString(), std::nullopt);
    if (resolved.kind != kx::ResolvedName::handleOnly) name_->setText(QString::fromStdString(resolved.displayName));
    column->addWidget(name_);

    const SheetButtons buttons = sheetButtons(this, QStringLiteral("Save"), QStringLiteral("save"));
    cancel_ = buttons.cancel;
    save_ = buttons.confirm;
    column->addLayout(buttons.row);

    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(save_, &QPushButton::clicked, this, &RenameContactView::save);
    connect(name_, &QLineEdit::returnPressed, this, &RenameContactView::save);
    connect(name_, &QLineEdit::textChanged, this, &RenameContactView::updateSaveEnabled);
    updateSaveEnabled();
}

void RenameContactView::updateSaveEnabled() {
    QString t = name_->text();
    // Only spaces and tabs count as blank for the button.
    qsizetype a = 0, b = t.size();
    while (a < b && (t[a] == QLatin1Char(' ') || t[a] == QLatin1Char('\t'))) ++a;
    while (b > a && (t[b - 1] == QLatin1Char(' ') || t[b - 1] == QLatin1Char('\t'))) --b;
    save_->setEnabled(b > a);
}

void RenameContactView::save() {
    const QString trimmed = name_->text().trimmed();
    if (trimmed.isEmpty()) return;
    auto overrides = model_.contacts().overrides();
    overrides.set(handle_.toStdString(), trimmed.toStdString());
    model_.contacts().setOverrides(overrides);
    model_.contacts().saveContactOverrides();
    accept();
}
