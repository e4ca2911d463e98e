#include "service/pingtask.h"

#include "log/applicationdebug.h"
#include "logoff/iprobeapi.h"

#include <exception>

namespace service {

namespace {
const QString PingMethod = QStringLiteral("ping");
}

PingTask::PingTask(const common::LogonList &logons, quint32 pingTimeout, const QString &name, QObject *parent)
    : QObject(parent), logons(logons), pingTimeout(pingTimeout), name(name)
{
    qRegisterMetaType<service::PingTask *>("service::PingTask*");
}

PingTask::~PingTask()
{
    releaseProbes();
}

void PingTask::releaseProbes()
{
    for (logoffCollector::IProbeApi *probe : qAsConst(probes)) {
        if (probe) {
            probe->cancel();
            delete probe;
        }
    }
    probes.clear();
}

int PingTask::liveProbeCountForTest() const
{
    int count = 0;
    for (const logoffCollector::IProbeApi *probe : probes)
        count += probe ? 1 : 0;
    return count;
}

void PingTask::start()
{
    releaseProbes();
    reachable.clear();
    pending = quint32(logons.size());
    if (pending == 0)
        return;
    completed.fill(false, logons.size());
    for (int i = 0; i < logons.size(); ++i)
        probes.append(nullptr);
    for (int i = 0; i < logons.size(); ++i) {
        const uint index = uint(i);
        try {
            logoffCollector::IProbeApi *probe =
                logoffCollector::IProbeApi::create(PingMethod, pingTimeout, name, index, nullptr);
            probes[i] = probe;
            connect(probe, &logoffCollector::IProbeApi::probeSuccess, this, &PingTask::probeSuccess);
            connect(probe, &logoffCollector::IProbeApi::probeFailure, this, &PingTask::probeFailure);
            connect(probe, &logoffCollector::IProbeApi::probeCompleted, this, &PingTask::probeCompleted);
            probe->probe(common::ShdLogon(new common::Logon(logons.at(i))));
        } catch (const std::exception &e) {
            // Without a probe this address never answers; the others must still be announced.
            ApplicationDebug::logHigh(
                QStringLiteral("%1: Network failure => %2").arg(name, QString::fromLocal8Bit(e.what())));
            probeFailure(index, common::Logoff::LogoffPing);
            probeCompleted(index);
        }
    }
}

void PingTask::probeSuccess(uint index)
{
    if (index < uint(logons.size()))
        reachable.append(logons.at(int(index)));
}

void PingTask::probeFailure(uint index, common::Logoff::LogoffType)
{
    if (index < uint(logons.size()))
        ApplicationDebug::logHigh(
            QStringLiteral("%1: Unable to ping %2 after a DNS query").arg(name, logons.at(int(index)).toString()));
}

void PingTask::probeCompleted(uint index)
{
    // A probe completes once; anything else is not ours to count.
    if (index >= uint(completed.size()) || completed.at(int(index)))
        return;
    completed[int(index)] = true;
    logoffCollector::IProbeApi *probe = probes.at(int(index));
    if (probe) {
        probes[int(index)] = nullptr;
        probe->deleteLater();
    }
    if (--pending == 0)
        emit probeFinished(reachable, this);
}

} // namespace service
