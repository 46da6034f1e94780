#include "household/member_card.h"

#include "app/ui/screen_widgets.h"
#include "app/ui/widgets.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include <chrono>

namespace {

constexpr int kAfterDays = 7;

QString qs(const std::string& s) { return QString::fromStdString(s); }

QLabel* roleBadge(kx::Household::Role role, QWidget* parent) {
    auto* badge = new QLabel(role == kx::Household::Role::host ? QStringLiteral("Host") : QStringLiteral("Member"),
                             parent);
    badge->setObjectName(QStringLiteral("roleBadge"));
    QFont f = textFont(TextStyle::caption);
    f.setPointSizeF(f.pointSizeF() - 1);
    f.setWeight(QFont::DemiBold);
    badge->setFont(f);
    const QColor fill = quaternaryFill(1.0);
    badge->setStyleSheet(QStringLiteral("QLabel#roleBadge { background: rgba(%1,%2,%3,%4); border-radius: 8px; "
                                        "padding: 2px 6px; }")
                             .arg(fill.red())
                             .arg(fill.green())
                             .arg(fill.blue())
                             .arg(fill.alphaF()));
    return badge;
}

QLabel* smallCaption(const QString& text, const QColor& color, QWidget* parent) {
    auto* l = textLabel(text, TextStyle::caption, color, parent, true);
    QFont f = l->font();
    f.setPointSizeF(f.pointSizeF() - 1);
    l->setFont(f);
    return l;
}

} // namespace

