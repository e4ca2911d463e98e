#include "service/collectorcache.h"

#include "common/clock.h"
#include "log/applicationdebug.h"
#include "lookup/namelookup.h"
#include "settings/settings.h"

#include <QMutexLocker>
#include <algorithm>
#include <functional>
#include <vector>

namespace {

// Workstation fill-in: a logon without a name takes the one of the same
// user's logon at its address from at most this long before.
constexpr qint64 FillInWindowSecs = 60;
constexpr int MaxSharedTexts = 256;

// Logon times are local times. They are compared as QDateTime, which
// compares two local times without converting them; a conversion to epoch
// time costs a mktime() each (and, without TZ set, a stat of /etc/localtime).
// One conversion to local time per call: logons not later than this are
// too old for the cache.
QDateTime thresholdOf(quint32 cacheTimeout)
{
    return QDateTime::fromMSecsSinceEpoch(common::Clock::nowMSecsSinceEpoch() - qint64(cacheTimeout) * 1000);
}

bool sameUser(const QString &a, const QString &b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

CollectorCache::CollectorCache(const settings::ADConfiguration &config)
    : config(config), dumpFile(cacheDumpFile(config.adName()))
{}

int CollectorCache::size() const
{
    QMutexLocker lock(&mutex);
    return byAddress.size();
}

QHash<QString, HostRecord> CollectorCache::hostRecordsForTest() const
{
    QMutexLocker lock(&mutex);
    return byWorkstation;
}

common::LogonList CollectorCache::logons() const
{
    QMutexLocker lock(&mutex);
    common::LogonList list;
    list.reserve(byAddress.size());
    for (auto it = byAddress.cbegin(); it != byAddress.cend(); ++it)
        list.append(it.value());
    return list;
}

void CollectorCache::update(const common::LogonList &newLogons, common::LogonList &createdLogons,
                            QList<common::Logoff> &logoffs)
{
    createdLogons.clear();
    logoffs.clear();
    const QDateTime threshold = thresholdOf(config.cacheTimeout());
    common::LogonList batch = newestPerAddress(newLogons, threshold);
    if (!batch.isEmpty()) {
        ApplicationDebug::logHigh(prefix() +
                                  QStringLiteral("Number of logons after removed oldest: %1").arg(batch.size()));
        {
            QMutexLocker lock(&mutex);
            fillWorkstations(batch);
        }
        if (config.dnsEnabled()) {
            // Look-ups may take minutes: they run without the lock.
            batch = resolveNames(batch);
            if (!batch.isEmpty()) {
                batch = newestPerAddress(batch, threshold);
                ApplicationDebug::logHigh(
                    prefix() + QStringLiteral("Number of logons created after resolving IPs: %1").arg(batch.size()));
            }
        }
    }
    common::LogonList snapshot;
    quint64 snapshotVersion = 0;
    {
        QMutexLocker lock(&mutex);
        if (!batch.isEmpty())
            merge(batch, createdLogons, logoffs);
        removeExpired(threshold);
        snapshotVersion = takeDumpSnapshot(&snapshot);
    }
    writeDump(snapshot, snapshotVersion);
    if (!createdLogons.isEmpty())
        ApplicationDebug::logHigh(prefix() + QStringLiteral("Number of logons created: %1").arg(createdLogons.size()));
}

bool CollectorCache::remove(const common::Logon &logon)
{
    common::LogonList snapshot;
    quint64 snapshotVersion = 0;
    bool removed = false;
    {
        QMutexLocker lock(&mutex);
        removed = removeLocked(logon);
        snapshotVersion = takeDumpSnapshot(&snapshot);
    }
    writeDump(snapshot, snapshotVersion);
    return removed;
}

bool CollectorCache::removeEnded(const common::Logoff &logoff)
{
    common::LogonList snapshot;
    quint64 snapshotVersion = 0;
    bool removed = false;
    {
        QMutexLocker lock(&mutex);
        auto cached = byAddress.constFind(logoff.ip());
        if (cached != byAddress.cend() && sameUser(cached->user(), logoff.user()) && cached->time() <= logoff.time()) {
            const common::Logon ended = *cached;
            removed = removeLocked(ended);
        }
        snapshotVersion = takeDumpSnapshot(&snapshot);
    }
    writeDump(snapshot, snapshotVersion);
    return removed;
}

common::LogonList CollectorCache::newestPerAddress(const common::LogonList &list, const QDateTime &threshold) const
{
    QHash<QHostAddress, int> kept; // index in list
    kept.reserve(list.size());
    for (int i = 0; i < list.size(); ++i) {
        const QDateTime &time = list.at(i).time();
        if (!time.isValid() || time <= threshold)
            continue;
        auto found = kept.find(list.at(i).ip());
        if (found == kept.end())
            kept.insert(list.at(i).ip(), i);
        else if (time > list.at(*found).time()) // on equal times the first one stays
            *found = i;
    }
    // Oldest first, so that a workstation's record ends with its newest logon.
    std::vector<int> order(kept.cbegin(), kept.cend());
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        const QDateTime &ta = list.at(a).time(), &tb = list.at(b).time();
        return ta != tb ? ta < tb : a < b;
    });
    common::LogonList result;
    result.reserve(int(order.size()));
    for (int i : order)
        result.append(list.at(i));
    return result;
}

