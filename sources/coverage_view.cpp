#include "sources/coverage_view.h"

#include "app/model/alerts_model.h"
#include "app/model/analysis_model.h"
#include "app/model/app_model.h"
#include "app/model/runs_model.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "sources/source_display.h"

#include <QHBoxLayout>
#include <QListView>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>

namespace sources {

namespace {

constexpr int kPadding = 20;

QColor withOpacity(QColor c, double opacity) {
    c.setAlphaF(static_cast<float>(opacity));
    return c;
}

QFont captionFont(bool bold = false) {
    QFont f = textFont(TextStyle::caption);
    if (bold) f.setWeight(QFont::Bold);
    return f;
}

// A gap list that is exactly as tall as its rows: the screen scrolls, not it.
class GapListView : public QListView {
public:
    using QListView::QListView;
    QSize sizeHint() const override { return {QListView::sizeHint().width(), contentHeight()}; }
    QSize minimumSizeHint() const override { return {40, contentHeight()}; }
    int contentHeight() const {
        auto* m = static_cast<GapListModel*>(model());
        int h = 0;
        for (int i = 0; m && i < m->rowCount(); ++i) h += GapRowDelegate::rowHeight(m->gap(i));
        return h + 2 * frameWidth();
    }

protected:
    // Wheel turns belong to the screen's scroll area.
    void wheelEvent(QWheelEvent* event) override { event->ignore(); }
};

} // namespace

// ---- TimelineBar ----

TimelineBar::TimelineBar(const kx::OwnerCoverage& coverage, kx::Date now, QWidget* parent)
    : QWidget(parent), coverage_(coverage), now_(now) {
    setObjectName(QStringLiteral("timelineBar"));
    setFixedHeight(kHeight);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setAccessibleName(timelineAccessibleLabel(coverage_));
    setAccessibleDescription(timelineAccessibleValue(coverage_, now_));
    setToolTip(accessibleDescription());
}

std::vector<TimelineBar::Segment> TimelineBar::segments(double width) const {
    std::vector<Segment> out;
    const auto span = timelineSpan(coverage_, now_);
    if (!span) return out;
    out.reserve(coverage_.periods.size() + coverage_.gaps.size());
    const QColor green = withOpacity(toneColor(Tone::green), kArchivedOpacity);
    for (const auto& p : coverage_.periods)
        if (const auto g = segmentGeometry(p.start, p.end, *span, width))
            out.push_back({QRectF(g->first, 0, g->second, kHeight), green});
    for (const auto& gap : coverage_.gaps) {
        const GapLook look = gapLook(gap.kind);
        if (const auto g = segmentGeometry(gap.start, gap.end, *span, width))
            out.push_back({QRectF(g->first, 0, g->second, kHeight), withOpacity(look.color(), look.barOpacity)});
    }
    return out;
}

void TimelineBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(withOpacity(toneColor(Tone::grey), kTrackOpacity));
    p.drawRoundedRect(QRectF(rect()), 3, 3);
    // The segments never leave the bar, whatever dates the analysis gave.
    p.setClipRect(rect());
    for (const Segment& s : segments(width())) {
        p.setBrush(s.color);
        p.drawRoundedRect(s.rect, 2, 2);
    }
}

// ---- Gap rows ----

GapListModel::GapListModel(std::vector<kx::CoverageGap> gaps, QObject* parent)
    : QAbstractListModel(parent), gaps_(std::move(gaps)) {}

int GapListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(gaps_.size());
}

QVariant GapListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const kx::CoverageGap& g = gaps_[static_cast<size_t>(index.row())];
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
        return GapRowDelegate::texts(g).join(QStringLiteral(", "));
    if (role == Qt::ToolTipRole && g.detail) return singleLine(*g.detail);
    return {};
}

QStringList GapRowDelegate::texts(const kx::CoverageGap& gap) {
    QStringList out = {gapLook(gap.kind).tag, gapLengthText(gap.days), gapRangeText(gap)};
    if (gap.detail) out << singleLine(*gap.detail);
    return out;
}

