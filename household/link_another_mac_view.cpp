#include "household/link_another_mac_view.h"

#include "app/model/app_model.h"
#include "app/model/destination_list.h"
#include "app/model/owners_model.h"
#include "app/ui/clipboard.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/symbol_title.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "household/join_model.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QWidget* symbolText(const QString& text, const QString& symbol, TextStyle style, const QColor& color, QWidget* parent) {
    return symbolTitle(text, symbol, style, color, color, parent, true);
}

QFont smallest(TextStyle style) {
    QFont f = textFont(style);
    f.setPointSizeF(f.pointSizeF() - 1);
    return f;
}

} // namespace

QString LinkAnotherMacView::entryText(const DestinationConfig& d) {
    QString text = QString::fromUtf8(kindLabel(d.kind));
    if (d.bucket) text += QStringLiteral(" · ") + QString::fromStdString(*d.bucket);
    return text;
}

LinkAnotherMacView::LinkAnotherMacView(JoinModel& join, AppModel& model, DestinationList& destinations, QWidget* parent)
    : QDialog(parent), join_(join), model_(model), destinations_(destinations.destinations()) {
    setObjectName(QStringLiteral("linkAnotherMacSheet"));
    setWindowTitle(QStringLiteral("Link another Mac"));
    setFixedSize(560, 480);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(16);
    column->addWidget(boldLabel(QStringLiteral("Link another Mac"), TextStyle::title2, QColor(), this));
    column->addWidget(textLabel(QStringLiteral("Creates one code to paste into \"Join an archive\" on the other Mac. "
                                               "That is the whole setup: no scripts, no keys to generate by hand."),
                                TextStyle::callout, QColor(), this, true));
    if (!destinations_.empty()) {
        auto* form = new QFormLayout;
        form->setContentsMargins(0, 0, 0, 0);
        picker_ = new QComboBox(this);
        picker_->setObjectName(QStringLiteral("sharedStorage"));
        for (const auto& d : destinations_) picker_->addItem(entryText(d), QString::fromStdString(d.id));
        picker_->setCurrentIndex(0);
        form->addRow(QStringLiteral("Shared storage"), picker_);
        column->addLayout(form);
    } else {
        auto* none = symbolText(QStringLiteral("There is no shared storage set up yet, so a code would have nowhere to "
                                               "point. Add a destination on the Backup screen first."),
                                QStringLiteral("exclamationmark.triangle"), TextStyle::callout, toneColor(Tone::orange),
                                this);
        none->setObjectName(QStringLiteral("noStorage"));
        column->addWidget(none);
    }
    column->addWidget(symbolText(QStringLiteral("Anyone holding this code can read this archive. Send it the way you "
                                                "would send a password, and never post it anywhere it stays readable."),
                                 QStringLiteral("exclamationmark.shield.fill"), TextStyle::caption,
                                 toneColor(Tone::orange), this));

    auto* box = new TintedBox(quaternaryFill(0.45), 8, this);
    box->setObjectName(QStringLiteral("codeBox"));
    auto* boxColumn = new QVBoxLayout(box);
    boxColumn->setContentsMargins(12, 10, 12, 10);
    boxColumn->setSpacing(8);
    // Selectable, wrapped anywhere (a code is one long word), at most 4 lines
    // high; a longer code scrolls rather than being cut, so a selection is
    // always the whole code.
    code_ = new QPlainTextEdit(box);
    code_->setObjectName(QStringLiteral("code"));
    code_->setReadOnly(true);
    code_->setFrameShape(QFrame::NoFrame);
    code_->viewport()->setAutoFillBackground(false);
    code_->setWordWrapMode(QTextOption::WrapAnywhere);
    code_->setContextMenuPolicy(Qt::NoContextMenu);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(smallest(TextStyle::caption).pointSizeF());
    code_->setFont(mono);
    code_->setFixedHeight(QFontMetrics(mono).lineSpacing() * 4 + 10);
    boxColumn->addWidget(code_);
    auto* copyRow = new QHBoxLayout;
    copyRow->setSpacing(8);
    copy_ = new QPushButton(box);
    copy_->setObjectName(QStringLiteral("copyCode"));
    copy_->setAutoDefault(false);
    copyRow->addWidget(copy_);
    auto* hint = textLabel(QStringLiteral("Paste it whole. Chat apps sometimes cut long codes in half."),
                           TextStyle::caption, secondaryTextColor(), box, true);
    hint->setFont(smallest(TextStyle::caption));
    copyRow->addWidget(hint, 1);
    boxColumn->addLayout(copyRow);
    codeBox_ = box;
    column->addWidget(box);

    error_ = symbolTitle(QString(), QStringLiteral("exclamationmark.triangle.fill"), TextStyle::callout,
                         toneColor(Tone::orange), toneColor(Tone::orange), this, true);
    error_->setObjectName(QStringLiteral("generateError"));
    errorText_ = titleOf(error_);
    column->addWidget(error_);
    column->addStretch(1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* done = new QPushButton(QStringLiteral("Done"), this);
    done->setObjectName(QStringLiteral("done"));
    done->setAutoDefault(false);
    create_ = new QPushButton(this);
    create_->setObjectName(QStringLiteral("createCode"));
    create_->setDefault(true);
    create_->setEnabled(!destinations_.empty());
    makeProminent(create_);
    buttons->addWidget(done);
    buttons->addWidget(create_);
    column->addLayout(buttons);

    connect(done, &QPushButton::clicked, this, &QDialog::accept);
    connect(create_, &QPushButton::clicked, this, &LinkAnotherMacView::create);
    connect(copy_, &QPushButton::clicked, this, &LinkAnotherMacView::copy);
    connect(&join_, &JoinModel::generatedCodeChanged, this, &LinkAnotherMacView::refresh);
    connect(&join_, &JoinModel::generateErrorChanged, this, &LinkAnotherMacView::refresh);
    connect(&join_, &JoinModel::generatingChanged, this, &LinkAnotherMacView::refresh);
    // However the sheet closes, the code and any failure go with it.
    connect(this, &QDialog::finished, &join_, &JoinModel::clearGenerated);
    refresh();
}

void LinkAnotherMacView::create() {
    if (destinations_.empty()) return;
    copied_ = false;
    const int index = picker_ ? std::max(0, picker_->currentIndex()) : 0;
    join_.generateCode(destinations_[static_cast<size_t>(index)],
                       QString::fromStdString(model_.owners().resolvedOwner().owner));
    refresh();
}

void LinkAnotherMacView::copy() {
    const QString code = join_.generatedCode();
    if (code.isNull()) return;
    copySecretToPasteboard(code);
    copied_ = true;
    refresh();
}

void LinkAnotherMacView::refresh() {
    const QString code = join_.generatedCode();
    codeBox_->setVisible(!code.isNull());
    code_->setPlainText(code);
    copy_->setText(copied_ ? QStringLiteral("Copied") : QStringLiteral("Copy code"));
    copy_->setIcon(symbolIcon(copied_ ? QStringLiteral("checkmark") : QStringLiteral("doc.on.doc")));
    const QString failure = join_.generateError();
    error_->setVisible(!failure.isNull());
    errorText_->setText(failure);
    // While the keyring is asked, one request at a time.
    const bool generating = join_.isGenerating();
    create_->setEnabled(!destinations_.empty() && !generating);
    create_->setText(generating      ? QStringLiteral("Creating code\u2026")
                     : code.isNull() ? QStringLiteral("Create code")
                                     : QStringLiteral("Create a new code"));
}