void CollectorCache::fillWorkstations(common::LogonList &batch) const
{
    for (common::Logon &logon : batch) {
        if (!logon.workstation().isEmpty())
            continue;
        auto cached = byAddress.constFind(logon.ip());
        if (cached == byAddress.cend() || !sameUser(cached->user(), logon.user()))
            continue;
        // A cached logon later than this one qualifies as well.
        if (cached->time().secsTo(logon.time()) <= FillInWindowSecs)
            logon.setWorkstationFromHostName(cached->workstation());
    }
}

common::LogonList CollectorCache::resolveNames(common::LogonList batch) const
{
    if (settings::Settings::instance()->globalConfiguration().FlushDnsCache && !flushResolverCache())
        ApplicationDebug::logHigh(prefix() + QStringLiteral("unable to flush DNS cache"));
    const lookup::LookupOptions options = lookup::LookupOptions::fromConfiguration();

    ApplicationDebug::logHigh(prefix() + QStringLiteral("Try to resolve hostnames"));
    lookupHostNamesInThreads(batch, options);

    common::LogonList result;
    QList<HostAddresses> groups;
    QHash<QString, common::Logon> newestByName;
    for (const common::Logon &logon : qAsConst(batch)) {
        if (logon.workstation().isEmpty()) {
            result.append(logon);
            continue;
        }
        HostAddresses group(logon.workstation());
        group.append(logon.ip());
        groups.append(group);
        auto newest = newestByName.find(logon.workstation());
        if (newest == newestByName.end())
            newestByName.insert(logon.workstation(), logon);
        else if (newest->time() < logon.time())
            *newest = logon;
    }

    ApplicationDebug::logHigh(prefix() + QStringLiteral("Try to resolve IPs"));
    lookupAddressesInThreads(groups, options);
    // Every address a workstation resolves to goes to its newest logon of the batch.
    for (const HostAddresses &group : qAsConst(groups)) {
        const common::Logon &newest = newestByName[group.name];
        for (const QHostAddress &address : group.addresses) {
            common::Logon copy = newest;
            copy.setIp(address);
            result.append(copy);
        }
    }
    return result;
}

void CollectorCache::merge(const common::LogonList &batch, common::LogonList &createdLogons,
                           QList<common::Logoff> &logoffs)
{
    for (const common::Logon &logon : batch) {
        auto cached = byAddress.constFind(logon.ip());
        if (cached != byAddress.cend()) {
            if (cached->time() >= logon.time())
                continue;
            if (!sameUser(cached->user(), logon.user()))
                logoffs.append(common::Logoff(*cached, common::Logoff::LogoffSessionReplace));
        }
        common::Logon stored = logon;
        shareTexts(stored);
        store(stored);
        createdLogons.append(stored);
    }
}