int GapRowDelegate::rowHeight(const kx::CoverageGap& gap) {
    const QFontMetrics cm(captionFont()), bm(textFont(TextStyle::body));
    int h = std::max(cm.height(), 14) + 2 + bm.height();
    if (gap.detail) h += 2 + cm.height();
    return h + 8; // 4 above, 4 below
}

QSize GapRowDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const auto* m = static_cast<const GapListModel*>(index.model());
    return {option.rect.width(), rowHeight(m->gap(index.row()))};
}

void GapRowDelegate::paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const auto* m = static_cast<const GapListModel*>(index.model());
    const kx::CoverageGap& gap = m->gap(index.row());
    const GapLook look = gapLook(gap.kind);
    const QFont caption = captionFont(), tagFont = captionFont(true), body = textFont(TextStyle::body);
    const QFontMetrics cm(caption), tm(tagFont), bm(body);
    p->save();
    p->setClipRect(option.rect);
    QTextOption o(Qt::AlignLeft | Qt::AlignVCenter);
    o.setWrapMode(QTextOption::NoWrap);
    o.setTextDirection(Qt::LeftToRight);
    const QRect r = option.rect.adjusted(0, 4, 0, -4);
    p->drawPixmap(QRect(r.left(), r.top(), 14, 14), symbolPixmap(look.symbol, 14, look.color()));
    const int x = r.left() + 14 + 8;
    const int w = std::max(10, r.right() - x);
    int y = r.top();
    const int line1 = std::max(cm.height(), 14);
    p->setFont(tagFont);
    p->setPen(look.color());
    const int tagWidth = tm.horizontalAdvance(look.tag) + 2;
    p->drawText(QRectF(x, y, tagWidth, line1), look.tag, o);
    p->setFont(caption);
    p->setPen(secondaryTextColor());
    p->drawText(QRectF(x + tagWidth + 4, y, std::max(0, w - tagWidth - 4), line1), gapLengthText(gap.days), o);
    y += line1 + 2;
    p->setFont(body);
    p->setPen(option.palette.color(QPalette::Text));
    p->drawText(QRectF(x, y, w, bm.height()), bm.elidedText(gapRangeText(gap), Qt::ElideRight, w), o);
    y += bm.height() + 2;
    if (gap.detail) {
        p->setFont(caption);
        p->setPen(secondaryTextColor());
        p->drawText(QRectF(x, y, w, cm.height()), cm.elidedText(singleLine(*gap.detail), Qt::ElideRight, w), o);
    }
    p->restore();
}

// ---- CoverageView ----

CoverageView::CoverageView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("coverageView"));
    QVBoxLayout* column = scrollingColumn(this, QStringLiteral("coverageScroll"), kPadding, 18);
    QWidget* page = column->parentWidget();

    auto* header = new QHBoxLayout;
    header->addWidget(boldLabel(QStringLiteral("Coverage"), TextStyle::title2, QColor(), page));
    header->addStretch(1);
    spinner_ = new BusySpinner(page);
    header->addWidget(spinner_);
    refresh_ = new QPushButton(QStringLiteral("Refresh"), page);
    refresh_->setObjectName(QStringLiteral("refresh"));
    refresh_->setAutoDefault(false);
    header->addWidget(refresh_);
    column->addLayout(header);
    column->addWidget(
        textLabel(QStringLiteral("Computed from the messages actually in your tresk \u2014 not from what a "
                                 "source claims to contain."),
                  TextStyle::caption, secondaryTextColor(), page, true));

    notFound_ = new BannerWidget(BannerWidget::Kind::error, QStringLiteral("externaldrive.badge.questionmark"), page);
    notFound_->setObjectName(QStringLiteral("archiveNotFound"));
    notFound_->hide();
    column->addWidget(notFound_);

    empty_ = new ContentUnavailableWidget(QStringLiteral("Nothing analyzed yet"), QStringLiteral("chart.bar.xaxis"),
                                          QStringLiteral("Run a scan from Sources, then press Refresh."), page);
    empty_->setMinimumHeight(320);
    column->addWidget(empty_);
    sectionsBox_ = columnWidget(page, QStringLiteral("ownerSections"), 18, &sections_);
    column->addWidget(sectionsBox_);
    legend_ = buildLegend(page);
    column->addWidget(legend_);
    column->addStretch(1);

    connect(refresh_, &QPushButton::clicked, this, [this] { model_.analysis().checkSafety(); });
    AnalysisModel& analysis = model_.analysis();
    connect(&analysis, &AnalysisModel::coverageChanged, this, &CoverageView::rebuild);
    connect(&analysis, &AnalysisModel::isAnalyzingChanged, this, [this] {
        refreshBusy();
        if (!model_.analysis().isAnalyzing() && analysisWanted_ && isVisible()) {
            analysisWanted_ = false;
            if (model_.analysis().coverage().empty()) model_.analysis().checkSafety();
        }
    });
    connect(&model_.runs(), &RunsModel::runEnded, this, [this] {
        if (isVisible()) requestAnalysis();
    });
    connect(&model_.alerts(), &AlertsModel::activeAlertsChanged, this, &CoverageView::rebuild);
    rebuild();
    refreshBusy();
}

