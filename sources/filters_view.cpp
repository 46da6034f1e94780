#include "sources/filters_view.h"

#include "app/model/alerts_model.h"
#include "app/model/app_model.h"
#include "app/model/filters_model.h"
#include "app/model/owners_model.h"
#include "app/ui/screen_widgets.h"
#include "app/ui/symbols.h"
#include "app/ui/widgets.h"
#include "sources/source_display.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QUuid>
#include <QVBoxLayout>

namespace sources {

namespace {

constexpr int kPadding = 18;

QLabel* headline(const QString& text, QWidget* parent) {
    return textLabel(text, TextStyle::headline, QColor(), parent);
}

// A section: a column with 8 points between items.
QWidget* section(QVBoxLayout** column, QWidget* parent, const QString& objectName = QString()) {
    return columnWidget(parent, objectName, 8, column);
}

// A card: a tinted rounded box holding one row.
TintedBox* card(const QColor& fill, int radius, int padding, const QString& objectName, QHBoxLayout** row,
                QWidget* parent) {
    auto* box = new TintedBox(fill, radius, parent);
    box->setObjectName(objectName);
    *row = new QHBoxLayout(box);
    (*row)->setContentsMargins(padding, padding, padding, padding);
    (*row)->setSpacing(8);
    return box;
}

// Two lines of text from data, the first in `first`'s style, the second a caption.
QVBoxLayout* twoLines(const QString& first, const QFont& firstFont, const QString& second, int spacing,
                      QWidget* parent) {
    auto* column = new QVBoxLayout;
    column->setSpacing(spacing);
    auto* top = new ElidedLabel(first, Qt::ElideRight, parent);
    top->setFont(firstFont);
    column->addWidget(top);
    if (!second.isNull()) {
        auto* bottom = new ElidedLabel(second, Qt::ElideRight, parent);
        styleLabel(bottom, TextStyle::caption, secondaryTextColor());
        column->addWidget(bottom);
    }
    return column;
}

QString impactTitle(const kx::FilterPreview::ConversationImpact& impact) {
    if (impact.title) return QString::fromStdString(*impact.title);
    if (impact.handle) return QString::fromStdString(*impact.handle);
    return QStringLiteral("Unknown");
}

QList<QWidget*> widgetsOf(QVBoxLayout* layout) {
    QList<QWidget*> out;
    for (int i = 0; i < layout->count(); ++i)
        if (QWidget* w = layout->itemAt(i)->widget()) out << w;
    return out;
}

} // namespace

FiltersView::FiltersView(AppModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("filtersView"));
    QVBoxLayout* column = scrollingColumn(this, QStringLiteral("filtersScroll"), kPadding, 18);
    QWidget* page = column->parentWidget();

    auto* header = new QVBoxLayout;
    header->setSpacing(6);
    header->addWidget(boldLabel(QStringLiteral("Filters"), TextStyle::title2, QColor(), page));
    header->addWidget(
        textLabel(QStringLiteral(
                      "Stop archiving conversations you do not need to keep, like marketing texts and verification "
                      "codes. Filters only affect NEW messages. Nothing already archived is ever deleted, and filtered "
                      "conversations stay visible here so you can always see what is being skipped."),
                  TextStyle::callout, secondaryTextColor(), page, true));
    column->addLayout(header);

    noArchives_ = textLabel(QStringLiteral("No archives yet. Run a scan first, then filters can show you what they "
                                           "would affect."),
                            TextStyle::body, secondaryTextColor(), page, true);
    noArchives_->setObjectName(QStringLiteral("noArchives"));
    column->addWidget(noArchives_);

    QVBoxLayout* bodyColumn = nullptr;
    body_ = columnWidget(page, QStringLiteral("filtersBody"), 18, &bodyColumn);
    column->addWidget(body_);
    column->addStretch(1);

    // Owner picker: one segment per owner.
    ownerRow_ = new QWidget(body_);
    ownerRow_->setObjectName(QStringLiteral("ownerPicker"));
    auto* ownerLayout = flushRow(ownerRow_, 0);
    ownerLayout->addWidget(textLabel(QStringLiteral("Archive"), TextStyle::body, QColor(), ownerRow_));
    ownerLayout->addSpacing(10);
    ownerGroup_ = new QButtonGroup(this);
    ownerGroup_->setExclusive(true);
    bodyColumn->addWidget(ownerRow_);
    connect(ownerGroup_, &QButtonGroup::buttonClicked, this,
            [this](QAbstractButton* b) { setSelectedOwner(b->property("owner").toString()); });

    // The chosen owner's archive ran and is gone: nothing can be previewed against it.
    notFound_ = new BannerWidget(BannerWidget::Kind::error, QStringLiteral("externaldrive.badge.questionmark"), body_);
    notFound_->setObjectName(QStringLiteral("archiveNotFound"));
    notFound_->hide();
    bodyColumn->addWidget(notFound_);

