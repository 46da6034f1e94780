#pragma once
// FiltersView: the screen of the Filters route. The user keeps conversations
// out of future archive runs with rules (exact handle, text contained, all
// shortcode senders), sees which conversations of one owner's archive the
// rules would skip, and adds rules the core suggests. Every edit goes through
// FiltersModel: the rule list is changed there, saved, and the preview asked
// for again; the screen computes nothing itself.
//
// The preview lists at most the first 50 skipped conversations ("and N more"
// after them) and at most the first 20 suggestions. While the chosen owner's
// archive ran and is gone, its alert stands in the preview's place.
#include "core/filters/filter_set.h"

#include <QString>
#include <QWidget>

class AppModel;
class BannerWidget;
class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace sources {

class FiltersView : public QWidget {
    Q_OBJECT
public:
    static constexpr int kShownImpacts = 50;
    static constexpr int kShownSuggestions = 20;

    explicit FiltersView(AppModel& model, QWidget* parent = nullptr);

    QString selectedOwner() const { return selectedOwner_; }
    void setSelectedOwner(const QString& owner);

    // The text a rule card shows for a rule.
    static QString ruleText(const kx::FilterRule& rule);
    // A new rule from the form (a fresh id, the chosen kind, the value as typed).
    kx::FilterRule newRule() const;

    // ---- Parts, for tests ----
    QComboBox* kindPicker() const { return kind_; }
    QLineEdit* valueField() const { return value_; }
    QPushButton* addRuleButton() const { return addRule_; }
    QList<QPushButton*> ownerButtons() const;
    // Cards in each section, top to bottom.
    QList<QWidget*> ruleCards() const;
    QList<QWidget*> impactCards() const;
    QList<QWidget*> suggestionCards() const;
    QWidget* previewSection() const { return preview_; }
    QWidget* suggestionsSection() const { return suggestions_; }
    QLabel* moreLabel() const { return more_; }

    void addRule();
    void removeRule(const std::string& id);
    void addSuggestion(int index);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void rebuildOwners();
    void rebuildRules();
    void rebuildPreview();
    void rebuildSuggestions();
    void updateForm();
    void applyRules(const std::vector<kx::FilterRule>& rules);

    AppModel& model_;
    QString selectedOwner_;
    bool shown_ = false;
    QWidget* noArchives_ = nullptr;
    QWidget* body_ = nullptr;
    QWidget* ownerRow_ = nullptr;
    QButtonGroup* ownerGroup_ = nullptr;
    QComboBox* kind_ = nullptr;
    QLineEdit* value_ = nullptr;
    QPushButton* addRule_ = nullptr;
    BannerWidget* notFound_ = nullptr;
    // Rules, preview and suggestions: each section's column and what it holds.
    QVBoxLayout* rules_ = nullptr;
    QLabel* noRules_ = nullptr;
    QVBoxLayout* impacts_ = nullptr;
    QWidget* preview_ = nullptr;
    QLabel* summary_ = nullptr;
    QLabel* skippedTitle_ = nullptr;
    QLabel* more_ = nullptr;
    QVBoxLayout* suggestionList_ = nullptr;
    QWidget* suggestions_ = nullptr;
};

} // namespace sources