QList<QWidget*> CoverageView::ownerSections() const {
    QList<QWidget*> out;
    for (int i = 0; i < sections_->count(); ++i)
        if (QWidget* w = sections_->itemAt(i)->widget()) out << w;
    return out;
}

void CoverageView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) requestAnalysis();
}

void CoverageView::requestAnalysis() {
    if (!model_.analysis().coverage().empty()) return;
    if (model_.analysis().isAnalyzing()) analysisWanted_ = true;
    else model_.analysis().checkSafety();
}

void CoverageView::refreshBusy() {
    const bool busy = model_.analysis().isAnalyzing();
    spinner_->setVisible(busy);
    refresh_->setEnabled(!busy);
}

void CoverageView::rebuild() {
    clearLayout(sections_);
    // An archive that ran and is gone is said, and its timeline, drawn from
    // the analysis made while it was there, is not shown.
    const AlertsModel& alerts = model_.alerts();
    const std::optional<kx::HealthAlert> notFound = alerts.archiveNotFound();
    if (notFound) notFound_->setText(QString::fromStdString(notFound->sentence()));
    notFound_->setVisible(notFound.has_value());
    const kx::Date now = model_.clock().now();
    bool any = false;
    for (const auto& owner : model_.analysis().coverage()) {
        if (notFound && alerts.archiveNotFound(QString::fromStdString(owner.owner))) continue;
        sections_->addWidget(ownerSection(owner, now, sectionsBox_));
        any = true;
    }
    empty_->setVisible(!any && !notFound);
    sectionsBox_->setVisible(any);
    legend_->setVisible(any);
}

QWidget* CoverageView::ownerSection(const kx::OwnerCoverage& c, kx::Date now, QWidget* parent) {
    auto* box = new TintedBox(quaternaryFill(0.2), 8, parent);
    box->setObjectName(QStringLiteral("ownerSection"));
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(10);

    auto* top = new QHBoxLayout;
    auto* owner = new ElidedLabel(QString::fromStdString(c.owner), Qt::ElideRight, box);
    owner->setObjectName(QStringLiteral("ownerName"));
    owner->setFont(textFont(TextStyle::headline));
    top->addWidget(owner, 1);
    auto* count = textLabel(messageCountText(c.messageCount), TextStyle::caption, secondaryTextColor(), box);
    count->setObjectName(QStringLiteral("messageCount"));
    top->addWidget(count);
    column->addLayout(top);

    column->addWidget(new TimelineBar(c, now, box));

    if (c.firstDate && c.lastDate) {
        auto* dates = new QHBoxLayout;
        auto* first = textLabel(mediumDate(*c.firstDate), TextStyle::caption, secondaryTextColor(), box);
        first->setObjectName(QStringLiteral("firstDate"));
        auto* last = textLabel(mediumDate(*c.lastDate), TextStyle::caption, secondaryTextColor(), box);
        last->setObjectName(QStringLiteral("lastDate"));
        dates->addWidget(first);
        dates->addStretch(1);
        dates->addWidget(last);
        column->addLayout(dates);
    }

    if (c.gaps.empty()) {
        auto* none = iconLabel(QStringLiteral("No gaps over the threshold"), QStringLiteral("checkmark.circle"), box,
                               toneColor(Tone::green));
        none->setObjectName(QStringLiteral("noGaps"));
        if (auto* t = none->findChild<QLabel*>(QStringLiteral("iconLabelTitle")))
            styleLabel(t, TextStyle::caption, toneColor(Tone::green));
        column->addWidget(none);
    } else {
        column->addWidget(makeDivider(box));
        auto* list = new GapListView(box);
        list->setObjectName(QStringLiteral("gapList"));
        auto* model = new GapListModel(c.gaps, list);
        list->setModel(model);
        list->setItemDelegate(new GapRowDelegate(list));
        setUpPaintedList(list, true);
        list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        list->setFixedHeight(list->contentHeight());
        column->addWidget(list);
    }
    return box;
}

