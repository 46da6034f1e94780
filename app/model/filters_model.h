#pragma once
// FiltersModel: the user's filter rules, what they would skip in an owner's
// archive, and suggested rules.
#include "core/filters/filter_analyzer.h"
#include "core/filters/filter_set.h"

#include <QObject>
#include <QString>

#include <optional>
#include <vector>

class AppModel;

class FiltersModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(kx::FilterSet filters READ filters NOTIFY filtersChanged)
    Q_PROPERTY(OptionalFilterPreview filterPreview READ filterPreview NOTIFY filterPreviewChanged)
    Q_PROPERTY(FilterSuggestions filterSuggestions READ filterSuggestions NOTIFY filterSuggestionsChanged)

public:
    using OptionalFilterPreview = std::optional<kx::FilterPreview>;
    using FilterSuggestions = std::vector<kx::FilterSuggestion>;

    explicit FiltersModel(AppModel& app);

    const kx::FilterSet& filters() const { return filters_; }
    const OptionalFilterPreview& filterPreview() const { return filterPreview_; }
    const FilterSuggestions& filterSuggestions() const { return filterSuggestions_; }
    // Screens edit the rules here, then call saveFilters.
    void setFilters(const kx::FilterSet& f);

    // Start-up: reads "filters.json". A damaged file is never read as "no
    // filters": the engine will not archive while the problem stands.
    void loadFilters();
    // Publishes what the current filters would skip in `owner`'s archive, and
    // suggested rules; clears both for an empty owner or one without an archive.
    void previewFilters(const QString& owner);
    void saveFilters();

signals:
    void filtersChanged();
    void filterPreviewChanged();
    void filterSuggestionsChanged();

private:
    friend struct ModelTestAccess;
    void setFilterPreview(const OptionalFilterPreview& p);
    void setFilterSuggestions(const FilterSuggestions& s);

    AppModel& app_;
    kx::FilterSet filters_;
    OptionalFilterPreview filterPreview_;
    FilterSuggestions filterSuggestions_;
};
