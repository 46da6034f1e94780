#include "reading/search_view.h"

#include "app/model/alerts_model.h"
#include "app/model/app_model.h"
#include "app/model/contacts_model.h"
#include "app/model/owners_model.h"
#include "app/ui/counts.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/style.h"
#include "app/ui/text_widgets.h"
#include "app/ui/widgets.h"
#include "core/contacts/layered_contact_resolver.h"
#include "reading/model/reading_text.h"
#include "reading/model/search_model.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {

// One result: sender and conversation and date, the text in at most three lines, then "You"
// and the corroboration label.
QWidget* resultRow(const kx::TreskStore::SearchHit& hit, const kx::ContactResolver& names, QWidget* parent) {
    auto* row = new QWidget(parent);
    row->setObjectName(QStringLiteral("resultRow"));
    row->setProperty("messageId", QString::fromStdString(hit.id));
    auto* column = new QVBoxLayout(row);
    column->setContentsMargins(16, 3 + 4, 16, 3 + 4);
    column->setSpacing(3);

    auto* first = new QHBoxLayout;
    first->setSpacing(8);
    // A long conversation name is cut short before the date, never past it.
    auto* sender = new ElidedLabel(reading::searchResultTitle(names, hit), Qt::ElideRight, row);
    sender->setObjectName(QStringLiteral("sender"));
    styleLabel(sender, TextStyle::headline);
    first->addWidget(sender, 1);
    if (hit.date) {
        auto* date = new QLabel(reading::mediumDate(reading::toDateTime(*hit.date).date()), row);
        date->setObjectName(QStringLiteral("date"));
        styleLabel(date, TextStyle::caption, secondaryTextColor());
        first->addWidget(date, 0, Qt::AlignVCenter);
    }
    column->addLayout(first);

    auto* text = new ClampedTextLabel(3, row);
    text->setObjectName(QStringLiteral("text"));
    text->setFullText(QString::fromStdString(hit.text.value_or(std::string())));
    column->addWidget(text);

    auto* third = new QHBoxLayout;
    third->setSpacing(8);
    if (hit.isFromMe) {
        auto* you = new SymbolTextLabel(QStringLiteral("You"), QStringLiteral("person.fill"), TextStyle::caption,
                                        secondaryTextColor(), row);
        you->setObjectName(QStringLiteral("you"));
        you->textLabel()->setWordWrap(false);
        third->addWidget(you);
    }
    if (hit.sourceIds.size() >= 2) {
        auto* seal = new SymbolTextLabel(QStringLiteral("corroborated in ") + QString::number(hit.sourceIds.size()) +
                                             QStringLiteral(" sources"),
                                         QStringLiteral("checkmark.seal.fill"), TextStyle::caption,
                                         toneColor(Tone::green), row);
        seal->setObjectName(QStringLiteral("corroborated"));
        seal->textLabel()->setWordWrap(false);
        QStringList ids;
        for (const auto& id : hit.sourceIds) ids << QString::fromStdString(id);
        seal->setToolTip(ids.join(QStringLiteral(", ")));
        third->addWidget(seal);
    }
    third->addStretch(1);
    if (third->count() > 1) column->addLayout(third);
    else delete third;
    return row;
}

} // namespace

