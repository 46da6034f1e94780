#include "household/join_archive_view.h"

#include "app/model/app_model.h"
#include "app/model/household_model.h"
#include "app/model/owners_model.h"
#include "app/platform/workspace.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/symbol_title.h"
#include "app/ui/widgets.h"
#include "household/join_model.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include <utility>

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

QWidget* symbolText(const QString& text, const QString& symbol, TextStyle style, const QColor& color, QWidget* parent) {
    return symbolTitle(text, symbol, style, color, color, parent, true);
}

QPushButton* stageButton(const QString& title, const QString& name, QWidget* parent) {
    auto* b = new QPushButton(title, parent);
    b->setObjectName(name);
    b->setAutoDefault(false);
    return b;
}

// The editor's frame: a rounded outline in the tertiary colour.
class OutlinedEditor : public QPlainTextEdit {
public:
    using QPlainTextEdit::QPlainTextEdit;

protected:
    void paintEvent(QPaintEvent* event) override {
        QPlainTextEdit::paintEvent(event);
        QPainter p(viewport());
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(tertiaryTextColor(), 1));
        p.drawRoundedRect(QRectF(viewport()->rect()).adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
    }
};

} // namespace

JoinArchiveView::JoinArchiveView(JoinModel& join, AppModel& model, DestinationList& destinations, bool installSchedule,
                                 QWidget* parent)
    : QDialog(parent), join_(join), model_(model), destinationList_(destinations), installSchedule_(installSchedule) {
    setObjectName(QStringLiteral("joinArchiveSheet"));
    setWindowTitle(QStringLiteral("Join an existing archive"));
    setFixedSize(560, 520);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(16);
    column->addWidget(boldLabel(QStringLiteral("Join an existing archive"), TextStyle::title2, QColor(), this));
    slot_ = new QVBoxLayout;
    slot_->setContentsMargins(0, 0, 0, 0);
    column->addLayout(slot_, 1);
    connect(&join_, &JoinModel::stageChanged, this, &JoinArchiveView::rebuild);
    connect(&join_, &JoinModel::stageChanged, this, [this] {
        if (join_.stage().kind == JoinStage::Kind::working) return;
        // The join this sheet started has ended.
        if (std::exchange(scheduleAfterJoin_, false) && join_.stage().kind == JoinStage::Kind::joined)
            JoinModel::installScheduleAfterJoin(model_);
    });
    connect(&join_, &JoinModel::chosenFolderChanged, this, &JoinArchiveView::rebuild);
    // However the sheet closes, the pasted code goes with it.
    connect(this, &QDialog::finished, &join_, &JoinModel::forgetCodes);
    // Return belongs to the code editor (a pasted code may hold line breaks);
    // Ctrl+Return presses the stage's default button from anywhere.
    for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto* shortcut = new QShortcut(QKeySequence(Qt::CTRL | key), this);
        connect(shortcut, &QShortcut::activated, this, [this] {
            for (auto* b : page_->findChildren<QPushButton*>()) {
                if (b->isDefault() && b->isEnabled() && b->isVisible()) {
                    b->click();
                    return;
                }
            }
        });
    }
    rebuild();
}

QPushButton* JoinArchiveView::button(const QString& objectName) const { return findChild<QPushButton*>(objectName); }

