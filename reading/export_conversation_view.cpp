#include "reading/export_conversation_view.h"

#include "app/model/app_model.h"
#include "app/model/contacts_model.h"
#include "app/model/evidence_model.h"
#include "app/ui/counts.h"
#include "app/ui/style.h"
#include "app/ui/text_widgets.h"
#include "app/ui/widgets.h"
#include "core/contacts/layered_contact_resolver.h"
#include "core/evidence/sealer.h"
#include "reading/model/evidence_text.h"
#include "reading/model/reading_text.h"

#include <QDir>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>
#include <QVBoxLayout>

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

QString saveDialog(QWidget* parent, const QString& suggestedName, const QString& extension) {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QDir(folder).exists()) folder = QDir::homePath();
    QFileDialog dialog(parent, QStringLiteral("A seal file (.kxseal.json) is written beside the export."), folder);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(extension.toUpper() + QStringLiteral(" (*.") + extension + QStringLiteral(")"));
    dialog.setDefaultSuffix(extension);
    dialog.selectFile(suggestedName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().constFirst();
}

} // namespace

ExportConversationView::ExportConversationView(AppModel& model, const QString& owner,
                                               const kx::TreskStore::ConversationSummary& conversation, QWidget* parent)
    : QDialog(parent), model_(model), owner_(owner), conversation_(conversation) {
    setObjectName(QStringLiteral("exportConversation"));
    setWindowTitle(QStringLiteral("Export conversation"));
    chooser_ = [this](const QString& name, const QString& ext) { return saveDialog(this, name, ext); };

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(14);
    column->setSizeConstraint(QLayout::SetFixedSize);

    auto* title = styledLabel(QStringLiteral("Export conversation"), TextStyle::title3, QColor(), this);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    // The sheet is 460 points wide: the title holds the column open to that.
    title->setMinimumWidth(460 - 40);
    column->addWidget(title);

    // Who the conversation is with.
    const kx::ResolvedName resolved = reading::conversationName(*model_.contacts().resolver(), conversation_.handle,
                                                                conversation_.name);
    name_ = qs(resolved.displayName);
    auto* about = new QVBoxLayout;
    about->setSpacing(2);
    auto* name = styledLabel(name_, TextStyle::body, QColor(), this, true);
    name->setObjectName(QStringLiteral("name"));
    about->addWidget(name);
    if (reading::showsSecondText(resolved)) {
        auto* second = new QLabel(qs(resolved.secondText), this);
        second->setObjectName(QStringLiteral("secondText"));
        second->setTextFormat(Qt::PlainText);
        second->setFont(monospacedFont(TextStyle::callout));
        QPalette pal = second->palette();
        pal.setColor(QPalette::WindowText, secondaryTextColor());
        second->setPalette(pal);
        about->addWidget(second);
    }
    auto* count = styledLabel(inflected(QStringLiteral("^[%lld message](inflect: true)"), conversation_.messageCount),
                              TextStyle::caption, secondaryTextColor(), this);
    count->setObjectName(QStringLiteral("messageCount"));
    about->addWidget(count);
    column->addLayout(about);

    // Choosing the format.
    choosing_ = new QWidget(this);
    {
        auto* l = new QVBoxLayout(choosing_);
        l->setContentsMargins(0, 0, 0, 0);
        l->setSpacing(6);
        auto* row = new QHBoxLayout;
        row->setSpacing(8);
        row->addWidget(styledLabel(QStringLiteral("Format"), TextStyle::body, QColor(), choosing_));
        picker_ = new SegmentedPicker(choosing_);
        picker_->setObjectName(QStringLiteral("formatPicker"));
        picker_->setAccessibleName(QStringLiteral("Format"));
        QStringList labels, values;
        for (auto f : kx::kExportFormatAllCases) {
            labels << qs(kx::exportFormatLabel(f));
            values << qs(kx::exportFormatRawValue(f));
        }
        picker_->setItems(labels, values);
        row->addWidget(picker_);
        row->addStretch(1);
        l->addLayout(row);
        description_ = styledLabel(QString(), TextStyle::caption, secondaryTextColor(), choosing_, true);
        description_->setObjectName(QStringLiteral("description"));
        l->addWidget(description_);
    }
    column->addWidget(choosing_);
    connect(picker_, &SegmentedPicker::chosen, this, [this](const QString& value) {
        if (auto f = kx::exportFormatFromRawValue(value.toStdString())) setFormat(*f);
    });

    resultBlock_ = new QWidget(this);
    resultBlock_->setObjectName(QStringLiteral("resultBlock"));
    resultColumn_ = new QVBoxLayout(resultBlock_);
    resultColumn_->setContentsMargins(0, 0, 0, 0);
    resultColumn_->setSpacing(6);
    column->addWidget(resultBlock_);

    auto* honesty = styledLabel(qs(kx::Sealer::honestyCopy), TextStyle::caption, secondaryTextColor(), this, true);
    honesty->setObjectName(QStringLiteral("honesty"));
    column->addWidget(honesty);

    problemLabel_ = styledLabel(QString(), TextStyle::caption, toneColor(Tone::red), this, true);
    problemLabel_->setObjectName(QStringLiteral("problem"));
    problemLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(problemLabel_);

    const SheetButtons sheet = sheetButtons(this, QStringLiteral("Export…"), QStringLiteral("export"));
    QHBoxLayout* buttons = sheet.row;
    cancel_ = sheet.cancel;
    export_ = sheet.confirm;
    done_ = new QPushButton(QStringLiteral("Done"), this);
    done_->setObjectName(QStringLiteral("done"));
    makeProminent(done_);
    buttons->addWidget(done_);
    column->addLayout(buttons);

    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    connect(done_, &QPushButton::clicked, this, &QDialog::accept);
    connect(export_, &QPushButton::clicked, this, &ExportConversationView::startExport);
    setFormat(kx::ExportFormat::pdf);
    refresh();
}

