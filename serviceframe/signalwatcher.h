#pragma once

#include <QList>
#include <QObject>

// Turns process signals into a Qt signal on the thread that owns the watcher,
// so that no work happens inside the signal handler. One watcher per process;
// create it after the application object exists (it needs an event loop).
class SignalWatcher : public QObject
{
    Q_OBJECT
public:
    enum Action { Interrupt, Terminate }; // SIGINT, SIGTERM

    ~SignalWatcher() override = default;

    // The platform's watcher for the given actions; restores the default
    // handling of those signals when it is destroyed.
    static SignalWatcher *create(const QList<Action> &actions, QObject *parent = nullptr);

signals:
    void handleSignal(SignalWatcher::Action action);

protected:
    explicit SignalWatcher(QObject *parent) : QObject(parent) {}
};

Q_DECLARE_METATYPE(SignalWatcher::Action)
