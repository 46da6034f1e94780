#pragma once
// Settings, Archive: what Messages on this computer keeps (its "Keep messages"
// setting, read, never changed), what this archive holds (owner, messages,
// size on disk measured on request off the GUI thread) and which sources feed
// it.
#include "core/archive/tresk_stats.h"
#include "core/health/retention.h"

#include <QWidget>

#include <functional>
#include <optional>

class AppModel;
class QLabel;
class QPushButton;

namespace setup {

class ArchiveSettingsTab : public QWidget {
    Q_OBJECT
public:
    // `showMainWindow` brings the main window forward ("Manage Sources").
    ArchiveSettingsTab(AppModel& model, std::function<void()> showMainWindow, QWidget* parent = nullptr);
    static constexpr int kHeight = 610;

    // The sentence under "Messages, Keep messages".
    static QString retentionExplanation(const kx::RetentionPolicy::Setting& setting);

    const kx::RetentionPolicy::Setting& retention() const { return retention_; }
    const std::optional<kx::TreskStats>& stats() const { return stats_; }
    bool isMeasuring() const { return isMeasuring_; }

    void rereadRetention();
    // Measures the owner's archive folder on a worker; the result shows when it
    // comes back, or is dropped when the tab is gone by then.
    void measureSize();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void refresh();

    AppModel& model_;
    std::function<void()> showMainWindow_;
    kx::RetentionPolicy::Setting retention_ = kx::RetentionPolicy::Setting::unreadable("not read yet");
    std::optional<kx::TreskStats> stats_;
    bool isMeasuring_ = false;
    // Shared with a running measurement, which hands its result back only while
    // this is still true.

    QLabel* keepValue_;
    QLabel* explanation_;
    QLabel* owner_;
    QLabel* messages_;
    QLabel* size_;
    QPushButton* measure_;
    QWidget* measuring_;
    QLabel* sourceCount_;
};

} // namespace setup
