#pragma once

#include "common/logon.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QVector>

namespace logoffCollector {
class IProbeApi;
}

namespace service {

// Pings the addresses a DNS check has added and lets through only the
// logons whose address answered: probeFinished(reachable, this) comes once,
// after every probe has completed (possibly with an empty list). A probe
// that cannot be created or started counts as completed and unreachable.
// Every probe is released as soon as it has completed.
//
// Lives in the thread of its logon collector, which creates it, connects
// probeFinished and deletes it afterwards (deleteLater).
class PingTask : public QObject
{
    Q_OBJECT
public:
    PingTask(const common::LogonList &logons, quint32 pingTimeout, const QString &name, QObject *parent = nullptr);
    ~PingTask() override;

    // Starts one ping probe per logon. Nothing happens for an empty list.
    void start();

    // Tests: probes not released yet.
    int liveProbeCountForTest() const;

signals:
    void probeFinished(common::LogonList logons, service::PingTask *task);

private slots:
    void probeSuccess(uint index);
    void probeFailure(uint index, common::Logoff::LogoffType);
    void probeCompleted(uint index);

private:
    void releaseProbes();

    common::LogonList logons;
    common::LogonList reachable;
    quint32 pingTimeout;
    QString name;
    quint32 pending = 0;
    QList<logoffCollector::IProbeApi *> probes; // by index, null once completed
    QVector<bool> completed;                    // by index
};

} // namespace service

Q_DECLARE_METATYPE(service::PingTask *)
