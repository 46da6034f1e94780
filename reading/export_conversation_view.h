#pragma once
// ExportConversationView: the sheet in which one conversation of an owner's
// archive is exported as JSON, CSV or PDF with a seal file beside it.
//
// The user picks the format (PDF first), "Export…" asks where to save (the
// conversation's name as the suggested file name), and the export, its seal and
// the anchoring at the seal server run in the background through EvidenceModel.
// The sheet then shows the export's path, the seal file's path, the SHA-256 of
// the export and whether the seal was anchored ("Not anchored yet" with the
// reason otherwise). A failure shows its sentence in red and no result; the
// format picker and "Export…" are available again.
//
// Closing the sheet does not stop a running export: it completes, its seal is
// written and queued as usual, and the result is dropped with the sheet.
#include "app/model/conversation_export_result.h"
#include "core/archive/tresk_store.h"
#include "core/evidence/export_format.h"

#include <QDialog>

#include <functional>
#include <optional>

class AppModel;
class MonospacedText;
class QLabel;
class QPushButton;
class QVBoxLayout;
class SegmentedPicker;
class SymbolTextLabel;

class ExportConversationView : public QDialog {
    Q_OBJECT
public:
    ExportConversationView(AppModel& model, const QString& owner,
                           const kx::TreskStore::ConversationSummary& conversation, QWidget* parent = nullptr);

    // Asks where to save: given the suggested file name and the format's
    // extension, returns the chosen path, or an empty text when cancelled. The
    // default is the desktop's save dialog; tests put in their own.
    using DestinationChooser = std::function<QString(const QString& suggestedName, const QString& extension)>;
    void setDestinationChooser(DestinationChooser chooser) { chooser_ = std::move(chooser); }

    kx::ExportFormat format() const { return format_; }
    void setFormat(kx::ExportFormat format);
    bool isExporting() const { return isExporting_; }
    const std::optional<ConversationExportResult>& result() const { return result_; }
    QString problem() const { return problem_; }
    // The name the conversation resolves to.
    QString conversationName() const { return name_; }

    SegmentedPicker* formatPicker() const { return picker_; }
    QLabel* descriptionLabel() const { return description_; }
    QLabel* problemLabel() const { return problemLabel_; }
    QPushButton* exportButton() const { return export_; }
    QPushButton* cancelButton() const { return cancel_; }
    QPushButton* doneButton() const { return done_; }
    QWidget* resultBlock() const { return resultBlock_; }

    // The export button's action.
    void startExport();

private:
    void refresh();
    void showResult();

    AppModel& model_;
    const QString owner_;
    const kx::TreskStore::ConversationSummary conversation_;
    QString name_;
    kx::ExportFormat format_ = kx::ExportFormat::pdf;
    bool isExporting_ = false;
    std::optional<ConversationExportResult> result_;
    QString problem_;
    DestinationChooser chooser_;

    QWidget* choosing_;
    SegmentedPicker* picker_;
    QLabel* description_;
    QWidget* resultBlock_;
    QVBoxLayout* resultColumn_;
    QLabel* problemLabel_;
    QPushButton* cancel_;
    QPushButton* export_;
    QPushButton* done_;
};