SearchView::SearchView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("searchView"));
    search_ = new SearchModel(model, this);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // ---- Search bar ----
    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(12, 12, 12, 12);
    bar->setSpacing(8);
    query_ = new QLineEdit(this);
    query_->setObjectName(QStringLiteral("query"));
    query_->setPlaceholderText(QStringLiteral("Search all messages…"));
    query_->setClearButtonEnabled(true);
    bar->addWidget(query_, 1);
    ownerPicker_ = new QComboBox(this);
    ownerPicker_->setObjectName(QStringLiteral("ownerPicker"));
    ownerPicker_->setAccessibleName(QStringLiteral("Owner"));
    ownerPicker_->setFixedWidth(130);
    bar->addWidget(ownerPicker_);
    searchButton_ = new QPushButton(QStringLiteral("Search"), this);
    searchButton_->setObjectName(QStringLiteral("searchButton"));
    searchButton_->setDefault(true);
    bar->addWidget(searchButton_);
    column->addLayout(bar);

    // ---- Content ----
    content_ = new QStackedWidget(this);
    searching_ = new QWidget(content_);
    searching_->setObjectName(QStringLiteral("searching"));
    {
        auto* l = new QVBoxLayout(searching_);
        auto* busy = new QProgressBar(searching_);
        busy->setRange(0, 0);
        busy->setTextVisible(false);
        busy->setFixedSize(90, 6);
        l->addWidget(busy, 0, Qt::AlignCenter);
    }
    content_->addWidget(searching_);

    failed_ = new QWidget(content_);
    failed_->setObjectName(QStringLiteral("failed"));
    {
        auto* l = new QVBoxLayout(failed_);
        l->setContentsMargins(16, 8, 16, 16);
        failure_ = new SymbolTextLabel(QString(), QStringLiteral("exclamationmark.triangle.fill"), TextStyle::body,
                                       toneColor(Tone::red), failed_);
        failure_->setObjectName(QStringLiteral("failure"));
        l->addWidget(failure_);
        l->addStretch(1);
    }
    content_->addWidget(failed_);

    noSources_ = new ContentUnavailableWidget(QStringLiteral("Nothing to search yet"),
                                              QStringLiteral("magnifyingglass"),
                                              QStringLiteral("Connect a source and run a scan first."), content_);
    noSources_->setObjectName(QStringLiteral("noSources"));
    connect(noSources_->setAction(QStringLiteral("Go to Sources")), &QPushButton::clicked, this,
            [this] { model_.setRoute(Route::sources); });
    content_->addWidget(noSources_);

    // The owner's archive ran and is gone: nothing was searched, so there are no "No Results" either.
    archiveNotFound_ = new ContentUnavailableWidget(QString(), QStringLiteral("externaldrive.badge.questionmark"),
                                                    QString(), content_);
    archiveNotFound_->setObjectName(QStringLiteral("archiveNotFound"));
    content_->addWidget(archiveNotFound_);

    prompt_ = new ContentUnavailableWidget(QStringLiteral("Search your whole history"),
                                           QStringLiteral("magnifyingglass"),
                                           QStringLiteral("Every source, every year, at once."), content_);
    prompt_->setObjectName(QStringLiteral("prompt"));
    content_->addWidget(prompt_);

    results_ = new QWidget(content_);
    results_->setObjectName(QStringLiteral("results"));
    {
        auto* l = new QVBoxLayout(results_);
        l->setContentsMargins(0, 0, 0, 0);
        l->setSpacing(0);
        auto* header = new QHBoxLayout;
        header->setContentsMargins(16, 0, 16, 6);
        header->setSpacing(6);
        count_ = new QLabel(results_);
        count_->setObjectName(QStringLiteral("count"));
        QFont medium = textFont(TextStyle::caption);
        medium.setWeight(QFont::Medium);
        count_->setFont(medium);
        showingFirst_ = new QLabel(results_);
        showingFirst_->setObjectName(QStringLiteral("showingFirst"));
        styleLabel(showingFirst_, TextStyle::caption, secondaryTextColor());
        elapsed_ = new QLabel(results_);
        elapsed_->setObjectName(QStringLiteral("elapsed"));
        styleLabel(elapsed_, TextStyle::caption, tertiaryTextColor());
        header->addWidget(count_);
        header->addWidget(showingFirst_);
        header->addWidget(elapsed_);
        header->addStretch(1);
        l->addLayout(header);
        l->addWidget(makeDivider(results_));
        auto* scroll = new QScrollArea(results_);
        scroll->setObjectName(QStringLiteral("resultList"));
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        rowsPage_ = new QWidget(scroll);
        rowsColumn_ = new QVBoxLayout(rowsPage_);
        rowsColumn_->setContentsMargins(0, 0, 0, 0);
        rowsColumn_->setSpacing(0);
        rowsColumn_->addStretch(1);
        scroll->setWidget(rowsPage_);
        l->addWidget(scroll, 1);
    }
    content_->addWidget(results_);
    column->addWidget(content_, 1);

    connect(query_, &QLineEdit::returnPressed, this, &SearchView::runSearch);
    connect(query_, &QLineEdit::textChanged, this, &SearchView::updateButton);
    connect(searchButton_, &QPushButton::clicked, this, &SearchView::runSearch);
    connect(ownerPicker_, &QComboBox::currentIndexChanged, this, [this](int i) {
        if (i >= 0) owner_ = ownerPicker_->itemData(i).toString();
        updateButton();
        updateContent();
    });
    connect(search_, &SearchModel::isSearchingChanged, this, [this] {
        updateButton();
        updateContent();
    });
    connect(search_, &SearchModel::finished, this, &SearchView::fillResults);
    connect(&model_, &AppModel::registryChanged, this, [this] {
        refreshOwners();
        updateContent();
    });
    connect(&model_.alerts(), &AlertsModel::activeAlertsChanged, this, &SearchView::updateContent);
    refreshOwners();
    updateButton();
    updateContent();
}

