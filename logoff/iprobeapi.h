#pragma once

#include "common/logon.h"

#include <QObject>
#include <QString>

namespace logoffCollector {

// A presence probe worker: answers, one logon at a time, whether its user is
// still there. After each probe() of a non-null logon it emits probeSuccess
// or probeFailure and then probeCompleted, always later, from its owner's
// event loop, never from inside probe() (a registry or account error emits
// probeCompleted alone). probe() may raise common::Exception when the probe
// cannot even start; the worker then stays idle and emits nothing.
//
// Lives in the thread of its owner (the logoff collector or the DNS check's
// ping task) and is used only there; it has no thread of its own and never
// blocks that thread on the network.
class IProbeApi : public QObject
{
    Q_OBJECT
public:
    // "ping" (exactly) gives a PingProbe, any other text a RegisterProbe.
    static IProbeApi *create(const QString &method, quint32 pingTimeout, const QString &adName, unsigned int index,
                             QObject *parent = nullptr);

    IProbeApi(const QString &adName, unsigned int index, QObject *parent = nullptr);

    // Starts probing logon; the base only remembers it as current.
    virtual void probe(common::ShdLogon logon);
    // Abandons the probe under way without any signal; the worker is idle after it.
    virtual void cancel() = 0;
    virtual bool isBusy() const = 0;

    // The logon probed last (null after cancel()); the owner reads its entries through it.
    const common::ShdLogon &currentLogon() const { return current; }
    unsigned int workerIndex() const { return index; }

signals:
    void probeSuccess(unsigned int index);
    void probeFailure(unsigned int index, common::Logoff::LogoffType logoffType);
    void probeCompleted(unsigned int index);

protected:
    common::ShdLogon current;
    QString adName; // prefix of the log lines
    unsigned int index;
};

} // namespace logoffCollector
