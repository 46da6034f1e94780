#include "sources/add_source_view.h"

#include "app/model/app_model.h"
#include "app/model/owners_model.h"
#include "app/platform/workspace.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "sources/source_display.h"

#include <QComboBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace sources {

namespace {

// A red caption line with the warning symbol.
QWidget* warningLine(const QString& objectName, QLabel** textOut, QWidget* parent) {
    auto* w = new QWidget(parent);
    w->setObjectName(objectName);
    auto* row = flushRow(w, 5);
    row->addWidget(symbolView(QStringLiteral("exclamationmark.triangle"), 12, toneColor(Tone::red), w), 0,
                   Qt::AlignTop);
    auto* text = textLabel(QString(), TextStyle::caption, toneColor(Tone::red), w, true);
    text->setObjectName(objectName + QStringLiteral("Text"));
    row->addWidget(text, 1);
    *textOut = text;
    w->hide();
    return w;
}

} // namespace

AddSourceView::AddSourceView(AppModel& model, QWidget* parent) : QDialog(parent), model_(model) {
    setObjectName(QStringLiteral("addSourceSheet"));
    setWindowTitle(QStringLiteral("Add Source"));
    setFixedWidth(560);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(14);

    column->addWidget(boldLabel(QStringLiteral("Add Source"), TextStyle::title2, QColor(), this));

    auto* form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    id_ = new QLineEdit(this);
    id_->setObjectName(QStringLiteral("identifier"));
    id_->setToolTip(QStringLiteral("Unique id, e.g. jorin-t7-archive"));
    owner_ = new QLineEdit(this);
    owner_->setObjectName(QStringLiteral("owner"));
    owner_->setToolTip(QStringLiteral("Whose history this is. Each owner gets a separate archive."));
    label_ = new QLineEdit(this);
    label_->setObjectName(QStringLiteral("label"));
    format_ = new QComboBox(this);
    format_->setObjectName(QStringLiteral("format"));
    for (const auto& choice : addableFormats()) format_->addItem(choice.label, static_cast<int>(choice.format));
    format_->setCurrentIndex(0);
    path_ = new QLineEdit(this);
    path_->setObjectName(QStringLiteral("path"));
    choose_ = new QPushButton(QStringLiteral("Choose\u2026"), this);
    choose_->setObjectName(QStringLiteral("choose"));
    choose_->setAutoDefault(false);
    auto* pathRow = new QHBoxLayout;
    pathRow->setSpacing(8);
    pathRow->addWidget(path_, 1);
    pathRow->addWidget(choose_);
    form->addRow(QStringLiteral("Identifier"), id_);
    form->addRow(QStringLiteral("Owner"), owner_);
    form->addRow(QStringLiteral("Label (optional)"), label_);
    form->addRow(QStringLiteral("Format"), format_);
    form->addRow(QStringLiteral("Path"), pathRow);
    column->addLayout(form);

    QLabel* pathText = nullptr;
    pathWarning_ = warningLine(QStringLiteral("pathWarning"), &pathText, this);
    pathText->setText(QStringLiteral("That path does not exist"));
    column->addWidget(pathWarning_);
    QWidget* idLine = warningLine(QStringLiteral("identifierProblem"), &idProblem_, this);
    column->addWidget(idLine);
    QWidget* ownerLine = warningLine(QStringLiteral("ownerProblem"), &ownerProblem_, this);
    column->addWidget(ownerLine);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("cancel"));
    cancel_->setAutoDefault(false);
    add_ = new QPushButton(QStringLiteral("Add"), this);
    add_->setObjectName(QStringLiteral("add"));
    makeProminent(add_);
    add_->setDefault(false);
    add_->setAutoDefault(false);
    buttons->addWidget(cancel_);
    buttons->addWidget(add_);
    column->addLayout(buttons);

    connect(id_, &QLineEdit::textChanged, this, &AddSourceView::revalidate);
    connect(owner_, &QLineEdit::textChanged, this, [this] {
        // The owner rule reads the archive root; ask it only when the owner changes.
        ownerProblemText_ = owner_->text().isEmpty() ? QString() : model_.owners().ownerProblem(owner_->text());
        revalidate();
    });
    connect(path_, &QLineEdit::textChanged, this, [this] {
        pathExists_ = !path_->text().isEmpty() && QFileInfo::exists(path_->text());
        revalidate();
    });
    connect(choose_, &QPushButton::clicked, this, &AddSourceView::chooseFolder);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(add_, &QPushButton::clicked, this, &AddSourceView::add);
    revalidate();
}

kx::SourceFormat AddSourceView::format() const { return static_cast<kx::SourceFormat>(format_->currentData().toInt()); }

bool AddSourceView::canAdd() const {
    if (id_->text().isEmpty() || owner_->text().isEmpty() || path_->text().isEmpty()) return false;
    if (!pathExists_) return false;
    if (model_.registry().find(id_->text().toStdString())) return false;
    return ownerProblemText_.isNull();
}

QStringList AddSourceView::problems() const {
    QStringList out;
    for (QWidget* w : {pathWarning_, idProblem_->parentWidget(), ownerProblem_->parentWidget()}) {
        if (w->isHidden()) continue;
        if (auto* l = w->findChild<QLabel*>(w->objectName() + QStringLiteral("Text"))) out << l->text();
    }
    return out;
}

void AddSourceView::revalidate() {
    pathWarning_->setVisible(!path_->text().isEmpty() && !pathExists_);
    const bool taken = !id_->text().isEmpty() && model_.registry().find(id_->text().toStdString());
    idProblem_->setText(QStringLiteral("That identifier is already registered"));
    idProblem_->parentWidget()->setVisible(taken);
    ownerProblem_->setText(ownerProblemText_);
    ownerProblem_->parentWidget()->setVisible(!ownerProblemText_.isNull());
    add_->setEnabled(canAdd());
    adjustSize();
}

void AddSourceView::chooseFolder() {
    const QString folder = workspace().chooseFolder(this);
    if (!folder.isEmpty()) path_->setText(folder);
}

void AddSourceView::add() {
    if (!canAdd()) return;
    kx::Source s;
    s.id = id_->text().toStdString();
    s.owner = owner_->text().toStdString();
    s.path = path_->text().toStdString();
    s.format = format();
    if (!label_->text().isEmpty()) s.label = label_->text().toStdString();
    if (!model_.mutableRegistry().add(s)) {
        // The registry refuses a second source with this id; canAdd should have
        // caught it, so say so rather than close as if it worked.
        revalidate();
        return;
    }
    if (const std::optional<QString> problem = model_.saveRegistry("add " + id_->text())) model_.setLastError(*problem);
    emit model_.registryChanged();
    accept();
}

} // namespace sources
