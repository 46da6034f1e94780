#include "setup/onboarding/archive_choice_step.h"

#include "app/model/app_model.h"
#include "app/model/owners_model.h"
#include "app/ui/style.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "backup/model/backup_destinations_model.h"
#include "backup/model/backup_model.h"
#include "household/join_archive_view.h"
#include "household/join_model.h"
#include "setup/model/onboarding_model.h"
#include "setup/onboarding/onboarding_widgets.h"
#include "setup/settings_form.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace setup {

using Choice = kx::Onboarding::ArchiveChoice;

namespace {

QColor accent() { return toneColor(Tone::blue); }

QColor withAlpha(QColor c, double opacity) {
    c.setAlphaF(opacity);
    return c;
}

} // namespace

// ---- ChoiceCard ----

ChoiceCard::ChoiceCard(const QString& title, const QString& symbol, const QString& name, QWidget* parent)
    : QFrame(parent), title_(title) {
    setObjectName(name);
    setFocusPolicy(Qt::TabFocus);
    setCursor(Qt::PointingHandCursor);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(10);

    auto* top = new QHBoxLayout;
    top->setSpacing(10);
    const int size = QFontMetrics(textFont(TextStyle::headline)).height();
    radio_ = new QLabel(this);
    radio_->setObjectName(QStringLiteral("radio"));
    radio_->setFixedSize(size, size);
    top->addWidget(radio_, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    QWidget* heading = iconLabel(title, symbol, this);
    heading->setObjectName(QStringLiteral("cardTitle"));
    if (auto* t = heading->findChild<QLabel*>(QStringLiteral("iconLabelTitle")))
        t->setFont(textFont(TextStyle::headline));
    texts->addWidget(heading);
    detail_ = captionText(QString(), this);
    detail_->setObjectName(QStringLiteral("cardDetail"));
    texts->addWidget(detail_);
    top->addLayout(texts, 1);
    column->addLayout(top);

    detailsBox_ = new QWidget(this);
    detailsBox_->setObjectName(QStringLiteral("cardDetails"));
    details_ = new QVBoxLayout(detailsBox_);
    details_->setContentsMargins(26, 0, 0, 0);
    details_->setSpacing(8);
    column->addWidget(detailsBox_);
    setSelected(false);
}

void ChoiceCard::setSelected(bool selected) {
    selected_ = selected;
    radio_->setPixmap(symbolPixmap(radioSymbol(), radio_->width(), selected ? accent() : secondaryTextColor()));
    radio_->setProperty("symbol", radioSymbol());
    detailsBox_->setVisible(selected);
    refreshAccessibility();
    update();
}

QString ChoiceCard::radioSymbol() const {
    return selected_ ? QStringLiteral("largecircle.filled.circle") : QStringLiteral("circle");
}

void ChoiceCard::setDetail(const QString& detail) {
    detail_->setText(detail);
    refreshAccessibility();
}

void ChoiceCard::refreshAccessibility() {
    setAccessibleName(title_ + QStringLiteral(". ") + detail_->text());
    setAccessibleDescription(selected_ ? tr("Selected") : QString());
}

void ChoiceCard::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    p.setBrush(selected_ ? withAlpha(accent(), 0.08) : QColor(Qt::transparent));
    p.setPen(QPen(selected_ ? withAlpha(accent(), 0.5) : withAlpha(secondaryTextColor(), 0.25), 1));
    p.drawRoundedRect(r, 8, 8);
}

void ChoiceCard::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit chosen();
    QFrame::mouseReleaseEvent(event);
}

void ChoiceCard::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Space) {
        emit chosen();
        return;
    }
    QFrame::keyPressEvent(event);
}

// ---- ArchiveChoiceStep ----