void ExportConversationView::setFormat(kx::ExportFormat format) {
    format_ = format;
    picker_->setCurrentValue(qs(kx::exportFormatRawValue(format)));
    description_->setText(reading::exportFormatDescription(format));
}

void ExportConversationView::refresh() {
    const bool done = result_.has_value();
    choosing_->setVisible(!done);
    resultBlock_->setVisible(done);
    problemLabel_->setText(problem_);
    problemLabel_->setVisible(!problem_.isEmpty());
    cancel_->setVisible(!done);
    export_->setVisible(!done);
    done_->setVisible(done);
    // Return presses the button on show: "Export…" while choosing (not while it
    // is disabled), "Done" once there is a result.
    (done ? done_ : export_)->setDefault(true);
    export_->setText(isExporting_ ? QStringLiteral("Exporting…") : QStringLiteral("Export…"));
    export_->setEnabled(!isExporting_);
}

void ExportConversationView::startExport() {
    if (isExporting_ || result_) return;
    const QString extension = qs(kx::exportFormatExtension(format_));
    const QString path = chooser_(reading::suggestedExportFileName(name_, format_), extension);
    if (path.isEmpty()) return;
    isExporting_ = true;
    problem_.clear();
    refresh();
    QPointer<ExportConversationView> self(this);
    model_.evidence().exportConversation(owner_, conversation_, format_, path,
                                         [self](const EvidenceModel::ExportOutcome& outcome) {
                                             if (!self) return; // the sheet was closed: the export stands
                                             if (outcome.result) self->result_ = outcome.result;
                                             else self->problem_ = outcome.error;
                                             self->isExporting_ = false;
                                             if (self->result_) self->showResult();
                                             self->refresh();
                                         });
}

void ExportConversationView::showResult() {
    const ConversationExportResult& r = *result_;
    auto* headline = new SymbolTextLabel(QStringLiteral("Exported and sealed"), QStringLiteral("checkmark.seal.fill"),
                                         TextStyle::body, toneColor(Tone::green), resultBlock_);
    headline->setObjectName(QStringLiteral("exported"));
    resultColumn_->addWidget(headline);
    auto* path = new MonospacedText(qs(r.exportPath), TextStyle::caption, resultBlock_);
    path->setObjectName(QStringLiteral("exportPath"));
    resultColumn_->addWidget(path);
    auto* seal = new MonospacedText(QStringLiteral("Seal: ") + qs(kx::SealFile::path(r.exportPath)), TextStyle::caption,
                                    resultBlock_);
    seal->setObjectName(QStringLiteral("sealPath"));
    resultColumn_->addWidget(seal);
    auto* digest = new MonospacedText(QStringLiteral("sha256 ") + qs(r.seal.sha256), TextStyle::caption, resultBlock_);
    digest->setObjectName(QStringLiteral("digest"));
    resultColumn_->addWidget(digest);
    if (r.seal.anchor) {
        auto* anchored = new SymbolTextLabel(QStringLiteral("Anchored ") + qs(r.seal.anchor->summary),
                                             QStringLiteral("link"), TextStyle::caption, QColor(), resultBlock_);
        anchored->setObjectName(QStringLiteral("anchored"));
        resultColumn_->addWidget(anchored);
    } else {
        auto* waiting = new SymbolTextLabel(QStringLiteral("Not anchored yet"),
                                            QStringLiteral("clock.badge.exclamationmark"), TextStyle::caption,
                                            toneColor(Tone::orange), resultBlock_);
        waiting->setObjectName(QStringLiteral("notAnchored"));
        resultColumn_->addWidget(waiting);
        auto* why = styledLabel(reading::deferredAnchorText(r.anchorProblem), TextStyle::caption, secondaryTextColor(),
                                resultBlock_, true);
        why->setObjectName(QStringLiteral("anchorProblem"));
        resultColumn_->addWidget(why);
    }
}