    // Add a rule.
    QVBoxLayout* addColumn = nullptr;
    bodyColumn->addWidget(section(&addColumn, body_));
    addColumn->addWidget(headline(QStringLiteral("Add a rule"), body_));
    auto* form = new QHBoxLayout;
    form->setSpacing(8);
    kind_ = new QComboBox(body_);
    kind_->setObjectName(QStringLiteral("ruleKind"));
    kind_->setFixedWidth(210);
    kind_->addItem(QStringLiteral("Exact number or email"), 0);
    kind_->addItem(QStringLiteral("Contains text"), 1);
    kind_->addItem(QStringLiteral("All shortcodes"), 2);
    value_ = new QLineEdit(body_);
    value_->setObjectName(QStringLiteral("ruleValue"));
    value_->setPlaceholderText(QStringLiteral("e.g. 26290 or no-reply"));
    addRule_ = new QPushButton(QStringLiteral("Add Rule"), body_);
    addRule_->setObjectName(QStringLiteral("addRule"));
    addRule_->setAutoDefault(false);
    addRule_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    form->addWidget(kind_);
    form->addWidget(value_, 1);
    form->addWidget(addRule_);
    form->addStretch(); // takes the value field's room while it is hidden
    addColumn->addLayout(form);
    connect(kind_, &QComboBox::currentIndexChanged, this, &FiltersView::updateForm);
    connect(value_, &QLineEdit::textChanged, this, &FiltersView::updateForm);
    connect(value_, &QLineEdit::returnPressed, this, [this] {
        if (addRule_->isEnabled()) addRule();
    });
    connect(addRule_, &QPushButton::clicked, this, &FiltersView::addRule);

    // Active rules.
    QVBoxLayout* rulesColumn = nullptr;
    bodyColumn->addWidget(section(&rulesColumn, body_));
    rulesColumn->addWidget(headline(QStringLiteral("Active rules"), body_));
    noRules_ = textLabel(QStringLiteral("No rules. Everything is being archived."), TextStyle::callout,
                         secondaryTextColor(), body_);
    noRules_->setObjectName(QStringLiteral("noRules"));
    rulesColumn->addWidget(noRules_);
    rules_ = nestedColumn(rulesColumn, 8);

    // Preview.
    QVBoxLayout* previewColumn = nullptr;
    preview_ = section(&previewColumn, body_, QStringLiteral("previewSection"));
    bodyColumn->addWidget(preview_);
    previewColumn->addWidget(headline(QStringLiteral("What this does"), preview_));
    auto* summaryBox = new TintedBox(toneBackground(Tone::blue, 0.08), 8, preview_);
    auto* summaryLayout = new QVBoxLayout(summaryBox);
    summaryLayout->setContentsMargins(10, 10, 10, 10);
    summary_ = textLabel(QString(), TextStyle::callout, QColor(), summaryBox, true);
    summary_->setObjectName(QStringLiteral("previewSummary"));
    summaryLayout->addWidget(summary_);
    previewColumn->addWidget(summaryBox);
    skippedTitle_ = boldLabel(QStringLiteral("Skipped conversations (still in your archive)"), TextStyle::subheadline,
                              QColor(), preview_);
    previewColumn->addWidget(skippedTitle_);
    impacts_ = nestedColumn(previewColumn, 8);
    more_ = textLabel(QString(), TextStyle::caption, secondaryTextColor(), preview_);
    more_->setObjectName(QStringLiteral("moreSkipped"));
    previewColumn->addWidget(more_);

    // Suggestions.
    QVBoxLayout* suggestionsColumn = nullptr;
    suggestions_ = section(&suggestionsColumn, body_, QStringLiteral("suggestionsSection"));
    bodyColumn->addWidget(suggestions_);
    suggestionsColumn->addWidget(headline(QStringLiteral("Suggestions"), suggestions_));
    suggestionsColumn->addWidget(textLabel(QStringLiteral("These look automated. Nothing is applied until you add it."),
                                           TextStyle::caption, secondaryTextColor(), suggestions_));
    suggestionList_ = nestedColumn(suggestionsColumn, 8);

    FiltersModel& filters = model_.filtersModel();
    connect(&filters, &FiltersModel::filtersChanged, this, &FiltersView::rebuildRules);
    connect(&filters, &FiltersModel::filterPreviewChanged, this, &FiltersView::rebuildPreview);
    connect(&filters, &FiltersModel::filterSuggestionsChanged, this, &FiltersView::rebuildSuggestions);
    connect(&model_, &AppModel::registryChanged, this, &FiltersView::rebuildOwners);
    connect(&model_.alerts(), &AlertsModel::activeAlertsChanged, this, &FiltersView::rebuildPreview);
    rebuildOwners();
    rebuildRules();
    rebuildPreview();
    rebuildSuggestions();
    updateForm();
}