void JoinArchiveView::rebuild() {
    // The stage's widgets live in one page, replaced as a whole: the old page
    // leaves the sheet at once (its button may be the one being clicked, so it
    // is deleted later).
    if (page_) {
        page_->hide();
        page_->setParent(nullptr);
        page_->deleteLater();
    }
    page_ = new QWidget(this);
    page_->setObjectName(QStringLiteral("stagePage"));
    auto* pageColumn = new QVBoxLayout(page_);
    pageColumn->setContentsMargins(0, 0, 0, 0);
    pageColumn->setSpacing(16);
    content_ = new QVBoxLayout;
    content_->setSpacing(12);
    pageColumn->addLayout(content_);
    pageColumn->addStretch(1);
    slot_->addWidget(page_);
    editor_ = nullptr;
    schedule_ = nullptr;
    check_ = nullptr;
    joinButton_ = nullptr;
    const JoinStage& stage = join_.stage();
    auto* row = new QHBoxLayout;
    row->setSpacing(8);
    row->addStretch(1);
    switch (stage.kind) {
    case JoinStage::Kind::entry:
    case JoinStage::Kind::failed: {
        content_->addWidget(buildEntry());
        if (stage.kind == JoinStage::Kind::failed) {
            auto* failure = symbolText(stage.text, QStringLiteral("exclamationmark.triangle.fill"), TextStyle::callout,
                                       toneColor(Tone::orange), page_);
            failure->setObjectName(QStringLiteral("joinFailure"));
            content_->addWidget(failure);
        }
        auto* cancel = stageButton(QStringLiteral("Cancel"), QStringLiteral("cancel"), page_);
        connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
        check_ = stageButton(QStringLiteral("Check this code"), QStringLiteral("checkCode"), page_);
        check_->setDefault(true);
        makeProminent(check_);
        connect(check_, &QPushButton::clicked, this, &JoinArchiveView::checkThisCode);
        row->addWidget(cancel);
        row->addWidget(check_);
        refreshCheckEnabled();
        break;
    }
    case JoinStage::Kind::confirming: {
        content_->addWidget(buildConfirming());
        auto* back = stageButton(QStringLiteral("Back"), QStringLiteral("back"), page_);
        connect(back, &QPushButton::clicked, &join_, &JoinModel::reset);
        joinButton_ = stageButton(QStringLiteral("Join"), QStringLiteral("join"), page_);
        joinButton_->setDefault(true);
        makeProminent(joinButton_);
        joinButton_->setEnabled(!(stage.plan->needsLocalFolder && join_.chosenFolder().isEmpty()));
        connect(joinButton_, &QPushButton::clicked, this, &JoinArchiveView::performJoin);
        row->addWidget(back);
        row->addWidget(joinButton_);
        break;
    }
    case JoinStage::Kind::working: {
        auto* working = new QWidget(page_);
        working->setObjectName(QStringLiteral("joinWorking"));
        auto* line = flushRow(working, 10);
        line->addWidget(new BusySpinner(working), 0, Qt::AlignVCenter);
        line->addWidget(textLabel(stage.text, TextStyle::body, QColor(), working, true), 1);
        content_->addWidget(working);
        auto* cancel = stageButton(QStringLiteral("Cancel"), QStringLiteral("cancel"), page_);
        cancel->setEnabled(false);
        row->addWidget(cancel);
        break;
    }
    case JoinStage::Kind::joined: {
        content_->addWidget(buildJoined());
        auto* doneButton = stageButton(QStringLiteral("Done"), QStringLiteral("done"), page_);
        doneButton->setDefault(true);
        makeProminent(doneButton);
        connect(doneButton, &QPushButton::clicked, this, &JoinArchiveView::finishJoin);
        row->addWidget(doneButton);
        break;
    }
    }
    pageColumn->addLayout(row);
    page_->show();
    if (editor_) {
        // After a failed check the user corrects the code where it is.
        editor_->setFocus();
        editor_->moveCursor(QTextCursor::End);
    }
}

QWidget* JoinArchiveView::buildEntry() {
    QVBoxLayout* col = nullptr;
    auto* w = columnWidget(page_, QStringLiteral("joinEntry"), 12, &col);
    col->addWidget(textLabel(QStringLiteral("Paste the code from the Mac that already has the archive. It is one long "
                                            "line starting with KTRESK1-."),
                             TextStyle::callout, QColor(), w, true));
    editor_ = new OutlinedEditor(w);
    editor_->setObjectName(QStringLiteral("codeEditor"));
    editor_->setFrameShape(QFrame::NoFrame);
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPointSizeF(textFont(TextStyle::caption).pointSizeF());
    editor_->setFont(mono);
    editor_->setFixedHeight(110);
    editor_->setTabChangesFocus(true);
    editor_->setWordWrapMode(QTextOption::WrapAnywhere); // a code is one long word
    editor_->setPlainText(join_.pastedCode());
    connect(editor_, &QPlainTextEdit::textChanged, this, [this] {
        if (!editor_) return;
        join_.setPastedCode(editor_->toPlainText());
        refreshCheckEnabled();
    });
    col->addWidget(editor_);
    col->addWidget(symbolText(QStringLiteral("The code contains the key to the shared archive. Treat it like a "
                                             "password: send it the way you would send one, and do not post it "
                                             "anywhere it will stay readable."),
                              QStringLiteral("exclamationmark.shield"), TextStyle::caption, secondaryTextColor(), w));
    col->addWidget(textLabel(QStringLiteral("Nothing on this Mac changes until you have seen what will happen and "
                                            "pressed Join."),
                             TextStyle::caption, secondaryTextColor(), w, true));
    return w;
}

