#pragma once
// JoinFlow: joining an archive that already exists, as the archive-choice step
// uses it. The flow and its sheet belong to the household; the application
// shell hands the onboarding a JoinFlowFactory that makes them.
#include <QObject>

#include <functional>

class QDialog;
class QWidget;

namespace setup {

class JoinFlow : public QObject {
public:
    using QObject::QObject;
    // A new sheet over `parent` that shows this flow, not yet open. Closing it
    // keeps the flow where it is, so a sheet opened again goes on from there.
    virtual QDialog* makeSheet(QWidget* parent) = 0;
    // Whether the flow ended in a join.
    virtual bool joined() const = 0;
};

// A fresh join flow, owned by `parent`.
using JoinFlowFactory = std::function<JoinFlow*(QObject* parent)>;

} // namespace setup
