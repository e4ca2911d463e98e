#include "logoff/collectuserlogoff.h"

#include "common/backgroundrelease.h"
#include "common/clock.h"
#include "common/exception.h"
#include "log/applicationdebug.h"
#include "service/dumpfile.h"

#include <QThread>
#include <algorithm>
#include <limits>
#include <mutex>
#include <utility>

namespace logoffCollector {

namespace {

// More workers than this would only exhaust memory: the count comes from a firewall.
constexpr quint32 MaxWorkers = 4096;

std::mutex factoryMutex;
CollectUserLogoff::ProbeFactory probeFactory; // tests only, under factoryMutex

// "Now" without a time-zone conversion: the rules compare instants many
// times a cycle, and local time asks the system's zone file every time.
QDateTime nowUtc()
{
    return QDateTime::fromMSecsSinceEpoch(common::Clock::nowMSecsSinceEpoch(), Qt::UTC);
}

int milliseconds(quint32 seconds)
{
    return static_cast<int>(std::min<quint64>(quint64(seconds) * 1000, std::numeric_limits<int>::max()));
}

} // namespace

CollectUserLogoff::CollectUserLogoff(const QString &method, bool enabled, const QString &adName,
                                     const QString &firewallName, quint32 maxLogonTime, quint32 cacheTimeout,
                                     quint32 maxConcurrent, quint32 userCheckFrequency, quint32 pingTimeout,
                                     quint32 probeTimeout, QObject *parent)
    : QObject(parent), method(method), adName(adName), enabled(enabled), maxLogonTime(maxLogonTime),
      cacheTimeout(cacheTimeout), userCheckFrequency(userCheckFrequency), pingTimeout(pingTimeout),
      probeTimeout(probeTimeout), dumpFile(loggedUsersFile(adName, firewallName)), maxConcurrent(maxConcurrent),
      reprobeInterval(std::max<quint32>(probeTimeout / 10, 1))
{}

CollectUserLogoff::~CollectUserLogoff()
{
    qDeleteAll(workers);
    workers.clear();
    // Hundreds of thousands of entries take seconds to free one by one; a
    // stop waits for this thread, not for that.
    if (cache.size() >= common::BackgroundRelease::LargeEntries) {
        common::BackgroundRelease::release(std::make_pair(std::move(cache), std::move(byAddress)));
    }
}

void CollectUserLogoff::setProbeFactoryForTest(ProbeFactory factory)
{
    std::lock_guard<std::mutex> lock(factoryMutex);
    probeFactory = std::move(factory);
}

int CollectUserLogoff::cacheSize() const
{
    QMutexLocker lock(&mutex);
    return cache.size();
}

ShdLogonProbe CollectUserLogoff::entryForTest(const QHostAddress &address) const
{
    QMutexLocker lock(&mutex);
    return byAddress.value(address);
}

void CollectUserLogoff::addLogons(const common::LogonList &logons)
{
    if (QThread::currentThread() != thread()) {
        // The entries are probed in this object's thread; they change only there.
        QMetaObject::invokeMethod(
            this, [this, logons] { addLogons(logons); }, Qt::QueuedConnection);
        return;
    }
    QMutexLocker lock(&mutex);
    for (const common::Logon &logon : logons) {
        if (const ShdLogonProbe existing = byAddress.value(logon.ip())) {
            if (existing->time() >= logon.time()) {
                // Batches may arrive out of order: an older logon never replaces a newer one.
                ApplicationDebug::logHigh(QStringLiteral("%1: %2 on %3 is not newer than the cached logon of %4")
                                              .arg(adName, logon.user(), logon.ip().toString(), existing->user()));
                continue;
            }
            if (!removeEntry(existing))
                ApplicationDebug::logHigh(
                    QStringLiteral("%1: Unable to delete %2 from logoff cache (list)").arg(adName, logon.user()));
            byAddress.remove(logon.ip());
        }
        const ShdLogonProbe entry = ShdLogonProbe::create(logon);
        cache.append(entry);
        byAddress.insert(logon.ip(), entry);
    }
    rewriteDumpFile();
    ApplicationDebug::logHigh(
        QStringLiteral("%1: user logoff cache now contains %2 logons").arg(adName).arg(cache.size()));
}

bool CollectUserLogoff::removeLogon(const common::Logon &logon)
{
    QMutexLocker lock(&mutex);
    const ShdLogonProbe entry = byAddress.value(logon.ip());
    if (!entry || entry->user().compare(logon.user(), Qt::CaseInsensitive) != 0)
        return false;
    removeEntry(entry);
    rewriteDumpFile();
    return true;
}

bool CollectUserLogoff::removeEntry(const ShdLogonProbe &entry)
{
    const int index = cache.indexOf(entry);
    if (index >= 0) {
        cache.removeAt(index);
        // An entry behind the cursor leaves: the one the cursor pointed at moves back
        // onto its place and must still be visited in this cycle.
        if (index < cursor)
            --cursor;
    }
    if (byAddress.value(entry->ip()) == entry)
        byAddress.remove(entry->ip());
    return index >= 0;
}

void CollectUserLogoff::start()
{
    {
        QMutexLocker lock(&mutex);
        rewriteDumpFile();
    }
    if (workers.isEmpty())
        createWorkers();
    startTimer(timerInterval);
}

void CollectUserLogoff::startTimer(int interval)
{
    if (!timer) {
        timer = new QTimer(this);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, &CollectUserLogoff::onCollect);
    }
    timerInterval = interval;
    timer->start(interval);
}

