#pragma once
// SealedExportsPanel: the "Sealed exports" panel the health screen embeds
// after the tamper-evidence panel. It says what a seal proves, how many seal
// files still wait for their anchor (the seal server's signed, timestamped
// receipt) and offers "Retry now", with the outcome of the last pass beside it.
//
// One pass runs at a time: while one runs (the launch pass included) the
// button reads "Retrying…" and cannot be pressed.
#include <QGroupBox>

class AppModel;
class QLabel;
class QPushButton;
class SymbolTextLabel;

class SealedExportsPanel : public QGroupBox {
    Q_OBJECT
public:
    explicit SealedExportsPanel(AppModel& model, QWidget* parent = nullptr);

    SymbolTextLabel* waitingLabel() const { return waiting_; }
    SymbolTextLabel* noneWaitingLabel() const { return noneWaiting_; }
    QPushButton* retryButton() const { return retry_; }
    QLabel* lastRetryLabel() const { return lastRetry_; }

private:
    void refresh();

    AppModel& model_;
    QWidget* waitingBlock_;
    SymbolTextLabel* waiting_;
    QPushButton* retry_;
    QLabel* lastRetry_;
    SymbolTextLabel* noneWaiting_;
};