MemberCard::MemberCard(const kx::Household::Member& member, const QString& thisMachineID, kx::Date now,
                       std::function<void(const kx::ContributingMac&)> onRename, std::function<void()> onUnlink,
                       const QString& disabledReason, QWidget* parent)
    : QFrame(parent), member_(member), thisMachineID_(thisMachineID), onRename_(std::move(onRename)),
      onUnlink_(std::move(onUnlink)), disabledReason_(disabledReason) {
    setObjectName(QStringLiteral("memberCard"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* box = new TintedBox(quaternaryFill(0.45), 8, this);
    outer->addWidget(box);
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(14, 12, 14, 12);
    column->setSpacing(10);

    const bool silent = member_.isSilent(now, kAfterDays);
    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    auto* name = textLabel(qs(member_.displayName), TextStyle::headline, QColor(), box);
    name->setObjectName(QStringLiteral("memberName"));
    header->addWidget(name, 0, Qt::AlignBaseline);
    header->addWidget(roleBadge(member_.role, box), 0, Qt::AlignVCenter);
    header->addStretch(1);
    if (silent) {
        auto* warning = iconLabel(QStringLiteral("Not archiving"), QStringLiteral("exclamationmark.triangle.fill"), box,
                                  toneColor(Tone::orange));
        warning->setObjectName(QStringLiteral("notArchiving"));
        for (auto* l : warning->findChildren<QLabel*>()) {
            if (!l->text().isEmpty()) {
                QFont f = textFont(TextStyle::caption);
                f.setWeight(QFont::Medium);
                l->setFont(f);
                QPalette p = l->palette();
                p.setColor(QPalette::WindowText, toneColor(Tone::orange));
                l->setPalette(p);
            }
        }
        header->addWidget(warning);
    }
    column->addLayout(header);

    auto* status = textLabel(qs(member_.statusText(now, kAfterDays)), TextStyle::callout,
                             silent ? toneColor(Tone::orange) : secondaryTextColor(), box, true);
    status->setObjectName(QStringLiteral("memberStatus"));
    column->addWidget(status);

    if (member_.macs.empty()) {
        auto* none = textLabel(QStringLiteral("No Mac has reported for this archive yet."), TextStyle::caption,
                               secondaryTextColor(), box, true);
        none->setObjectName(QStringLiteral("noMacs"));
        column->addWidget(none);
    }
    for (const auto& mac : member_.macs) column->addWidget(macRow(mac, now));

    auto* bottom = new QHBoxLayout;
    remove_ = new QPushButton(QStringLiteral("Remove from this list"), box);
    remove_->setObjectName(QStringLiteral("removeMember"));
    remove_->setFont(textFont(TextStyle::caption));
    remove_->setAutoDefault(false);
    remove_->setEnabled(disabledReason_.isEmpty());
    remove_->setToolTip(disabledReason_.isEmpty()
                            ? QStringLiteral("Removes the row only. Their archive and everything stored in it is "
                                             "untouched.")
                            : disabledReason_);
    connect(remove_, &QPushButton::clicked, this, &MemberCard::confirmUnlink);
    bottom->addWidget(remove_);
    bottom->addStretch(1);
    column->addLayout(bottom);
}

QWidget* MemberCard::macRow(const kx::ContributingMac& mac, kx::Date now) {
    const bool thisMac = qs(mac.machineID) == thisMachineID_;
    auto* row = new QWidget(this);
    row->setObjectName(QStringLiteral("macRow"));
    auto* line = flushRow(row, 8);
    auto* icon = symbolView(thisMac ? QStringLiteral("desktopcomputer") : QStringLiteral("laptopcomputer"), 18,
                            secondaryTextColor(), row);
    icon->setObjectName(thisMac ? QStringLiteral("thisMacIcon") : QStringLiteral("otherMacIcon"));
    line->addWidget(icon, 0, Qt::AlignTop);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* nameRow = new QHBoxLayout;
    nameRow->setSpacing(6);
    auto* name = textLabel(qs(mac.displayName), TextStyle::callout, QColor(), row);
    name->setObjectName(QStringLiteral("macName"));
    nameRow->addWidget(name);
    if (thisMac) {
        auto* marker = smallCaption(QStringLiteral("this Mac"), secondaryTextColor(), row);
        marker->setObjectName(QStringLiteral("thisMacMarker"));
        marker->setWordWrap(false);
        nameRow->addWidget(marker, 0, Qt::AlignBaseline);
    }
    nameRow->addStretch(1);
    texts->addLayout(nameRow);
    const std::string statusText = mac.statusText(now, kAfterDays);
    const bool stale = !mac.lastRunAt || now - *mac.lastRunAt > std::chrono::seconds(kAfterDays * 86400);
    auto* status = textLabel(qs(statusText), TextStyle::caption, stale ? toneColor(Tone::orange) : secondaryTextColor(),
                             row, true);
    status->setObjectName(QStringLiteral("macStatus"));
    texts->addWidget(status);
    if (mac.lastRunNewMessages >= 1) {
        const QString count = QString::number(mac.lastRunNewMessages) +
                              (mac.lastRunNewMessages == 1 ? QStringLiteral(" new message")
                                                           : QStringLiteral(" new messages")) +
                              QStringLiteral(" on its last run");
        auto* c = smallCaption(count, secondaryTextColor(), row);
        c->setObjectName(QStringLiteral("macCount"));
        texts->addWidget(c);
    }
    line->addLayout(texts, 1);

    auto* rename = new QPushButton(QStringLiteral("Rename"), row);
    rename->setObjectName(QStringLiteral("renameMac"));
    rename->setFont(textFont(TextStyle::caption));
    rename->setAutoDefault(false);
    rename->setEnabled(disabledReason_.isEmpty());
    if (!disabledReason_.isEmpty()) rename->setToolTip(disabledReason_);
    connect(rename, &QPushButton::clicked, this, [this, mac] {
        if (onRename_) onRename_(mac);
    });
    line->addWidget(rename, 0, Qt::AlignTop);

    row->setAccessibleName(qs(mac.displayName) + QStringLiteral(": ") + qs(statusText));
    return row;
}

QString MemberCard::confirmationTitle(const kx::Household::Member& member) {
    return QStringLiteral("Remove ") + qs(member.displayName) + QStringLiteral(" from this list?");
}

QString MemberCard::confirmationMessage() {
    return QStringLiteral("This removes the dashboard row only. Their archive, their messages and everything already "
                          "stored stay exactly where they are. They will reappear here the next time their Mac "
                          "reports.");
}

void MemberCard::confirmUnlink() {
    if (!disabledReason_.isEmpty()) return;
    auto* box = new QMessageBox(QMessageBox::Warning, confirmationTitle(member_), confirmationTitle(member_),
                                QMessageBox::NoButton, window());
    box->setObjectName(QStringLiteral("removeConfirmation"));
    box->setTextFormat(Qt::PlainText);
    box->setInformativeText(confirmationMessage());
    auto* remove = box->addButton(QStringLiteral("Remove"), QMessageBox::DestructiveRole);
    remove->setObjectName(QStringLiteral("confirmRemove"));
    auto* cancel = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancelRemove"));
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::buttonClicked, this, [this, remove](QAbstractButton* clicked) {
        if (clicked == remove && onUnlink_) onUnlink_();
    });
    box->open();
}

RenameMacView::RenameMacView(const kx::ContributingMac& mac, std::function<void(const QString&)> onSave,
                             std::function<void()> onCancel, QWidget* parent)
    : QDialog(parent), onSave_(std::move(onSave)), onCancel_(std::move(onCancel)) {
    setObjectName(QStringLiteral("renameMacSheet"));
    setWindowTitle(QStringLiteral("Rename this Mac"));
    setFixedWidth(420);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(14);
    column->addWidget(boldLabel(QStringLiteral("Rename this Mac"), TextStyle::title3, QColor(), this));
    column->addWidget(textLabel(QStringLiteral("The name is only for this list. It does not change anything about the "
                                               "archive, and renaming does not make this Mac look like a different "
                                               "one."),
                                TextStyle::caption, secondaryTextColor(), this, true));
    name_ = new QLineEdit(QString::fromStdString(mac.displayName), this);
    name_->setObjectName(QStringLiteral("macNameField"));
    name_->setPlaceholderText(QStringLiteral("Name"));
    column->addWidget(name_);
    const SheetButtons buttons = sheetButtons(this, QStringLiteral("Save"), QStringLiteral("save"));
    cancel_ = buttons.cancel;
    save_ = buttons.confirm;
    save_->setDefault(true);
    column->addLayout(buttons.row);

    connect(name_, &QLineEdit::textChanged, this, [this] { save_->setEnabled(canSave()); });
    connect(cancel_, &QPushButton::clicked, this, [this] {
        if (onCancel_) onCancel_();
        reject();
    });
    connect(save_, &QPushButton::clicked, this, [this] {
        if (!canSave()) return;
        if (onSave_) onSave_(name_->text());
        accept();
    });
    connect(this, &QDialog::rejected, this, [this] {
        if (onCancel_) onCancel_();
        onCancel_ = nullptr;
    });
    save_->setEnabled(canSave());
}

bool RenameMacView::canSave() const {
    // Spaces and tabs count as blank here; anything else is for the model to judge.
    const QString t = name_->text();
    for (QChar c : t) {
        if (c != QLatin1Char(' ') && c != QLatin1Char('\t')) return true;
    }
    return false;
}
