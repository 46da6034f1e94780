#pragma once
// The rows of the sources list: one registered source each, with its status
// dot, title, path, owner capsule, format, status text, a "last scanned" time
// that keeps itself current, the duplicate note and the deletion verdict badge.
//
// The list can hold hundreds of sources, so rows are not widget trees: the
// SourceListModel holds one RowData per source and SourceRowDelegate paints it.
// The verdict badge is part of the painted row; clicking its header (or Space
// on the current row) toggles its details. Which badges are expanded is kept
// by source id, so it survives every update of the model for the same source.
#include "core/archive/deletion_safety.h"
#include "core/archive/duplicate_source_analyzer.h"
#include "core/platform/time.h"
#include "core/sources/source.h"

#include <QAbstractListModel>
#include <QStyledItemDelegate>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace sources {

struct RowData {
    kx::Source source;
    kx::SourceStatus status = kx::SourceStatus::neverScanned;
    std::optional<kx::SourceDeletionReport> deletion;
    std::optional<kx::DuplicateSourceAnalyzer::Finding> duplicate;
    bool operator==(const RowData&) const = default;
};

class SourceListModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role { ExpandedRole = Qt::UserRole + 1, SourceIdRole };

    explicit SourceListModel(std::function<kx::Date()> now, QObject* parent = nullptr);

    // Replaces the rows. Rows keep their place when only their values changed;
    // a changed list of sources resets the model. Expanded flags stay by id.
    void setRows(std::vector<RowData> rows);
    const std::vector<RowData>& rows() const { return rows_; }
    const RowData& row(int i) const { return rows_[static_cast<size_t>(i)]; }

    bool isExpanded(int row) const;
    void toggleExpanded(int row);
    kx::Date now() const { return now_(); }

    // A row's height depends on its values and expanded flag only, not on the
    // width: the list asks for it far more often than rows change, so it is
    // kept until the row changes (or the fonts it was measured with).
    int cachedHeight(int row, int fontGeneration) const;
    void cacheHeight(int row, int fontGeneration, int height) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

signals:
    void expandedChanged(const QModelIndex& index);

private:
    std::function<kx::Date()> now_;
    std::vector<RowData> rows_;
    std::set<std::string> expanded_;
    // Per row: {height, font generation}; a height of 0 is not measured yet.
    mutable std::vector<std::pair<int, int>> heights_;
};

class SourceRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit SourceRowDelegate(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

    // Where the badge's clickable header lies in a row drawn in `rowRect`; empty
    // when the row has no verdict.
    QRect badgeHeaderRect(const QRect& rowRect, const QModelIndex& index) const;
    // The texts a row draws in a row `width` wide, in drawing order, as elided.
    static QStringList visibleTexts(const SourceListModel& model, int row, int width = 900);

    static constexpr int kHorizontalPadding = 16;
    static constexpr int kVerticalPadding = 4;
    static constexpr int kIndent = 21;
};

// The duplicate banners: one per group of sources with identical content. A
// long list of groups is painted rows, like the sources themselves.
class IdenticalGroupModel : public QAbstractListModel {
    Q_OBJECT
public:
    using QAbstractListModel::QAbstractListModel;
    void setGroups(std::vector<std::vector<std::string>> groups);
    const std::vector<std::string>& group(int row) const { return groups_[static_cast<size_t>(row)]; }
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    std::vector<std::vector<std::string>> groups_;
};

class IdenticalGroupDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// A banner's three lines: the count, the identifiers, the reassurance.
QStringList identicalBannerLines(const std::vector<std::string>& group);
// The height of one banner, the 3 points between banners included.
int identicalBannerHeight();

} // namespace sources