ArchiveChoiceStep::ArchiveChoiceStep(AppModel& model, BackupModel& backup, OnboardingModel& onboarding, QWidget* parent)
    : QWidget(parent), model_(model), backup_(backup), onboarding_(onboarding), joinModel_(new JoinModel(this)) {
    setObjectName(QStringLiteral("archiveChoiceStep"));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(16);
    column->addWidget(formText(tr("If someone in your household already runs Kelvara, join their archive rather than "
                                  "starting a second one. Two archives for one person split the history, and the "
                                  "split only shows up later when a search comes back half empty."),
                               TextStyle::body, QColor(), this));

    // The first card: a new archive, and its name.
    startNew_ = new ChoiceCard(tr("Start a new archive"), QStringLiteral("plus.rectangle.on.folder"),
                               QStringLiteral("startNewCard"), this);
    auto* nameRow = new QHBoxLayout;
    nameRow->setSpacing(8);
    auto* nameLabel = captionText(tr("Archive name"), startNew_);
    nameLabel->setWordWrap(false);
    nameRow->addWidget(nameLabel, 0, Qt::AlignVCenter);
    owner_ = formText(QString(), TextStyle::callout, QColor(), startNew_, true);
    owner_->setObjectName(QStringLiteral("archiveName"));
    owner_->setWordWrap(false);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(textFont(TextStyle::callout).pointSizeF());
    mono.setWeight(QFont::Medium);
    owner_->setFont(mono);
    nameRow->addWidget(owner_, 0, Qt::AlignVCenter);
    nameEditor_ = new QLineEdit(startNew_);
    nameEditor_->setObjectName(QStringLiteral("archiveNameEditor"));
    nameEditor_->setPlaceholderText(tr("name"));
    nameEditor_->setFixedWidth(160);
    nameEditor_->installEventFilter(this);
    nameRow->addWidget(nameEditor_, 0, Qt::AlignVCenter);
    change_ = new QPushButton(tr("Change"), startNew_);
    change_->setObjectName(QStringLiteral("changeName"));
    save_ = new QPushButton(tr("Save"), startNew_);
    save_->setObjectName(QStringLiteral("saveName"));
    for (QPushButton* b : {change_, save_}) {
        makeSmall(b);
        makeStepButton(b);
        nameRow->addWidget(b, 0, Qt::AlignVCenter);
    }
    nameRow->addStretch(1);
    startNew_->details()->addLayout(nameRow);
    separateWarning_ = new SymbolLine(TextStyle::caption, QStringLiteral("separateArchiveWarning"), 6, startNew_);
    startNew_->details()->addWidget(separateWarning_);
    column->addWidget(startNew_);

    // The second card: joining an archive that already exists.
    join_ = new ChoiceCard(tr("Join an archive that already exists"), QStringLiteral("link"),
                           QStringLiteral("joinCard"), this);
    join_->setDetail(tr("Paste the code from the Mac that already has it."));
    joined_ = new SymbolLine(TextStyle::callout, QStringLiteral("joinedNote"), 6, join_);
    joined_->set(QStringLiteral("checkmark.circle.fill"), toneColor(Tone::green),
                 tr("This Mac has joined the shared archive."), QFont::Normal, toneColor(Tone::green));
    join_->details()->addWidget(joined_);
    pasteCode_ = new QPushButton(tr("Paste a link code…"), join_);
    pasteCode_->setObjectName(QStringLiteral("pasteLinkCode"));
    makeSmall(pasteCode_);
    makeStepButton(pasteCode_);
    join_->details()->addWidget(pasteCode_, 0, Qt::AlignLeft);
    pasteHint_ = captionText(tr("On the other Mac: Your Macs, then Link another Mac. The code is one long line "
                                "starting with KTRESK1-."),
                             join_);
    pasteHint_->setObjectName(QStringLiteral("pasteHint"));
    join_->details()->addWidget(pasteHint_);
    column->addWidget(join_);

    connect(startNew_, &ChoiceCard::chosen, this, [this] { chooseOption(Choice::startNew); });
    connect(join_, &ChoiceCard::chosen, this, [this] { chooseOption(Choice::join); });
    connect(change_, &QPushButton::clicked, this, &ArchiveChoiceStep::startEditingName);
    connect(save_, &QPushButton::clicked, this, &ArchiveChoiceStep::saveName);
    connect(nameEditor_, &QLineEdit::textChanged, this, &ArchiveChoiceStep::refreshSaveEnabled);
    connect(pasteCode_, &QPushButton::clicked, this, &ArchiveChoiceStep::openJoinSheet);
    // The choice, the join, the archive owner and the archives at the root all
    // reach the state.
    connect(&onboarding_, &OnboardingModel::stateChanged, this, &ArchiveChoiceStep::refresh);
    refresh();
}

