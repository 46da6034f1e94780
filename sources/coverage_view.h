#pragma once
// CoverageView: the screen of the Coverage route. For every archive owner it
// shows what the archive really holds: the message count, a timeline bar of
// archived periods and coverage gaps, the first and last archived dates and the
// gaps themselves; a legend explains the colours. Everything comes from the
// published coverage analysis; the screen starts the analysis when there is no
// result (on showing, and when a run ends while it is shown) and from
// "Refresh", never beside one that is running. An archive that ran and is gone
// is said above the owners, and its owner's section is left out.
//
// TimelineBar draws one owner's bar; its segments are always inside the bar.
// The gap list of an owner can hold hundreds of gaps, so it is a list view with
// a painted row (GapRowDelegate), not a widget per gap.
#include "core/archive/coverage.h"
#include "core/platform/time.h"

#include <QAbstractListModel>
#include <QStyledItemDelegate>
#include <QWidget>

#include <functional>
#include <vector>

class AppModel;
class QLabel;
class QPushButton;
class QVBoxLayout;

class BannerWidget;
class BusySpinner;

namespace sources {

class TimelineBar : public QWidget {
    Q_OBJECT
public:
    TimelineBar(const kx::OwnerCoverage& coverage, kx::Date now, QWidget* parent = nullptr);

    static constexpr int kHeight = 26;

    struct Segment {
        QRectF rect;
        QColor color; // with its opacity
    };
    // What the bar draws over the track at a width, back to front.
    std::vector<Segment> segments(double width) const;
    QSize sizeHint() const override { return {400, kHeight}; }
    QSize minimumSizeHint() const override { return {40, kHeight}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    kx::OwnerCoverage coverage_;
    kx::Date now_;
};

class GapListModel : public QAbstractListModel {
    Q_OBJECT
public:
    GapListModel(std::vector<kx::CoverageGap> gaps, QObject* parent = nullptr);
    const kx::CoverageGap& gap(int row) const { return gaps_[static_cast<size_t>(row)]; }
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    std::vector<kx::CoverageGap> gaps_;
};

class GapRowDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    // The lines a gap row shows: tag, length, date range and the detail if any.
    static QStringList texts(const kx::CoverageGap& gap);
    static int rowHeight(const kx::CoverageGap& gap);
};

class CoverageView : public QWidget {
    Q_OBJECT
public:
    explicit CoverageView(AppModel& model, QWidget* parent = nullptr);

    QPushButton* refreshButton() const { return refresh_; }
    BusySpinner* spinner() const { return spinner_; }
    QWidget* emptyState() const { return empty_; }
    // One section per owner shown, in order.
    QList<QWidget*> ownerSections() const;
    QWidget* legend() const { return legend_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void rebuild();
    void refreshBusy();
    void requestAnalysis();
    QWidget* ownerSection(const kx::OwnerCoverage& coverage, kx::Date now, QWidget* parent);
    QWidget* buildLegend(QWidget* parent);

    AppModel& model_;
    // The analysis was wanted on showing while another one still ran.
    bool analysisWanted_ = false;
    BannerWidget* notFound_{};
    QWidget* empty_{};
    QWidget* sectionsBox_{};
    QVBoxLayout* sections_{};
    QWidget* legend_{};
    QPushButton* refresh_{};
    BusySpinner* spinner_{};
};

} // namespace sources
