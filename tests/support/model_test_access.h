#pragma once
// Sets values the application model otherwise only sets itself, for tests of
// code that reacts to them (screens, the installed schedule).
#include "app/model/analysis_model.h"
#include "app/model/contacts_model.h"
#include "app/model/filters_model.h"
#include "app/model/household_model.h"
#include "app/model/permissions_model.h"
#include "app/model/runs_model.h"

struct ModelTestAccess {
    static void setIsRunning(RunsModel& runs, bool v) { runs.setIsRunning(v); }
    static void setMachineID(HouseholdModel& household, const QString& id) { household.setMachineID(id); }
    static void setFilterPreview(FiltersModel& filters, const FiltersModel::OptionalFilterPreview& p) {
        filters.setFilterPreview(p);
    }
    static void setFilterSuggestions(FiltersModel& filters, const FiltersModel::FilterSuggestions& s) {
        filters.setFilterSuggestions(s);
    }
    static void setCoverage(AnalysisModel& analysis, const AnalysisModel::Coverage& c) { analysis.setCoverage(c); }
    static void setDeletion(AnalysisModel& analysis, const AnalysisModel::OptionalDeletion& d) {
        analysis.setDeletion(d);
    }
    static void setDuplicates(AnalysisModel& analysis, const AnalysisModel::DuplicateFindings& f,
                              const AnalysisModel::IdenticalGroups& g) {
        analysis.setDuplicateFindings(f);
        analysis.setIdenticalGroups(g);
    }
    static void setFdaVerdict(PermissionsModel& p, const PermissionsModel::FdaVerdict& v) { p.setFdaVerdict(v); }
    static void setIsProbingFDA(PermissionsModel& p, bool v) { p.setIsProbingFDA(v); }
    static void setContactsAuthorization(ContactsModel& c, kx::ContactsAuthorization a) {
        c.setContactsAuthorization(a);
    }
};