void FiltersView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (event->spontaneous() || shown_) return;
    shown_ = true;
    if (selectedOwner_.isEmpty()) {
        const QStringList owners = model_.owners().sourceOwners();
        selectedOwner_ = owners.isEmpty() ? QString() : owners.first();
        rebuildOwners();
    }
    model_.filtersModel().previewFilters(selectedOwner_);
    rebuildPreview(); // also when the preview stays empty
}

void FiltersView::setSelectedOwner(const QString& owner) {
    if (owner == selectedOwner_) return;
    selectedOwner_ = owner;
    rebuildOwners();
    model_.filtersModel().previewFilters(selectedOwner_);
    rebuildPreview(); // also when the preview stays empty
}

QList<QPushButton*> FiltersView::ownerButtons() const {
    QList<QPushButton*> out;
    for (QAbstractButton* b : ownerGroup_->buttons()) out << static_cast<QPushButton*>(b);
    return out;
}

void FiltersView::rebuildOwners() {
    const QStringList owners = model_.owners().sourceOwners();
    noArchives_->setVisible(owners.isEmpty());
    body_->setVisible(!owners.isEmpty());
    for (QAbstractButton* b : ownerGroup_->buttons()) {
        ownerGroup_->removeButton(b);
        b->hide();
        b->deleteLater();
    }
    auto* row = static_cast<QHBoxLayout*>(ownerRow_->layout());
    while (row->count() > 2) delete row->takeAt(2); // keep the label and its spacing
    for (int i = 0; i < owners.size(); ++i) {
        const QString& owner = owners[i];
        auto* b = new QPushButton(ownerRow_);
        b->setObjectName(QStringLiteral("ownerSegment"));
        b->setCheckable(true);
        b->setAutoDefault(false);
        b->setProperty("owner", owner);
        // A segment's text is the owner as it stands, on one line.
        const QString shown = b->fontMetrics().elidedText(singleLine(owner), Qt::ElideRight, 160);
        b->setText(shown);
        b->setToolTip(singleLine(owner));
        b->setChecked(owner == selectedOwner_);
        const QString radius = i == 0 && owners.size() == 1 ? QStringLiteral("5px")
                               : i == 0                     ? QStringLiteral("5px 0 0 5px")
                               : i == owners.size() - 1     ? QStringLiteral("0 5px 5px 0")
                                                            : QStringLiteral("0");
        // Segments share their borders: every one after the first has no left edge.
        b->setStyleSheet(
            QStringLiteral("QPushButton { border: 1px solid rgba(0,0,0,0.18); %3 border-radius: %1;"
                           " padding: 3px 12px; background: white; }"
                           "QPushButton:checked { background: %2; color: white; }")
                .arg(radius, toneColor(Tone::blue).name(), i == 0 ? QString() : QStringLiteral("border-left: none;")));
        ownerGroup_->addButton(b);
        row->addWidget(b);
        b->show();
    }
    row->addStretch(1);
}

QString FiltersView::ruleText(const kx::FilterRule& rule) {
    const QString value = singleLine(rule.value);
    switch (rule.kind) {
    case kx::FilterRule::Kind::handle: return "handle: " + value;
    case kx::FilterRule::Kind::contains: return "contains: " + value;
    case kx::FilterRule::Kind::shortcodes: return QStringLiteral("All shortcode senders");
    case kx::FilterRule::Kind::pattern: break;
    }
    return "pattern: " + value;
}

void FiltersView::rebuildRules() {
    clearLayout(rules_);
    const auto& rules = model_.filtersModel().filters().rules;
    noRules_->setVisible(rules.empty());
    for (const kx::FilterRule& rule : rules) {
        QHBoxLayout* row = nullptr;
        TintedBox* box = card(quaternaryFill(0.35), 8, 9, QStringLiteral("ruleCard"), &row, body_);
        row->addWidget(symbolView(QStringLiteral("line.3.horizontal.decrease.circle"), 16, secondaryTextColor(), box));
        row->addLayout(twoLines(ruleText(rule), textFont(TextStyle::body),
                                rule.note ? QString::fromStdString(*rule.note) : QString(), 1, box),
                       1);
        auto* remove = new QPushButton(QStringLiteral("Remove"), box);
        remove->setObjectName(QStringLiteral("removeRule"));
        remove->setAutoDefault(false);
        const std::string id = rule.id;
        connect(remove, &QPushButton::clicked, this, [this, id] { removeRule(id); });
        row->addWidget(remove);
        rules_->addWidget(box);
        box->show();
    }
}