void CollectorCache::removeExpired(const QDateTime &threshold)
{
    const auto later = std::greater<Expiry>();
    while (!expiryQueue.empty() && expiryQueue.front().time < threshold) {
        std::pop_heap(expiryQueue.begin(), expiryQueue.end(), later);
        const Expiry due = expiryQueue.back();
        expiryQueue.pop_back();
        auto cached = byAddress.constFind(due.ip);
        // An entry whose logon was replaced since is stale.
        if (cached == byAddress.cend() || cached->time() != due.time)
            continue;
        const common::Logon expired = *cached;
        ApplicationDebug::logHigh(
            prefix() + QStringLiteral("User remove from the cache (expired): %1 on %2 (%3)")
                           .arg(expired.user(), expired.ip().toString(), common::Clock::textDate(expired.time())));
        removeLocked(expired);
    }
    // Replaced logons leave stale entries behind; rebuild before they outnumber the live ones.
    if (expiryQueue.size() > 2 * size_t(byAddress.size()) + 1024) {
        expiryQueue.clear();
        expiryQueue.reserve(size_t(byAddress.size()));
        for (auto it = byAddress.cbegin(); it != byAddress.cend(); ++it)
            expiryQueue.push_back(Expiry{it->time(), it.key()});
        std::make_heap(expiryQueue.begin(), expiryQueue.end(), later);
    }
}

void CollectorCache::store(const common::Logon &logon)
{
    auto cached = byAddress.find(logon.ip());
    if (cached != byAddress.end()) {
        // The displaced logon leaves its workstation's record too, or the
        // index would keep addresses that belong to someone else now.
        unindexLogon(*cached);
        *cached = logon;
    } else {
        byAddress.insert(logon.ip(), logon);
    }
    indexLogon(logon);
    expiryQueue.push_back(Expiry{logon.time(), logon.ip()});
    std::push_heap(expiryQueue.begin(), expiryQueue.end(), std::greater<Expiry>());
    changed = true;
}

int CollectorCache::takeAt(const QHostAddress &ip)
{
    auto cached = byAddress.find(ip);
    if (cached == byAddress.end())
        return 0;
    unindexLogon(*cached);
    byAddress.erase(cached);
    changed = true;
    return 1;
}

bool CollectorCache::removeLocked(const common::Logon &logon)
{
    ApplicationDebug::logHigh(
        prefix() + QStringLiteral("Delete %1 (%2) from collector cache").arg(logon.user(), logon.ip().toString()));
    return takeAt(logon.ip()) == 1;
}

void CollectorCache::indexLogon(const common::Logon &logon)
{
    if (logon.workstation().isEmpty())
        return;
    auto record = byWorkstation.find(logon.workstation());
    if (record != byWorkstation.end() && sameUser(record->user, logon.user())) {
        auto entry = std::find_if(record->logons.begin(), record->logons.end(),
                                  [&](const common::Logon &l) { return l.ip() == logon.ip(); });
        if (entry != record->logons.end()) {
            entry->setTime(logon.time());
            entry->setSid(logon.sid());
            entry->setDomain(logon.domain());
            entry->setFqdn(logon.fqdn());
        } else {
            record->logons.append(logon);
        }
        record->time = logon.time();
        record->domain = logon.domain();
        record->fqdn = logon.fqdn();
        record->sid = logon.sid();
        return;
    }
    HostRecord fresh;
    fresh.user = logon.user();
    fresh.domain = logon.domain();
    fresh.fqdn = logon.fqdn();
    fresh.time = logon.time();
    fresh.sid = logon.sid();
    fresh.logons.append(logon);
    byWorkstation.insert(logon.workstation(), fresh);
}

void CollectorCache::unindexLogon(const common::Logon &logon)
{
    auto record = byWorkstation.find(logon.workstation());
    if (record == byWorkstation.end())
        return;
    auto entry = std::find(record->logons.begin(), record->logons.end(), logon);
    if (entry == record->logons.end())
        return;
    record->logons.erase(entry);
    if (record->logons.isEmpty())
        byWorkstation.erase(record);
}

void CollectorCache::shareTexts(common::Logon &logon)
{
    auto share = [this](const QString &text, void (common::Logon::*set)(const QString &), common::Logon &target) {
        auto known = sharedTexts.constFind(text);
        if (known != sharedTexts.cend())
            (target.*set)(*known);
        else if (sharedTexts.size() < MaxSharedTexts)
            sharedTexts.insert(text);
    };
    share(logon.domain(), &common::Logon::setDomain, logon);
    share(logon.fqdn(), &common::Logon::setFqdn, logon);
}

