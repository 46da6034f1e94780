#include "backup/add_destination_view.h"

#include "app/platform/workspace.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/widgets.h"
#include "backup/model/backup_destinations_model.h"
#include "backup/model/backup_model.h"
#include "core/backup/s3_destination.h"
#include "core/keys/wipe.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QUuid>
#include <QVBoxLayout>

using Kind = DestinationConfig::Kind;

namespace {

// The width a caption line's text gets: the sheet's 520 less its margins and the symbol.
constexpr int kTextWidth = 520 - 2 * 20 - 17;

// A caption line with the warning symbol in a tone; its text label is named
// objectName + "Text".
QWidget* cautionLine(const QString& objectName, Tone tone, QLabel** textOut, QWidget* parent) {
    auto* w = new QWidget(parent);
    w->setObjectName(objectName);
    auto* row = flushRow(w, 5);
    row->addWidget(symbolView(QStringLiteral("exclamationmark.triangle.fill"), 12, toneColor(tone), w), 0,
                   Qt::AlignTop);
    auto* text = textLabel(QString(), TextStyle::caption, toneColor(tone), w, true);
    text->setObjectName(objectName + QStringLiteral("Text"));
    row->addWidget(text, 1);
    *textOut = text;
    return w;
}

QLineEdit* field(const QString& objectName, QWidget* parent) {
    auto* f = new QLineEdit(parent);
    f->setObjectName(objectName);
    return f;
}

std::string text(const QLineEdit* f) { return f->text().toStdString(); }

// The core's refusal of a name as a sentence ("The bucket name is not valid: ...").
QString refusal(const std::function<void()>& check) {
    try {
        check();
    } catch (const kx::BackupError& e) {
        QString s = QString::fromStdString(e.what());
        if (!s.isEmpty()) s[0] = s[0].toUpper();
        return s + QStringLiteral(".");
    }
    return QString();
}

} // namespace

