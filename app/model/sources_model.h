#pragma once
// SourcesModel: connecting this Mac's Messages folder (under the name it
// archives as) and removing sources. The registry itself is shared state of
// AppModel.
#include <QObject>
#include <QString>

class AppModel;

class SourcesModel : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString pendingOwnerChoice READ pendingOwnerChoice NOTIFY pendingOwnerChoiceChanged)

public:
    static constexpr const char* kThisMacSourceId = "local-messages";

    explicit SourcesModel(AppModel& app);

    // The owner name this Mac would archive under while it waits for the user to
    // confirm or change it; null when nothing waits.
    QString pendingOwnerChoice() const { return pendingOwnerChoice_; }

    bool hasThisMacSource() const;
    // Registers this machine's Messages folder and starts a scan; false when it
    // stopped (no database, or the owner needs confirming).
    bool addThisMacSource();
    // Sets the name this machine archives under, then connects this machine.
    void renameArchive(const QString& name);
    void removeSource(const QString& id);

signals:
    void pendingOwnerChoiceChanged();

private:
    void setPendingOwnerChoice(const QString& o);

    AppModel& app_;
    QString pendingOwnerChoice_;
};