quint64 CollectorCache::takeDumpSnapshot(common::LogonList *snapshot)
{
    if (!changed)
        return 0;
    changed = false;
    ++version;
    if (!service::cacheDumpEnabled.load())
        return 0;
    snapshot->reserve(byAddress.size());
    for (auto it = byAddress.cbegin(); it != byAddress.cend(); ++it)
        snapshot->append(it.value());
    return version;
}

void CollectorCache::writeDump(const common::LogonList &snapshot, quint64 snapshotVersion)
{
    if (snapshotVersion == 0)
        return;
    QMutexLocker lock(&dumpMutex);
    // Another thread may have written a newer snapshot meanwhile.
    if (snapshotVersion <= dumpedVersion)
        return;
    dumpedVersion = snapshotVersion;
    writeLogons(dumpFile, snapshot);
}

QList<common::ShdLogon> CollectorCache::checkDns()
{
    if (settings::Settings::instance()->globalConfiguration().FlushDnsCache && !flushResolverCache())
        ApplicationDebug::logHigh(prefix() + QStringLiteral("unable to flush DNS cache"));
    QList<HostAddresses> names;
    {
        QMutexLocker lock(&mutex);
        names.reserve(byWorkstation.size());
        for (auto it = byWorkstation.cbegin(); it != byWorkstation.cend(); ++it)
            names.append(HostAddresses(it.key()));
    }
    QList<common::ShdLogon> result;
    if (names.isEmpty())
        return result;
    // Without the lock: the service core's snapshot must not wait for DNS.
    lookupAddressesInThreads(names, lookup::LookupOptions::fromConfiguration());

    common::LogonList snapshot;
    quint64 snapshotVersion = 0;
    {
        QMutexLocker lock(&mutex);
        const QDateTime now = common::Clock::now();
        // The records as they are now, after the look-ups; what the steps
        // below change goes to the live maps.
        const QHash<QString, HostRecord> records = byWorkstation;
        for (const HostAddresses &item : qAsConst(names)) {
            const QString &workstation = item.name;
            auto found = records.constFind(workstation);
            if (found == records.cend())
                continue; // left the cache while the look-ups ran
            const HostRecord &record = *found;
            // The system resolver answers once per socket type.
            QList<QHostAddress> addresses;
            for (const QHostAddress &address : item.addresses)
                if (!addresses.contains(address))
                    addresses.append(address);
            if (addresses.isEmpty()) {
                ApplicationDebug::logHigh(
                    prefix() + QStringLiteral("host lookup for user %1(%2) no IP found").arg(record.user, workstation));
                continue;
            }
            for (const QHostAddress &address : qAsConst(addresses)) {
                const bool known = std::any_of(record.logons.cbegin(), record.logons.cend(),
                                               [&](const common::Logon &l) { return l.ip() == address; });
                if (known) {
                    ApplicationDebug::logHigh(
                        prefix() + QStringLiteral("host lookup for user %1(%2): user already have %3 recorded")
                                       .arg(record.user, workstation, address.toString()));
                    continue;
                }
                const common::Logon added(record.user, address, record.time, workstation, record.domain, record.sid,
                                          record.fqdn);
                store(added);
                result.append(common::ShdLogon(new common::Logon(added)));
                ApplicationDebug::logHigh(
                    prefix() + QStringLiteral("host lookup for user %1(%2) new ip found: %3 create a new logon")
                                   .arg(record.user, workstation, address.toString()));
            }
            for (const common::Logon &gone : record.logons) {
                if (addresses.contains(gone.ip()))
                    continue;
                // An address another logon holds now (taken by an earlier
                // step of this check) is no longer this user's to lose.
                auto cached = byAddress.constFind(gone.ip());
                if (cached == byAddress.cend() || *cached != gone)
                    continue;
                removeLocked(gone);
                common::Logoff *logoff = new common::Logoff(gone, common::Logoff::LogoffDns);
                logoff->setTime(now);
                ApplicationDebug::logHigh(
                    prefix() + QStringLiteral("host lookup for user %1(%2) ip not found: %3: remove this logon")
                                   .arg(record.user, workstation, gone.ip().toString()));
                result.append(common::ShdLogon(logoff));
            }
        }
        snapshotVersion = takeDumpSnapshot(&snapshot);
    }
    writeDump(snapshot, snapshotVersion);
    return result;
}
