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

#include <optional>
#include <vector>

class DestinationList : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~DestinationList() override = default;

    virtual const std::vector<DestinationConfig>& destinations() const = 0;
    // Stores the credentials (when given), then appends and saves. Nothing when
    // that was done, else the sentence that says why not; publishing it is the
    // caller's choice. When only the saving failed, the entry is listed (and
    // its credentials kept) until it is removed.
    virtual std::optional<QString> addDestination(
        const DestinationConfig& config,
        const std::optional<kx::TreskKeychain::DestinationCredentials>& credentials) = 0;
    // Removes every entry with config's id and its credentials, then saves.
    // Nothing when the list was saved, else the sentence that says why not.
    virtual std::optional<QString> removeDestination(const DestinationConfig& config) = 0;

signals:
    void destinationsChanged();
};