QWidget* JoinArchiveView::buildConfirming() {
    const kx::JoinPlan& plan = *join_.stage().plan;
    QVBoxLayout* col = nullptr;
    auto* w = columnWidget(page_, QStringLiteral("joinConfirming"), 12, &col);
    col->addWidget(textLabel(QStringLiteral("Here is what will happen"), TextStyle::headline, QColor(), w));
    auto* steps = new QVBoxLayout;
    steps->setSpacing(7);
    int n = 0;
    for (const auto& step : plan.whatWillHappen()) {
        auto* line = new QHBoxLayout;
        line->setSpacing(8);
        auto* number = textLabel(QString::number(++n) + QStringLiteral("."), TextStyle::caption, secondaryTextColor(),
                                 w);
        number->setFixedWidth(18);
        line->addWidget(number, 0, Qt::AlignTop);
        auto* text = textLabel(qs(step), TextStyle::callout, QColor(), w, true);
        text->setObjectName(QStringLiteral("planStep"));
        line->addWidget(text, 1);
        steps->addLayout(line);
    }
    col->addLayout(steps);
    if (plan.startsNewArchive) {
        auto* warning = symbolText(
            QStringLiteral("This starts a NEW archive called \"") + qs(plan.owner) +
                QStringLiteral("\" rather than joining one that already exists. If this Mac's messages belong in an "
                               "archive that is already there, cancel and ask for a code from that person instead: "
                               "two archives for one person split the history, and the split only shows up later "
                               "when a search comes back half empty."),
            QStringLiteral("exclamationmark.triangle.fill"), TextStyle::caption, toneColor(Tone::orange), w);
        warning->setObjectName(QStringLiteral("newArchiveWarning"));
        col->addWidget(warning);
    }
    if (plan.needsLocalFolder) {
        auto* folderRow = new QWidget(w);
        folderRow->setObjectName(QStringLiteral("folderRow"));
        auto* line = flushRow(folderRow, 8);
        auto* path = new ElidedLabel(join_.chosenFolder().isEmpty() ? QStringLiteral("No folder chosen")
                                                                    : join_.chosenFolder(),
                                     Qt::ElideMiddle, folderRow);
        path->setObjectName(QStringLiteral("chosenFolder"));
        path->setFont(textFont(TextStyle::caption));
        line->addWidget(path, 1);
        auto* choose = stageButton(QStringLiteral("Choose folder…"), QStringLiteral("chooseFolder"), folderRow);
        choose->setFont(textFont(TextStyle::caption));
        connect(choose, &QPushButton::clicked, this, &JoinArchiveView::chooseFolder);
        line->addWidget(choose);
        col->addWidget(folderRow);
    }
    schedule_ = new QCheckBox(QStringLiteral("Also archive automatically every day"), w);
    schedule_->setObjectName(QStringLiteral("installSchedule"));
    schedule_->setFont(textFont(TextStyle::callout));
    schedule_->setChecked(installSchedule_);
    connect(schedule_, &QCheckBox::toggled, this, [this](bool on) { installSchedule_ = on; });
    col->addWidget(schedule_);
    return w;
}

QWidget* JoinArchiveView::buildJoined() {
    const kx::JoinPlan& plan = *join_.stage().plan;
    QVBoxLayout* col = nullptr;
    auto* w = columnWidget(page_, QStringLiteral("joinJoined"), 12, &col);
    col->addWidget(symbolText(QStringLiteral("This Mac has joined the archive"),
                              QStringLiteral("checkmark.circle.fill"), TextStyle::headline, toneColor(Tone::green), w));
    auto* where = textLabel(QStringLiteral("It will archive into \"") + qs(plan.owner) +
                                QStringLiteral("\" and back up to the shared ") + qs(plan.kindLabel()) +
                                QStringLiteral(" storage."),
                            TextStyle::callout, QColor(), w, true);
    where->setObjectName(QStringLiteral("joinedWhere"));
    col->addWidget(where);
    col->addWidget(symbolText(QStringLiteral("Next: connect this Mac's messages on the Sources screen, then check the "
                                             "Health screen says the scheduled job can read them. A Mac that is "
                                             "configured but cannot read reports success and saves nothing."),
                              QStringLiteral("arrow.right.circle"), TextStyle::caption, secondaryTextColor(), w));
    return w;
}

void JoinArchiveView::refreshCheckEnabled() {
    if (!check_) return;
    // Spaces and tabs count as empty here; line breaks do not.
    const QString code = join_.pastedCode();
    bool any = false;
    for (QChar c : code) any = any || (c != QLatin1Char(' ') && c != QLatin1Char('\t'));
    check_->setEnabled(any);
}

void JoinArchiveView::checkThisCode() { join_.checkCode(model_.owners().existingOwners()); }

void JoinArchiveView::chooseFolder() {
    const QString chosen = workspace().chooseFolder(this, QStringLiteral("Choose the shared folder on this Mac."));
    if (!chosen.isEmpty()) join_.setChosenFolder(chosen);
}

void JoinArchiveView::performJoin() {
    if (join_.stage().kind != JoinStage::Kind::confirming) return;
    const kx::JoinPlan plan = *join_.stage().plan;
    scheduleAfterJoin_ = installSchedule_;
    join_.join(plan, model_, destinationList_);
}

void JoinArchiveView::reject() {
    if (join_.stage().kind != JoinStage::Kind::working) QDialog::reject();
}

void JoinArchiveView::finishJoin() {
    model_.householdModel().refreshHousehold();
    accept();
}