void FiltersView::rebuildPreview() {
    clearLayout(impacts_);
    const auto notFound = selectedOwner_.isEmpty() ? std::nullopt : model_.alerts().archiveNotFound(selectedOwner_);
    if (notFound) notFound_->setText(QString::fromStdString(notFound->sentence()));
    notFound_->setVisible(notFound.has_value());
    const auto& preview = notFound ? FiltersModel::OptionalFilterPreview() : model_.filtersModel().filterPreview();
    preview_->setVisible(preview.has_value());
    if (!preview) return;
    summary_->setText(QString::fromStdString(preview->summary));
    int skipped = 0;
    for (const auto& impact : preview->impacts) {
        if (impact.decision.keep) continue;
        if (++skipped > kShownImpacts) continue;
        QHBoxLayout* row = nullptr;
        TintedBox* box = card(toneBackground(Tone::orange, 0.07), 6, 8, QStringLiteral("impactCard"), &row, preview_);
        row->addWidget(symbolView(QStringLiteral("nosign"), 16, toneColor(Tone::orange), box));
        row->addLayout(twoLines(impactTitle(impact), textFont(TextStyle::body),
                                QString::fromStdString(impact.decision.explanation), 1, box),
                       1);
        row->addWidget(
            textLabel(QStringLiteral("%1 kept").arg(impact.keptCount), TextStyle::caption, secondaryTextColor(), box));
        impacts_->addWidget(box);
        box->show();
    }
    skippedTitle_->setVisible(skipped > 0);
    more_->setVisible(skipped > kShownImpacts);
    more_->setText(QStringLiteral("and %1 more").arg(skipped - kShownImpacts));
}

void FiltersView::rebuildSuggestions() {
    clearLayout(suggestionList_);
    const auto& suggestions = model_.filtersModel().filterSuggestions();
    suggestions_->setVisible(!suggestions.empty());
    QFont bold = textFont(TextStyle::body);
    bold.setWeight(QFont::Bold);
    const int shown = std::min<int>(static_cast<int>(suggestions.size()), kShownSuggestions);
    for (int i = 0; i < shown; ++i) {
        const auto& s = suggestions[static_cast<size_t>(i)];
        QHBoxLayout* row = nullptr;
        TintedBox* box = card(quaternaryFill(0.3), 8, 9, QStringLiteral("suggestionCard"), &row, suggestions_);
        row->setAlignment(Qt::AlignTop);
        row->addLayout(twoLines(QString::fromStdString(s.rule.value), bold, QString::fromStdString(s.caption), 2, box),
                       1);
        auto* add = new QPushButton(QStringLiteral("Add"), box);
        add->setObjectName(QStringLiteral("addSuggestion"));
        add->setAutoDefault(false);
        connect(add, &QPushButton::clicked, this, [this, i] { addSuggestion(i); });
        row->addWidget(add, 0, Qt::AlignTop);
        suggestionList_->addWidget(box);
        box->show();
    }
}

void FiltersView::updateForm() {
    const bool shortcodes = kind_->currentData().toInt() == 2;
    value_->setVisible(!shortcodes);
    addRule_->setEnabled(shortcodes || !value_->text().isEmpty());
}

kx::FilterRule FiltersView::newRule() const {
    kx::FilterRule rule;
    rule.id = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper().toStdString();
    rule.kind = static_cast<kx::FilterRule::Kind>(kind_->currentData().toInt());
    rule.value = value_->text().toStdString(); // as typed, even when hidden
    rule.caseSensitive = 0;
    rule.note.reset();
    rule.enabled = 1;
    return rule;
}

void FiltersView::applyRules(const std::vector<kx::FilterRule>& rules) {
    FiltersModel& filters = model_.filtersModel();
    kx::FilterSet set = filters.filters(); // keeps a load problem, so a damaged file is never saved over
    set.rules = rules;
    filters.setFilters(set);
    filters.saveFilters();
    filters.previewFilters(selectedOwner_);
}

void FiltersView::addRule() {
    if (!addRule_->isEnabled()) return;
    auto rules = model_.filtersModel().filters().rules;
    rules.push_back(newRule());
    applyRules(rules);
    value_->clear();
}

void FiltersView::removeRule(const std::string& id) {
    auto rules = model_.filtersModel().filters().rules;
    std::erase_if(rules, [&](const kx::FilterRule& r) { return r.id == id; });
    applyRules(rules);
}

void FiltersView::addSuggestion(int index) {
    const auto& suggestions = model_.filtersModel().filterSuggestions();
    if (index < 0 || index >= static_cast<int>(suggestions.size())) return;
    auto rules = model_.filtersModel().filters().rules;
    rules.push_back(suggestions[static_cast<size_t>(index)].rule);
    applyRules(rules);
}

QList<QWidget*> FiltersView::ruleCards() const { return widgetsOf(rules_); }
QList<QWidget*> FiltersView::impactCards() const { return widgetsOf(impacts_); }
QList<QWidget*> FiltersView::suggestionCards() const { return widgetsOf(suggestionList_); }

} // namespace sources