AddDestinationView::AddDestinationView(BackupModel& backup, QWidget* parent) : QDialog(parent), backup_(backup) {
    setObjectName(QStringLiteral("addDestinationSheet"));
    setWindowTitle(QStringLiteral("Add Destination"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(14);
    column->setSizeConstraint(QLayout::SetFixedSize);

    auto* title = boldLabel(QStringLiteral("Add a destination"), TextStyle::title3, QColor(), this);
    // The sheet keeps its width whichever fields show; its height follows them.
    title->setMinimumWidth(520 - 2 * 20);
    column->addWidget(title);

    kind_ = new QComboBox(this);
    kind_->setObjectName(QStringLiteral("kind"));
    for (Kind k : DestinationConfig::allKinds) kind_->addItem(QString::fromUtf8(kindLabel(k)), static_cast<int>(k));
    warning_ = cautionLine(QStringLiteral("folderWarning"), Tone::orange, &warningText_, this);

    auto* typeForm = new QFormLayout;
    typeForm->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    typeForm->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    typeForm->addRow(QStringLiteral("Type"), kind_);
    column->addLayout(typeForm);
    column->addWidget(warning_);

    form_ = new QFormLayout;
    form_->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
    form_->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    form_->setVerticalSpacing(10);
    accountID_ = field(QStringLiteral("accountID"), this);
    region_ = field(QStringLiteral("region"), this);
    region_->setPlaceholderText(QStringLiteral("us-east-1"));
    bucket_ = field(QStringLiteral("bucket"), this);
    accessKeyID_ = field(QStringLiteral("accessKeyID"), this);
    secretKey_ = field(QStringLiteral("secretKey"), this);
    secretKey_->setEchoMode(QLineEdit::Password);
    keychainNote_ = textLabel(QStringLiteral("Your keys are stored in the system keyring on this computer only."),
                              TextStyle::caption, secondaryTextColor(), this, true);
    keychainNote_->setObjectName(QStringLiteral("keychainNote"));
    localRoot_ = field(QStringLiteral("folder"), this);
    choose_ = new QPushButton(QStringLiteral("Choose\u2026"), this);
    choose_->setObjectName(QStringLiteral("choose"));
    choose_->setAutoDefault(false);
    folderRow_ = new QWidget(this);
    auto* folderLayout = flushRow(folderRow_, 8);
    folderLayout->addWidget(localRoot_, 1);
    folderLayout->addWidget(choose_);
    form_->addRow(QStringLiteral("Account ID"), accountID_);
    form_->addRow(QStringLiteral("Region"), region_);
    form_->addRow(QStringLiteral("Bucket"), bucket_);
    form_->addRow(QStringLiteral("Access Key ID"), accessKeyID_);
    form_->addRow(QStringLiteral("Secret Key"), secretKey_);
    form_->addRow(QString(), keychainNote_);
    form_->addRow(QStringLiteral("Folder"), folderRow_);
    column->addLayout(form_);
    // The two forms' labels share one width, so their fields line up.
    const int labelWidth = fontMetrics().horizontalAdvance(QStringLiteral("Access Key ID")) + 4;
    for (QFormLayout* f : {typeForm, form_})
        for (int row = 0; row < f->rowCount(); ++row)
            if (auto* item = f->itemAt(row, QFormLayout::LabelRole)) {
                if (auto* label = qobject_cast<QLabel*>(item->widget())) {
                    label->setMinimumWidth(labelWidth);
                    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
                }
            }

    problemLine_ = cautionLine(QStringLiteral("fieldProblem"), Tone::red, &problemText_, this);
    column->addWidget(problemLine_);

    busy_ = new QWidget(this);
    busy_->setObjectName(QStringLiteral("adding"));
    auto* busyRow = flushRow(busy_, 8);
    busyRow->addWidget(new BusySpinner(busy_), 0, Qt::AlignVCenter);
    busyRow->addWidget(textLabel(QStringLiteral("Adding the destination\u2026"), TextStyle::caption,
                                 secondaryTextColor(), busy_),
                       1);
    column->addWidget(busy_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    cancel_->setObjectName(QStringLiteral("cancel"));
    add_ = new QPushButton(QStringLiteral("Add"), this);
    add_->setObjectName(QStringLiteral("add"));
    makeProminent(add_);
    for (QPushButton* b : {cancel_, add_}) {
        b->setAutoDefault(false);
        b->setDefault(false);
        buttons->addWidget(b);
    }
    column->addLayout(buttons);

    connect(kind_, &QComboBox::currentIndexChanged, this, &AddDestinationView::refresh);
    for (QLineEdit* f : {accountID_, region_, bucket_, accessKeyID_, secretKey_, localRoot_})
        connect(f, &QLineEdit::textChanged, this, &AddDestinationView::refresh);
    connect(choose_, &QPushButton::clicked, this, &AddDestinationView::chooseFolder);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(add_, &QPushButton::clicked, this, &AddDestinationView::add);
    refresh();
}

Kind AddDestinationView::kind() const { return static_cast<Kind>(kind_->currentData().toInt()); }

void AddDestinationView::setKind(Kind kind) { kind_->setCurrentIndex(kind_->findData(static_cast<int>(kind))); }

QString AddDestinationView::folderWarning(Kind kind) {
    const QString synced = QStringLiteral("Sync services copy deletions too. If the archive is deleted or the account "
                                          "is taken over, this copy goes with it.");
    const QString alongside = QStringLiteral(" Use it alongside an independent backup, not instead of one.");
    switch (kind) {
    case Kind::localVolume:
        return QStringLiteral("Stored on or attached to this Mac. Lost if the Mac is lost, stolen or fails.") +
               alongside;
    case Kind::iCloudDrive:
        return synced + QStringLiteral(" Your messages already sync to iCloud, so this adds less than it appears to. "
                                       "Use it alongside another destination, not instead of one.");
    case Kind::dropboxFolder:
    case Kind::googleDriveFolder: return synced + alongside;
    default: return QString();
    }
}

QString AddDestinationView::problem() const {
    const Kind k = kind();
    if (!isObjectStore(k)) return QString();
    if (k == Kind::cloudflareR2 && !accountID_->text().isEmpty()) {
        QString s = refusal([&] { kx::checkAccountID(text(accountID_)); });
        if (!s.isNull()) return s;
    }
    if (usesRegion(k) && !region_->text().isEmpty()) {
        QString s = refusal([&] { kx::checkRegion(text(region_)); });
        if (!s.isNull()) return s;
    }
    if (!bucket_->text().isEmpty()) return refusal([&] { kx::checkBucketName(text(bucket_)); });
    return QString();
}

bool AddDestinationView::canAdd() const {
    const Kind k = kind();
    if (!isObjectStore(k)) return !localRoot_->text().isEmpty();
    const QLineEdit* first = k == Kind::cloudflareR2 ? accountID_ : region_;
    for (const QLineEdit* f : std::initializer_list<const QLineEdit*>{first, bucket_, accessKeyID_, secretKey_})
        if (f->text().isEmpty()) return false;
    return problem().isNull();
}

void AddDestinationView::refresh() {
    const Kind k = kind();
    const bool store = isObjectStore(k);
    const QString warning = folderWarning(k);
    warningText_->setText(warning);
    // A wrapped label in a spanning form row is not given its wrapped height by
    // the layout on every platform; ask for it at the sheet's text width.
    warningText_->setMinimumHeight(warning.isEmpty() ? 0 : warningText_->heightForWidth(kTextWidth));
    warning_->setVisible(!warning.isEmpty());
    form_->setRowVisible(accountID_, k == Kind::cloudflareR2);
    form_->setRowVisible(region_, store && k != Kind::cloudflareR2);
    for (QWidget* w : std::initializer_list<QWidget*>{bucket_, accessKeyID_, secretKey_, keychainNote_})
        form_->setRowVisible(w, store);
    form_->setRowVisible(folderRow_, !store);
    const QString p = problem();
    problemText_->setText(p);
    problemText_->setMinimumHeight(p.isNull() ? 0 : problemText_->heightForWidth(kTextWidth));
    problemLine_->setVisible(!p.isNull());
    busy_->setVisible(adding_);
    for (QWidget* w : std::initializer_list<QWidget*>{kind_, accountID_, region_, bucket_, accessKeyID_, secretKey_,
                                                      localRoot_, choose_, cancel_})
        w->setEnabled(!adding_);
    add_->setEnabled(!adding_ && canAdd());
}

void AddDestinationView::chooseFolder() {
    const QString folder = workspace().chooseFolder(this);
    if (!folder.isEmpty()) localRoot_->setText(folder);
}

DestinationConfig AddDestinationView::configuration() const {
    const Kind k = kind();
    DestinationConfig d;
    d.id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    d.kind = k;
    if (isObjectStore(k)) d.bucket = text(bucket_);
    if (usesRegion(k)) d.region = text(region_);
    if (!isObjectStore(k)) d.localRoot = text(localRoot_);
    d.enabled = true;
    return d;
}

std::optional<kx::TreskKeychain::DestinationCredentials> AddDestinationView::credentials() const {
    const Kind k = kind();
    if (!isObjectStore(k)) return std::nullopt;
    kx::TreskKeychain::DestinationCredentials c;
    c.accessKeyID = text(accessKeyID_);
    c.secretAccessKey = text(secretKey_);
    if (k == Kind::cloudflareR2) c.accountID = text(accountID_);
    c.region = text(region_);
    c.bucket = text(bucket_);
    return c;
}

void AddDestinationView::add() {
    if (adding_ || !canAdd()) return;
    adding_ = true;
    refresh();
    std::optional<kx::TreskKeychain::DestinationCredentials> keys = credentials();
    backup_.destinationsModel().addDestination(configuration(), keys, this,
                                               [this](const std::optional<QString>& failure) {
                                                   if (failure) backup_.setLastError(*failure);
                                                   adding_ = false;
                                                   secretKey_->clear();
                                                   accept();
                                               });
    kx::wipe(keys);
}

void AddDestinationView::reject() {
    if (!adding_) QDialog::reject();
}
