#include "app/model/filters_model.h"

#include "app/model/app_model.h"
#include "app/model/owners_model.h"
#include "app/model/publish.h"
#include "core/archive/tresk_store.h"
#include "core/platform/error.h"
#include "core/platform/fs.h"

FiltersModel::FiltersModel(AppModel& app) : app_(app) {}

void FiltersModel::setFilters(const kx::FilterSet& f) { publish(this, filters_, f, &FiltersModel::filtersChanged); }
void FiltersModel::setFilterPreview(const OptionalFilterPreview& p) {
    publish(this, filterPreview_, p, &FiltersModel::filterPreviewChanged);
}
void FiltersModel::setFilterSuggestions(const FilterSuggestions& s) {
    publish(this, filterSuggestions_, s, &FiltersModel::filterSuggestionsChanged);
}

void FiltersModel::loadFilters() {
    const std::string path = app_.config().filters();
    filters_ = kx::FilterSet::load(path);
    if (filters_.loadProblem())
        app_.setLastError("Your filters at " + QString::fromStdString(path) +
                          " could not be read: " + QString::fromStdString(*filters_.loadProblem()) +
                          ". Kelvara will NOT overwrite that file and will not archive until it can read it, "
                          "so nothing you excluded is copied. Repair or move it, then restart.");
}

void FiltersModel::previewFilters(const QString& owner) {
    auto clear = [this] {
        setFilterPreview(std::nullopt);
        setFilterSuggestions({});
    };
    if (owner.isEmpty()) return clear();
    const QString path = OwnersModel::archiveDatabasePath(app_.destinationRoot(), owner);
    if (path.isNull() || !kx::fs::isRegularFile(path.toStdString())) return clear(); // no archive yet
    try {
        const kx::TreskStore store(path.toStdString());
        const auto profiles = store.conversationProfiles(owner.toStdString());
        setFilterPreview(kx::FilterAnalyzer::preview(filters_, profiles, std::nullopt));
        setFilterSuggestions(kx::FilterAnalyzer::suggestions(profiles, &filters_));
    } catch (const std::exception& e) {
        app_.setLastError("Could not read " + owner +
                          "'s archive to preview filters: " + QString::fromStdString(e.what()));
        clear();
    }
}

void FiltersModel::saveFilters() {
    try {
        filters_.save(app_.config().filters());
    } catch (const kx::Error& e) {
        app_.setLastError("Could not save your filters: " + QString::fromStdString(e.localizedDescription()));
    }
}
