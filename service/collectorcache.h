#pragma once

#include "common/logon.h"
#include "service/dumpfile.h"
#include "service/hostrecord.h"
#include "settings/configuration.h"

#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QMutex>
#include <QSet>
#include <QString>
#include <vector>

// Who is logged on at which address for one set of domain controllers
// (adName): the newest logon per address, and per workstation the addresses
// its newest user was seen at. Merges the batches of the collector tasks,
// decides which logons are announced, produces the logoffs of a second user
// on an address and of addresses a workstation no longer resolves to, and
// forgets logons CacheTimeout seconds after their time.
//
// Owned by the logon collector of the adName; update, remove and checkDns are
// called from its thread, logons() also from the service core's thread. Every
// operation is thread-safe. Name look-ups (DnsEnabled) run without the lock,
// so a snapshot never waits for DNS; their results are applied under the lock
// to the cache as it is then.
class CollectorCache
{
public:
    explicit CollectorCache(const settings::ADConfiguration &config);
    CollectorCache(const CollectorCache &) = delete;
    CollectorCache &operator=(const CollectorCache &) = delete;

    // Merges one batch. createdLogons receives the logons to announce (new,
    // or newer than the cached one at their address), logoffs the cached
    // logons that another user replaced. Both are cleared first.
    void update(const common::LogonList &newLogons, common::LogonList &createdLogons, QList<common::Logoff> &logoffs);
    // Deletes whatever logon is cached at logon.ip(); true when one was.
    bool remove(const common::Logon &logon);
    // Deletes the logon cached at the logoff's address only when it is the
    // same user's and not newer than the logoff: a late logoff must not take
    // away a later logon there. True when one was deleted.
    bool removeEnded(const common::Logoff &logoff);
    // A copy of every cached logon, in no particular order.
    common::LogonList logons() const;
    // Asks where every indexed workstation is now: each element of the
    // result is a new common::Logon (an address the workstation gained) or a
    // common::Logoff of type LogoffDns (an address it lost, now removed).
    QList<common::ShdLogon> checkDns();

    int size() const;
    // The workstation index, for tests and benchmarks.
    QHash<QString, HostRecord> hostRecordsForTest() const;

private:
    // An address and the time of the logon stored there; the expiry queue
    // keeps the earliest on top. Entries of logons replaced since are
    // skipped when they come up.
    struct Expiry
    {
        QDateTime time;
        QHostAddress ip;
        bool operator>(const Expiry &other) const { return time > other.time; }
    };

    // Threshold: logons not later than this are dropped (now - CacheTimeout).
    common::LogonList newestPerAddress(const common::LogonList &list, const QDateTime &threshold) const;
    void fillWorkstations(common::LogonList &batch) const;
    common::LogonList resolveNames(common::LogonList batch) const;
    void merge(const common::LogonList &batch, common::LogonList &createdLogons, QList<common::Logoff> &logoffs);
    void removeExpired(const QDateTime &threshold);

    // The helpers below expect the lock to be held.
    void store(const common::Logon &logon);
    int takeAt(const QHostAddress &ip);
    bool removeLocked(const common::Logon &logon);
    void indexLogon(const common::Logon &logon);
    void unindexLogon(const common::Logon &logon);
    void shareTexts(common::Logon &logon);
    // Takes a snapshot for the dump file when the cache changed; the caller
    // writes it with writeDump once the lock is released.
    quint64 takeDumpSnapshot(common::LogonList *snapshot);
    void writeDump(const common::LogonList &snapshot, quint64 version);
    QString prefix() const { return config.shortName() + QStringLiteral(": "); }

    QHash<QHostAddress, common::Logon> byAddress; // guarded by mutex
    QHash<QString, HostRecord> byWorkstation;     // guarded by mutex
    settings::ADConfiguration config;
    DumpFile *dumpFile;
    mutable QMutex mutex;

    std::vector<Expiry> expiryQueue; // a min-heap on time; guarded by mutex
    // Domain texts are the same for nearly every logon: one copy each saves
    // memory in large caches. Bounded, so odd input cannot grow it.
    QSet<QString> sharedTexts; // guarded by mutex
    bool changed = false;      // since the last dump snapshot; guarded by mutex
    quint64 version = 0;       // of the cache content; guarded by mutex

    QMutex dumpMutex;          // orders dump writes by version
    quint64 dumpedVersion = 0; // guarded by dumpMutex
};
