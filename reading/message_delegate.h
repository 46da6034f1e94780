#pragma once
// MessageDelegate: draws one row of a thread: the day heading when one is due,
// then the message bubble with its attachments above it and, while open, its
// detail line (time and corroboration).
//
// A row is laid out by rowGeometry, which painting, sizing, clicks, tooltips
// and the context menu all share, so what is hit is what is drawn. Heights are
// kept in a small record per row, beside the rows rather than in them, with the
// column width and state they were made for, so laying out a hundred thousand
// loaded rows reads little memory and measures none of them. A row that was
// never measured, whose data changed (detail line, day heading) or whose
// pictures finished decoding is measured when the list asks for its size. A row
// measured for another column width is not: the list gets its old height as an
// estimate, and the thread view measures the rows on and around the screen
// (refresh) before they are drawn, so a width change costs the rows shown, not
// all rows loaded. Text layouts are kept by message and width for the rows
// drawn last, so scrolling does not shape a text again.
//
// Long bodies are drawn up to kMaxDrawnCharacters with a note saying how much
// more there is; double-clicking a bubble opens the whole text in a read-only
// field where it can be selected and copied. Everything a row draws is clipped
// to the row, so no text (stacked combining marks, direction overrides) can
// draw over its neighbours.
#include <QStyledItemDelegate>

#include <QCache>
#include <QRect>
#include <QTextLayout>
#include <memory>
#include <string>
#include <vector>

class ThreadModel;
struct ThreadRow;

class MessageDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    static constexpr int kMaxColumnWidth = 480;
    static constexpr int kMinOppositeSpace = 60;
    static constexpr int kImageBox = 320;
    static constexpr int kMaxDrawnCharacters = 4000;

    struct AttachmentPlace {
        QRect rect;
        bool inlineImage = false;
        QString path; // the archived object, null when absent
    };
    struct Geometry {
        QRect heading; // empty without a heading
        QRect column;  // the bubble's column
        std::vector<AttachmentPlace> attachments;
        QRect bubble; // empty when no text bubble is drawn
        QRect text;   // inside the bubble
        QRect detail; // empty while the detail line is closed
        QRect seal;   // the corroboration label inside the detail line
        int height = 0;
    };

    MessageDelegate(ThreadModel& model, QObject* parent = nullptr);

    Geometry rowGeometry(int row, const QRect& rowRect) const;
    // The width rows are measured for (the list's viewport). Returns whether
    // the heights of rows change with it (the bubbles' column width changed).
    bool setViewportWidth(int width);
    // Whether a row's kept height was measured for the current width and state.
    bool isCurrent(int row) const;
    // Measures a row for the current width and state unless its kept height
    // already is; returns whether the height changed.
    bool refresh(int row) const;
    // The height the list lays a row out with: measured, or an estimate.
    int keptHeight(int row) const;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    void setEditorData(QWidget* editor, const QModelIndex& index) const override;
    void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;

    // The text drawn in a bubble: the stored text up to the drawing limit.
    static QString drawnText(const ThreadRow& row);
    // Fades the detail line of a message in over 0.15 s (ease-out), redrawing `view`.
    void fadeInDetail(const std::string& messageId, QWidget* view);
    // The detail line's opacity for a message (1 unless it is fading in).
    qreal detailOpacity(const std::string& messageId) const;

private:
    QSize imageSize(const ThreadRow& row, size_t attachment, const QString& path, bool start) const;
    // The decoding state of a row's archived pictures; `any` is set when it has some.
    unsigned pictureState(const ThreadRow& row, bool* any) const;
    // Whether a row is the first (1) or the last (2): they carry the thread's edge padding.
    unsigned char edges(int row) const;
    // The widest a bubble's column may be in a row of the given width; a row's
    // height depends on the width only through it.
    static int columnWidth(int rowWidth);
    int rowWidth() const { return std::max(100, viewportWidth_); }
    // A row's height as kept for the list, in a small record per row kept
    // apart from the rows, so laying out many rows reads little memory.
    struct Kept {
        int height = 0;
        unsigned pictures = 0; // pictureState when measured
        short column = -1;     // the column width measured for; -1: never, or its data changed since
        unsigned char edges = 0;
        bool hasPictures = false;
    };
    void measure(int row) const;
    // Whether a row must be measured whatever the width: never measured, its
    // data, place or pictures changed.
    bool stateChanged(int row) const;
    void forget(int first, int last);
    // A bubble's text laid out for a width, kept for the rows drawn and measured last.
    struct TextBlock {
        std::unique_ptr<QTextLayout> layout;
        QSize size;
    };
    const TextBlock& textBlock(const ThreadRow& row, int maxWidth) const;
    void onImageFinished();

    ThreadModel& model_;
    QFont bodyFont_, captionFont_, caption2Font_, headingFont_, calloutFont_;
    qreal dpr_ = 1.0;
    int viewportWidth_ = 600;
    // About the rows of a screen or two at both widths: a fixed few megabytes,
    // however many messages are loaded.
    mutable QCache<QString, TextBlock> layouts_{400};
    mutable std::vector<Kept> kept_; // one per row, in the model's order
    class QVariantAnimation* fade_ = nullptr;
    std::string fadingId_;
};
