#pragma once
// DestinationList: this Mac's backup destinations as the screens outside the
// backup room see them (the household screens and the join flow). The backup
// side's destination model is the one implementation; the application object
// hands it to the screens that need it, so those rooms never depend on the
// backup room itself.
#include "app/model/destination_config.h"
#include "core/keys/owner_keys.h"

#include <QObject>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

class DestinationList : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~DestinationList() override = default;

    virtual const std::vector<DestinationConfig>& destinations() const = 0;

    // How an operation ends: nothing when it was done, else the sentence that
    // says why not; publishing it is the caller's choice. It runs on the GUI
    // thread, later (never inside the call), and only while `context` lives; the
    // list changes whether or not anyone is still there to be told.
    using Completion = std::function<void(const std::optional<QString>& failure)>;

    // Stores the credentials (when given) off the GUI thread; once they are
    // stored, appends and saves. A keyring that refuses or does not answer
    // leaves the list as it was. When only the saving failed, the entry is
    // listed (and its credentials kept) until it is removed.
    virtual void addDestination(const DestinationConfig& config,
                                const std::optional<kx::TreskKeychain::DestinationCredentials>& credentials,
                                const QObject* context, Completion done) = 0;
    // Removes config's credentials off the GUI thread (a keyring failure there
    // is ignored: stale credentials under an unused id harm nothing); once that
    // step has ended, removes every entry with config's id and saves. The
    // sentence is the saving's.
    virtual void removeDestination(const DestinationConfig& config, const QObject* context, Completion done) = 0;

signals:
    void destinationsChanged();
};
