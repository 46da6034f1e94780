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

    // What connecting this machine came to: whether its Messages folder is
    // registered, and what to say about it (why it stopped, what is still
    // needed, a source list that could not be saved); null when nothing.
    struct Connection {
        bool connected = false;
        QString problem;
    };

    bool hasThisMacSource() const;
    // Registers this machine's Messages folder and starts a scan unless access
    // is blocked. Not connected when it stopped (no database, or the owner
    // needs confirming). Publishes nothing.
    Connection registerThisMac();
    // The same, with what there is to say put in the application's banner;
    // false when it stopped.
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