void CollectUserLogoff::createWorkers()
{
    if (!enabled)
        return;
    if (maxConcurrent > MaxWorkers)
        ApplicationDebug::logLow(QStringLiteral("%1: MaxConcurrent %2 is more than %3 probes at once; %3 are used")
                                     .arg(adName)
                                     .arg(maxConcurrent)
                                     .arg(MaxWorkers));
    ProbeFactory factory;
    {
        std::lock_guard<std::mutex> lock(factoryMutex);
        factory = probeFactory;
    }
    if (!factory)
        factory = &IProbeApi::create;
    const quint32 count = std::min(maxConcurrent, MaxWorkers);
    for (quint32 i = 0; i < count; ++i) {
        IProbeApi *probe = nullptr;
        try {
            probe = factory(method, pingTimeout, adName, i, this);
        } catch (const common::Exception &e) {
            ApplicationDebug::logLow(QString::fromLatin1(e.what()));
        }
        // A worker that could not be made keeps its place: the others keep their index.
        workers.append(probe);
        if (!probe)
            continue;
        connect(probe, &IProbeApi::probeSuccess, this, &CollectUserLogoff::onProbeSuccess);
        connect(probe, &IProbeApi::probeFailure, this, &CollectUserLogoff::onProbeFailure);
        connect(probe, &IProbeApi::probeCompleted, this, &CollectUserLogoff::onProbeCompleted);
    }
}

IProbeApi *CollectUserLogoff::worker(unsigned int index) const
{
    return index < static_cast<unsigned int>(workers.size()) ? workers.at(static_cast<int>(index)) : nullptr;
}

ShdLogonProbe CollectUserLogoff::probedEntry(unsigned int index) const
{
    IProbeApi *probe = worker(index);
    return probe ? probe->currentLogon().dynamicCast<LogonProbe>() : ShdLogonProbe();
}

void CollectUserLogoff::onCollect()
{
    QMutexLocker lock(&mutex);
    if (cycleDone)
        cycleClock.start();
    cycleDone = false;
    expire();
    rewriteDumpFile();
    bool dispatched = false;
    for (IProbeApi *probe : qAsConst(workers)) {
        if (!probe || probe->isBusy() || cache.isEmpty() || cursor >= cache.size())
            continue;
        for (;;) {
            try {
                const ShdLogonProbe entry = nextDueEntry();
                if (entry) {
                    probe->probe(entry);
                    dispatched = true;
                }
                break;
            } catch (const common::Exception &e) {
                ApplicationDebug::logLow(
                    QStringLiteral("%1: probe error: %2").arg(adName, QString::fromLatin1(e.what())));
            }
        }
    }
    if (!dispatched && !(timer && timer->isActive()))
        startTimer(milliseconds(userCheckFrequency));
}

