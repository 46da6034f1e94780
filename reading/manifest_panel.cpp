#include "reading/manifest_panel.h"

#include "app/model/app_model.h"
#include "app/model/evidence_model.h"
#include "app/model/owners_model.h"
#include "app/ui/clipboard.h"
#include "app/ui/style.h"
#include "app/ui/symbols.h"
#include "app/ui/text_widgets.h"
#include "app/ui/widgets.h"
#include "reading/model/evidence_text.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

using Kind = OwnerManifestState::Kind;

QPushButton* symbolButton(const QString& title, const QString& symbol, QWidget* parent) {
    auto* b = new QPushButton(symbolIcon(symbol), title, parent);
    b->setAutoDefault(false);
    return b;
}

// The date of the manifest that a new one would replace; none when there is
// no readable one (nothing stored, or the state is not known).
std::optional<kx::Date> replacedManifestDate(const OwnerManifestState& s) {
    if (s.kind == Kind::present || s.kind == Kind::verified) return s.generatedAt;
    return std::nullopt;
}

// Empties a layout, its nested rows included, and deletes their widgets (none
// of them is ever the sender of what causes a refresh).
void clearLayout(QLayout* layout) {
    while (QLayoutItem* item = layout->takeAt(0)) {
        delete item->widget();
        if (QLayout* nested = item->layout()) clearLayout(nested);
        delete item;
    }
}

} // namespace

ManifestPanel::ManifestPanel(AppModel& model, QWidget* parent)
    : QGroupBox(QStringLiteral("Tamper-evidence"), parent), model_(model) {
    setObjectName(QStringLiteral("manifestPanel"));
    confirm_ = [this](const QString& question) {
        return QMessageBox::question(this, QStringLiteral("Generate a new manifest"), question,
                                     QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel) == QMessageBox::Yes;
    };
    auto* column = new QVBoxLayout(this);
    column->setSpacing(8);

    pickerRow_ = new QWidget(this);
    {
        auto* row = new QHBoxLayout(pickerRow_);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(8);
        row->addWidget(styledLabel(QStringLiteral("Archive"), TextStyle::body, QColor(), pickerRow_));
        picker_ = new SegmentedPicker(pickerRow_);
        picker_->setObjectName(QStringLiteral("ownerPicker"));
        picker_->setAccessibleName(QStringLiteral("Archive"));
        row->addWidget(picker_);
        row->addStretch(1);
    }
    column->addWidget(pickerRow_);
    connect(picker_, &SegmentedPicker::chosen, this, &ManifestPanel::setOwner);

    state_ = new QWidget(this);
    state_->setObjectName(QStringLiteral("state"));
    stateColumn_ = new QVBoxLayout(state_);
    stateColumn_->setContentsMargins(0, 0, 0, 0);
    stateColumn_->setSpacing(4);
    column->addWidget(state_);

    auto* controls = new QHBoxLayout;
    controls->setSpacing(8);
    generate_ = symbolButton(QStringLiteral("Generate"), QStringLiteral("seal"), this);
    generate_->setObjectName(QStringLiteral("generate"));
    verify_ = symbolButton(QStringLiteral("Verify now"), QStringLiteral("checkmark.seal"), this);
    verify_->setObjectName(QStringLiteral("verify"));
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("progress"));
    progress_->setRange(0, 0);
    progress_->setTextVisible(false);
    progress_->setFixedSize(60, 6);
    controls->addWidget(generate_);
    controls->addWidget(verify_);
    controls->addWidget(progress_);
    controls->addStretch(1);
    column->addLayout(controls);

    column->addWidget(styledLabel(QStringLiteral("Proves the archive has not changed since it was sealed. Does NOT "
                                                 "prove it was complete or truthful then, and the seal time is this "
                                                 "Mac's own clock, not a trusted timestamp. Someone who can "
                                                 "rewrite the archive can rewrite its manifest with it; the evidence "
                                                 "that leaves this computer is an export's seal signed by the seal "
                                                 "server."),
                                  TextStyle::caption, secondaryTextColor(), this, true));

    connect(generate_, &QPushButton::clicked, this, &ManifestPanel::generate);
    connect(verify_, &QPushButton::clicked, this, &ManifestPanel::verify);
    EvidenceModel& evidence = model_.evidence();
    connect(&evidence, &EvidenceModel::manifestStateChanged, this, &ManifestPanel::refreshState);
    connect(&evidence, &EvidenceModel::isManifestingChanged, this, &ManifestPanel::refreshButtons);
    connect(&model_, &AppModel::registryChanged, this, &ManifestPanel::refreshOwners);
    refreshOwners();
    refreshState();
    refreshButtons();
}