ArchiveChoiceStep::~ArchiveChoiceStep() {
    // The join sheet goes with the step; its closing then is not a join.
    if (joinSheet_) joinSheet_->disconnect(this);
}

JoinArchiveView* ArchiveChoiceStep::joinSheet() const { return static_cast<JoinArchiveView*>(joinSheet_.data()); }

void ArchiveChoiceStep::chooseOption(Choice choice) { onboarding_.setArchiveChoice(choice); }

void ArchiveChoiceStep::startEditingName() {
    nameEditor_->setText(QString::fromStdString(model_.owners().resolvedOwner().owner));
    editingName_ = true;
    refresh();
    nameEditor_->setFocus();
    nameEditor_->selectAll();
}

void ArchiveChoiceStep::saveName() {
    if (!save_->isEnabled()) return;
    onboarding_.setArchiveName(nameEditor_->text());
    // The editor closes whatever the outcome; a refused name is said below the step.
    editingName_ = false;
    refresh();
}

void ArchiveChoiceStep::refreshSaveEnabled() {
    const QString draft = nameEditor_->text();
    bool any = false;
    for (QChar c : draft) any = any || (c != QLatin1Char(' ') && c != QLatin1Char('\t'));
    save_->setEnabled(any);
}

void ArchiveChoiceStep::openJoinSheet() {
    if (joinSheet_) return;
    // Parented to the step: the sheet cannot outlive the join flow it shows.
    auto* sheet = new JoinArchiveView(*joinModel_, model_, backup_.destinationsModel(), true, this);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    joinSheet_ = sheet;
    connect(sheet, &QDialog::finished, this, &ArchiveChoiceStep::joinSheetClosed);
    sheet->open();
}

void ArchiveChoiceStep::joinSheetClosed() {
    joinSheet_ = nullptr;
    if (joinModel_->stage().kind != JoinStage::Kind::joined) return;
    onboarding_.setJoinCompleted(true);
    onboarding_.setArchiveChoice(Choice::join);
}

void ArchiveChoiceStep::refresh() {
    const std::optional<Choice> choice = onboarding_.archiveChoice();
    startNew_->setSelected(choice == Choice::startNew);
    join_->setSelected(choice == Choice::join);

    const QString owner = QString::fromStdString(model_.owners().resolvedOwner().owner);
    startNew_->setDetail(tr("This Mac's messages are archived under \"") + owner + QStringLiteral("\"."));
    owner_->setText(owner);
    owner_->setVisible(!editingName_);
    change_->setVisible(!editingName_);
    nameEditor_->setVisible(editingName_);
    save_->setVisible(editingName_);
    refreshSaveEnabled();

    const bool separate = onboarding_.wouldStartSeparateArchive();
    if (separate) {
        const QColor orange = toneColor(Tone::orange);
        separateWarning_->set(QStringLiteral("exclamationmark.triangle.fill"), orange,
                              tr("This destination already holds: ") +
                                  model_.owners().existingOwners().join(QStringLiteral(", ")) +
                                  tr(". Starting a new archive called \"") + owner +
                                  tr("\" adds another one beside them. If this Mac's messages belong in one of those, "
                                     "change the name to match it or join instead."),
                              QFont::Normal, orange);
    }
    separateWarning_->setVisible(separate);

    const bool joined = onboarding_.joinCompleted();
    joined_->setVisible(joined);
    pasteCode_->setVisible(!joined);
    pasteHint_->setVisible(!joined);
}

bool ArchiveChoiceStep::eventFilter(QObject* watched, QEvent* event) {
    // In the name editor Return saves and Escape puts the editor away; neither
    // reaches the sheet (which would advance or close).
    if (watched == nameEditor_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            saveName();
            return true;
        }
        if (key == Qt::Key_Escape) {
            editingName_ = false;
            refresh();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace setup