ShdLogonProbe CollectUserLogoff::nextDueEntry()
{
    if (cycleDone)
        return ShdLogonProbe();
    const QDateTime now = nowUtc();
    const QDateTime threshold = now.addSecs(-qint64(reprobeInterval));
    while (cursor < cache.size()) {
        const ShdLogonProbe entry = cache.at(cursor++);
        if (entry->failed)
            return entry; // probed again whenever a cycle reaches it
        if (entry->lastProbeTime < threshold) {
            entry->lastProbeTime = now;
            return entry;
        }
    }
    if (timer)
        timer->stop();
    cycleDone = true;
    cursor = 0;
    lastCycleDuration = cycleClock.isValid() ? cycleClock.elapsed() : 0;
    startTimer(milliseconds(userCheckFrequency));
    emit collectFinished();
    return ShdLogonProbe();
}

void CollectUserLogoff::expire()
{
    const qint64 now = common::Clock::nowMSecsSinceEpoch();
    const qint64 logonLimit = now - qint64(maxLogonTime) * 1000;
    const qint64 cacheLimit = now - qint64(cacheTimeout) * 1000;
    QList<ShdLogonProbe> kept;
    kept.reserve(cache.size());
    int keptBeforeCursor = 0;
    for (int i = 0; i < cache.size(); ++i) {
        const ShdLogonProbe &entry = cache.at(i);
        if (entry->timeMSecs < logonLimit) {
            emit logoff(common::Logoff(*entry, common::Logoff::LogoffTimeout));
        } else if (entry->timeMSecs < cacheLimit) {
            ApplicationDebug::logHigh(
                QStringLiteral("%1: User remove from probe cache (expired): %2 on %3 (%4)")
                    .arg(adName, entry->user(), entry->ip().toString(), common::Clock::textDate(entry->time())));
        } else {
            kept.append(entry);
            keptBeforeCursor += i < cursor;
            continue;
        }
        if (byAddress.value(entry->ip()) == entry)
            byAddress.remove(entry->ip());
    }
    cache = kept;
    cursor = keptBeforeCursor;
}

void CollectUserLogoff::onProbeSuccess(unsigned int index)
{
    const ShdLogonProbe entry = probedEntry(index);
    if (!entry)
        return;
    entry->failed = 0;
    ApplicationDebug::logHigh(
        QStringLiteral("%1: Probe success for %2 on %3").arg(adName, entry->user(), entry->ip().toString()));
}

void CollectUserLogoff::onProbeFailure(unsigned int index, common::Logoff::LogoffType logoffType)
{
    QMutexLocker lock(&mutex);
    const ShdLogonProbe entry = probedEntry(index);
    if (!entry)
        return;
    if (byAddress.value(entry->ip()) != entry) {
        // Removed or replaced (perhaps by another user) while it was probed.
        ApplicationDebug::logHigh(QStringLiteral("%1: probe failure for %2 on %3 ignored: no longer in the cache")
                                      .arg(adName, entry->user(), entry->ip().toString()));
        return;
    }
    if (!entry->failed) {
        entry->failed = 1;
        return;
    }
    if (entry->lastProbeTime < nowUtc().addSecs(-qint64(probeTimeout))) {
        common::Logoff logoff(*entry, logoffType);
        logoff.setTime(common::Clock::now());
        emit this->logoff(logoff);
        removeEntry(entry);
    }
}

void CollectUserLogoff::onProbeCompleted(unsigned int index)
{
    QMutexLocker lock(&mutex);
    IProbeApi *probe = worker(index);
    if (!probe)
        return;
    for (;;) {
        try {
            const ShdLogonProbe entry = nextDueEntry();
            if (entry)
                probe->probe(entry);
            return;
        } catch (const common::Exception &e) {
            ApplicationDebug::logHigh(QString::fromLatin1(e.what()));
        }
    }
}

void CollectUserLogoff::stopTimers()
{
    if (timer)
        timer->stop();
    QMutexLocker lock(&mutex);
    cycleDone = true;
    cursor = 0;
    // The thread is ending: probes under way stop here, in it, not in a later destructor.
    for (IProbeApi *probe : qAsConst(workers)) {
        if (probe && probe->isBusy())
            probe->cancel();
    }
}

void CollectUserLogoff::rewriteDumpFile()
{
    if (!service::cacheDumpEnabled.load())
        return;
    common::LogonList logons;
    logons.reserve(cache.size());
    for (const ShdLogonProbe &entry : qAsConst(cache))
        logons.append(static_cast<const common::Logon &>(*entry));
    writeLogons(dumpFile, logons);
}

} // namespace logoffCollector
