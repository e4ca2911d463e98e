#pragma once

#include "serviceframe/signalwatcher.h"

class QSocketNotifier;

// The handler only writes the signal number into a socket pair; the notifier
// on the other end reads it in the owner's event loop.
class PosixSignalWatcher : public SignalWatcher
{
    Q_OBJECT
public:
    PosixSignalWatcher(const QList<Action> &actions, QObject *parent);
    ~PosixSignalWatcher() override;

    bool isValid() const { return m_notifier != nullptr; }

private slots:
    void onReadable();

private:
    QList<int> m_signals;
    QSocketNotifier *m_notifier = nullptr;
};
