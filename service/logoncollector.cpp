#include "service/logoncollector.h"

#include "log/applicationdebug.h"
#include "service/collectortask.h"
#include "service/pingtask.h"
#include "service/syslogtask.h"
#include "settings/settings.h"

#include <QThread>
#include <QThreadPool>
#include <climits>
#include <exception>

namespace service {

LogonCollector::LogonCollector(const settings::ADConfiguration &config)
    : QObject(nullptr), cache(config), config(config), stats(CollectionStats::of(config.adName()))
{
    const qint32 maxThreads = settings::Settings::instance()->globalConfiguration().MaxThreadPool;
    if (maxThreads > 0)
        QThreadPool::globalInstance()->setMaxThreadCount(maxThreads);
}

// Everything living in the collector's thread went with stopTimer; what is
// left (the cache, tasks whose threads ended) may go from any thread.
LogonCollector::~LogonCollector() = default;

common::LogonList LogonCollector::logons() const
{
    return cache.logons();
}

template <typename Task> void LogonCollector::startTaskThread(Task *task, void (Task::*start)(), void (Task::*stop)())
{
    auto *thread = new QThread;
    task->moveToThread(thread);
    connect(thread, &QThread::started, task, start);
    connect(thread, &QThread::finished, task, stop);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    connect(task, &Task::newLogonCollected, this, &LogonCollector::onCollect);
    taskThreads.append(thread);
    thread->start(QThread::InheritPriority);
}

void LogonCollector::startCollect()
{
    if (config.syslogState()) {
        // Syslog mode: the domain controllers send, nobody polls them.
        QSharedPointer<SyslogTask> task(new SyslogTask(config));
        syslogTasks.append(task);
        startTaskThread(task.data(), &SyslogTask::openSocket, &SyslogTask::closeSocket);
    } else {
        for (const QString &server : config.servers()) {
            QSharedPointer<CollectorTask> task(new CollectorTask(config, server));
            collectorTasks.append(task);
            startTaskThread(task.data(), &CollectorTask::startCollect, &CollectorTask::stopAndDeleteTimer);
        }
    }
    if (!dnsTimer) {
        dnsTimer = new QTimer(this);
        dnsTimer->setSingleShot(true);
        connect(dnsTimer, &QTimer::timeout, this, &LogonCollector::onCheckDns);
    }
    startDnsTimer();
}

void LogonCollector::startDnsTimer()
{
    if (dnsTimer && config.dnsInterval() != 0 && config.dnsEnabled())
        dnsTimer->start(int(qMin<quint64>(quint64(config.dnsInterval()) * 1000, INT_MAX)));
}

void LogonCollector::stopTimer()
{
    delete dnsTimer;
    dnsTimer = nullptr;
    // Ping tasks under way hold probes of this thread: they go here, not
    // with the collector in another thread.
    qDeleteAll(findChildren<PingTask *>(QString(), Qt::FindDirectChildrenOnly));
    // All task threads are asked first, so that they end together.
    for (QThread *thread : qAsConst(taskThreads))
        thread->exit(0);
    for (QThread *thread : qAsConst(taskThreads)) {
        thread->wait();
        thread->deleteLater();
    }
    taskThreads.clear();
}

void LogonCollector::onCollect(common::LogonList newLogons)
{
    common::LogonList created;
    QList<common::Logoff> logoffs;
    cache.update(newLogons, created, logoffs);
    for (const common::Logoff &logoff : qAsConst(logoffs)) {
        stats->logoffFound(logoff.type());
        emit newLogoffCollected(logoff, config.adName(), QString());
    }
    if (!created.isEmpty())
        emit newLogonCollected(created, config.adName());
}

void LogonCollector::onNewLogoffCollected(common::Logoff logoff, QString adName, QString firewall)
{
    Q_UNUSED(firewall)
    switch (logoff.type()) {
    case common::Logoff::LogoffPing:
    case common::Logoff::LogoffRegister:
    case common::Logoff::LogoffDns:
        break;
    default:
        return;
    }
    if (!cache.removeEnded(logoff))
        ApplicationDebug::logHigh(QStringLiteral("%1: Unable to delete %2 (%3) from collector cache")
                                      .arg(adName, logoff.user(), logoff.ip().toString()));
}

void LogonCollector::onCheckDns()
{
    ApplicationDebug::logHigh(prefix() + QStringLiteral("Try to find new IPs"));
    const QList<common::ShdLogon> items = cache.checkDns();
    stats->dnsChecked();
    common::LogonList newLogons;
    for (const common::ShdLogon &item : items) {
        if (const auto *logoff = dynamic_cast<const common::Logoff *>(item.data())) {
            stats->logoffFound(logoff->type());
            emit newLogoffCollected(*logoff, config.adName(), QString());
        } else {
            newLogons.append(*item);
        }
    }
    if (!newLogons.isEmpty()) {
        if (!config.probeEnabled()) {
            emit newLogonCollected(newLogons, config.adName());
        } else {
            try {
                auto *task = new PingTask(newLogons, config.pingTimeout(), config.shortName(), this);
                connect(task, &PingTask::probeFinished, this, &LogonCollector::probeFinished);
                task->start();
            } catch (const std::exception &e) {
                ApplicationDebug::logHigh(
                    prefix() + QStringLiteral("Network failure => %1").arg(QString::fromLocal8Bit(e.what())));
            }
        }
    }
    startDnsTimer();
}

void LogonCollector::probeFinished(common::LogonList logonList, PingTask *task)
{
    emit newLogonCollected(logonList, config.adName());
    task->deleteLater();
}

} // namespace service