void ManifestPanel::showEvent(QShowEvent* event) {
    QGroupBox::showEvent(event);
    if (appeared_) return;
    appeared_ = true;
    // On appearing the stored manifest is read again.
    if (owner_.isEmpty()) owner_ = model_.owners().sourceOwners().value(0);
    picker_->setCurrentValue(owner_);
    if (!owner_.isEmpty()) model_.evidence().loadManifestState(owner_);
    refreshState();
    refreshButtons();
}

void ManifestPanel::setOwner(const QString& owner) {
    if (owner == owner_) return;
    owner_ = owner;
    picker_->setCurrentValue(owner_);
    if (!owner_.isEmpty()) model_.evidence().loadManifestState(owner_);
    refreshState();
    refreshButtons();
}

void ManifestPanel::refreshOwners() {
    const QStringList owners = model_.owners().sourceOwners();
    picker_->setItems(owners);
    picker_->setCurrentValue(owner_);
    pickerRow_->setVisible(owners.size() > 1);
}

void ManifestPanel::refreshButtons() {
    const bool busy = model_.evidence().isManifesting();
    generate_->setEnabled(!busy && !owner_.isEmpty());
    verify_->setEnabled(!busy && !owner_.isEmpty());
    progress_->setVisible(busy);
}

void ManifestPanel::refreshState() {
    clearLayout(stateColumn_);
    const OwnerManifestState s = model_.evidence().manifestState(owner_);
    const reading::ManifestStateText t = reading::manifestStateText(s);
    const QColor colour = t.tone ? toneColor(*t.tone) : s.kind == Kind::present ? QColor() : secondaryTextColor();
    auto* label = new SymbolTextLabel(t.label, t.symbol, TextStyle::body, colour, state_);
    label->setObjectName(QStringLiteral("stateLabel"));
    stateColumn_->addWidget(label);
    if (!t.detail.isEmpty() || (s.kind == Kind::verified && s.result.status > 3)) {
        auto* detail = styledLabel(t.detail, TextStyle::caption, secondaryTextColor(), state_, true);
        detail->setObjectName(QStringLiteral("stateDetail"));
        detail->setTextInteractionFlags(Qt::TextSelectableByMouse);
        stateColumn_->addWidget(detail);
    }
    if (!t.differenceLine.isEmpty()) {
        auto* where = styledLabel(t.differenceLine, TextStyle::caption, secondaryTextColor(), state_, true);
        where->setObjectName(QStringLiteral("firstDifference"));
        where->setTextInteractionFlags(Qt::TextSelectableByMouse);
        stateColumn_->addWidget(where);
        auto* hashes = new MonospacedText(t.hashesLine, TextStyle::footnote, state_);
        hashes->setObjectName(QStringLiteral("hashes"));
        QPalette pal = hashes->palette();
        pal.setColor(QPalette::Text, secondaryTextColor());
        hashes->setPalette(pal);
        stateColumn_->addWidget(hashes);
    }
    if (s.kind == Kind::present) {
        auto* row = new QHBoxLayout;
        row->setSpacing(6);
        auto* head = new QLabel(reading::shortHead(s.chainHead), state_);
        head->setObjectName(QStringLiteral("head"));
        head->setTextFormat(Qt::PlainText);
        head->setFont(monospacedFont(TextStyle::caption));
        head->setTextInteractionFlags(Qt::TextSelectableByMouse);
        auto* copy = new QPushButton(QStringLiteral("Copy"), state_);
        copy->setObjectName(QStringLiteral("copyHead"));
        copy->setAutoDefault(false);
        QFont small = copy->font();
        small.setPointSizeF(small.pointSizeF() * 0.85);
        copy->setFont(small);
        copy->setToolTip(QStringLiteral("Give this value to a third party at a known time. That, not this app, is "
                                        "what can establish WHEN the archive existed."));
        const QString whole = QString::fromStdString(s.chainHead);
        connect(copy, &QPushButton::clicked, this, [whole] { copyToPasteboard(whole); });
        row->addWidget(head);
        row->addWidget(copy);
        row->addStretch(1);
        stateColumn_->addLayout(row);
    }
}

QPushButton* ManifestPanel::copyButton() const { return state_->findChild<QPushButton*>(QStringLiteral("copyHead")); }

void ManifestPanel::generate() {
    if (owner_.isEmpty() || model_.evidence().isManifesting()) return;
    const OwnerManifestState s = model_.evidence().manifestState(owner_);
    if (auto when = replacedManifestDate(s)) {
        if (!confirm_(reading::replaceManifestQuestion(*when))) return;
    } else if (s.kind == Kind::unreadable &&
               !confirm_(
                   QStringLiteral("Replace the manifest that could not be read? The old one is kept beside it."))) {
        return;
    }
    model_.evidence().generateManifest(owner_);
}

void ManifestPanel::verify() {
    if (owner_.isEmpty()) return;
    model_.evidence().verifyManifest(owner_);
}