void SearchView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (appeared_) return;
    appeared_ = true;
    refreshOwners();
    query_->setFocus();
}

void SearchView::refreshOwners() {
    const QStringList owners = model_.owners().sourceOwners();
    // The owner chosen first is the first one; a chosen owner stays while it exists.
    if (owner_.isEmpty() || !owners.contains(owner_)) owner_ = owners.value(0);
    const QSignalBlocker quiet(ownerPicker_);
    ownerPicker_->clear();
    for (const QString& o : owners) ownerPicker_->addItem(o, o);
    ownerPicker_->setCurrentIndex(static_cast<int>(owners.indexOf(owner_)));
    ownerPicker_->setVisible(owners.size() > 1);
    updateButton();
}

void SearchView::updateButton() { searchButton_->setEnabled(search_->canSearch(query_->text(), owner_)); }

QString SearchView::contentState() const { return content_->currentWidget()->objectName(); }

void SearchView::updateContent() {
    const auto notFound = owner_.isEmpty() ? std::nullopt : model_.alerts().archiveNotFound(owner_);
    if (notFound)
        archiveNotFound_->setTexts(QString::fromStdString(notFound->title), QString::fromStdString(notFound->body));
    QWidget* page = results_;
    if (search_->isSearching()) page = searching_;
    else if (!search_->problem().isNull()) page = failed_;
    else if (notFound && search_->results().empty()) page = archiveNotFound_;
    else if (search_->searched() && search_->results().empty()) page = noResults_;
    else if (model_.registry().sources().empty()) page = noSources_;
    else if (search_->results().empty()) page = prompt_;
    content_->setCurrentWidget(page);
}

void SearchView::runSearch() { search_->search(query_->text(), owner_); }

void SearchView::fillResults() {
    // The panel of a search that found nothing names the query it was for.
    if (noResults_) {
        content_->removeWidget(noResults_);
        noResults_->deleteLater();
    }
    noResults_ = new ContentUnavailableWidget(QStringLiteral("No Results for “") + query_->text() + QStringLiteral("”"),
                                              QStringLiteral("magnifyingglass"),
                                              QStringLiteral("Check the spelling or try a new search."), content_);
    noResults_->setObjectName(QStringLiteral("noResults"));
    content_->addWidget(noResults_);

    failure_->setText(search_->problem());

    const auto& hits = search_->results();
    const auto shown = static_cast<qint64>(hits.size());
    count_->setText(inflected(QStringLiteral("^[%lld result](inflect: true)"), search_->totalMatches()));
    if (!search_->countKnown()) showingFirst_->setText(QStringLiteral("· the total could not be counted"));
    else if (shown < search_->totalMatches())
        showingFirst_->setText(QStringLiteral("· showing first ") + QString::number(shown));
    showingFirst_->setVisible(!search_->countKnown() || shown < search_->totalMatches());
    if (auto ms = search_->elapsed())
        elapsed_->setText(QStringLiteral("· ") + QLocale().toString(static_cast<qlonglong>(std::llround(*ms))) +
                          QStringLiteral("ms"));
    elapsed_->setVisible(search_->elapsed().has_value());

    // Rows are rebuilt for each finished search.
    while (rowsColumn_->count() > 1) {
        QLayoutItem* item = rowsColumn_->takeAt(0);
        if (item->widget()) item->widget()->deleteLater();
        delete item;
    }
    const auto names = model_.contacts().resolver();
    int at = 0;
    for (const auto& hit : hits) {
        if (at > 0) rowsColumn_->insertWidget(at++, makeDivider(rowsPage_));
        rowsColumn_->insertWidget(at++, resultRow(hit, *names, rowsPage_));
    }
    updateContent();
}

QList<QWidget*> SearchView::rows() const {
    QList<QWidget*> out;
    for (int i = 0; i < rowsColumn_->count(); ++i)
        if (auto* w = rowsColumn_->itemAt(i)->widget(); w && w->objectName() == QLatin1String("resultRow")) out << w;
    return out;
}