QWidget* CoverageView::buildLegend(QWidget* parent) {
    auto* box = new TintedBox(quaternaryFill(0.2), 8, parent);
    box->setObjectName(QStringLiteral("legend"));
    auto* column = new QVBoxLayout(box);
    column->setContentsMargins(12, 10, 12, 12);
    column->setSpacing(6);
    column->addWidget(boldLabel(QStringLiteral("Legend"), TextStyle::caption, secondaryTextColor(), box));
    struct Row {
        QColor color;
        const char* title;
        const char* detail;
    };
    const GapLook missing = gapLook(kx::CoverageGap::Kind::missing);
    const GapLook quiet = gapLook(kx::CoverageGap::Kind::quiet);
    const GapLook notScanned = gapLook(kx::CoverageGap::Kind::notScanned);
    const GapLook trailing = gapLook(kx::CoverageGap::Kind::trailing);
    const Row rows[] = {
        {withOpacity(toneColor(Tone::green), kArchivedOpacity), "Archived",
         "messages exist in the tresk for this period"},
        {withOpacity(missing.color(), missing.barOpacity), "Missing",
         "no registered source covers this window \u2014 likely real loss"},
        {withOpacity(quiet.color(), quiet.barOpacity), "Quiet",
         "a source spans this window but holds no messages in it"},
        {withOpacity(notScanned.color(), notScanned.barOpacity), "Not scanned",
         "the last scan did not read this source in full, so nothing is known here"},
        {withOpacity(trailing.color(), trailing.barOpacity), "Trailing",
         "nothing archived since this date \u2014 the growing hole"},
    };
    for (const Row& r : rows) {
        auto* row = new QWidget(box);
        row->setObjectName(QStringLiteral("legendRow"));
        auto* h = flushRow(row, 8);
        auto* swatch = new TintedBox(r.color, 2, row);
        swatch->setFixedSize(22, 11);
        auto* swatchColumn = new QVBoxLayout;
        swatchColumn->setContentsMargins(0, 2, 0, 0);
        swatchColumn->addWidget(swatch);
        swatchColumn->addStretch(1);
        h->addLayout(swatchColumn);
        auto* text = new QVBoxLayout;
        text->setSpacing(1);
        text->addWidget(boldLabel(QString::fromUtf8(r.title), TextStyle::caption, QColor(), row));
        text->addWidget(textLabel(QString::fromUtf8(r.detail), TextStyle::caption, secondaryTextColor(), row, true));
        h->addLayout(text, 1);
        column->addWidget(row);
    }
    column->addSpacing(2);
    column->addWidget(textLabel(QStringLiteral("\u2018Quiet\u2019 is inferred from source date ranges and is evidence, "
                                               "not proof. Deletion safety never relies on it."),
                                TextStyle::caption, secondaryTextColor(), box, true));
    return box;
}

} // namespace sources
