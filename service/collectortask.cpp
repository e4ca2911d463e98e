#include "service/collectortask.h"

#include "common/clock.h"
#include "log/applicationdebug.h"

#include <climits>
#include <exception>

namespace service {

namespace {
// The silence notice repeats at most this often.
constexpr qint64 NoticeIntervalSecs = 900;
// A failing domain controller is asked this many times less often.
constexpr quint64 FailureBackOff = 10;
} // namespace

CollectorTask::CollectorTask(const settings::ADConfiguration &config, const QString &server)
    : config(config), stats(CollectionStats::of(config.adName()))
{
    try {
        eventSource.reset(userCollector::IActiveDirectoryEventCollector::create(
            config.apiName(), server, config.ignoreList(), config.maxSecondToRead(), config.fqdn(), config.netbios()));
    } catch (const std::exception &) {
        // Only this domain controller is left out; its siblings go on.
        const QString reason = QStringLiteral("No event source named \"%1\"").arg(config.apiName());
        ApplicationDebug::logLow(prefix() + QStringLiteral("%1: %2 is not read").arg(reason, server));
        stats->failed(server, QString(), reason);
    }
}

CollectorTask::~CollectorTask()
{
    delete timer;
}

void CollectorTask::startCollect()
{
    if (!eventSource)
        return;
    if (!timer) {
        timer = new QTimer;
        connect(timer, &QTimer::timeout, this, &CollectorTask::run);
    }
    startTimer(0);
}

void CollectorTask::stopAndDeleteTimer()
{
    delete timer;
    timer = nullptr;
}

void CollectorTask::startTimer(quint64 ms)
{
    if (timer)
        timer->start(int(qMin<quint64>(ms, INT_MAX)));
}

void CollectorTask::run()
{
    const QString server = eventSource->serverName();
    ApplicationDebug::logHigh(prefix() + QStringLiteral("Start running collector task for %1").arg(server));
    common::LogonList list;
    bool failed = false;
    QString reason;
    try {
        list = eventSource->collect();
        failed = eventSource->failureTime().isValid();
        reason = eventSource->failureReason();
    } catch (const std::exception &e) {
        // Sources do not throw; should one ever do, it counts as a failed collection.
        reason = QString::fromLocal8Bit(e.what());
        ApplicationDebug::logLow(prefix() + QStringLiteral("Collection failed for %1: %2").arg(server, reason));
        failed = true;
    }
    if (failed) {
        stats->failed(server, eventSource->logKind(), reason.isEmpty() ? QStringLiteral("collection failed") : reason);
        startTimer(quint64(config.collectInterval()) * 1000 * FailureBackOff);
        return;
    }
    stats->collected(server, eventSource->logKind(), eventSource->lastEventsRead(), quint64(list.size()));
    const QDateTime now = common::Clock::now();
    if (list.isEmpty()) {
        if (!lastLogonTime.isValid() || lastLogonTime < now.addSecs(-NoticeIntervalSecs)) {
            ApplicationDebug::logLow(prefix() + QStringLiteral("No logon found since 15 minutes for %1").arg(server));
            lastLogonTime = now;
        }
    } else {
        lastLogonTime = now;
    }
    emit newLogonCollected(list, config.adName());
    startTimer(quint64(config.collectInterval()) * 1000);
}

} // namespace service
