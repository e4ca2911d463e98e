#pragma once

#include "eventsource/eventlogsession.h"
#include "eventsource/iactivedirectoryeventcollector.h"
#include "eventsource/logonrules.h"

#include <QMap>
#include <memory>

namespace userCollector {

// The default source: reads the 4624 and 4768 events of a domain
// controller's Security log, newest first, from the bookmark lastRecordId up,
// and stops at the first event older than maxSecondToRead seconds. The log is
// reached through an event-log platform layer; by default the event store
// "eventlog/<server>/" beside the executable.
class ApiWindowsEventLog : public IActiveDirectoryEventCollector
{
public:
    ApiWindowsEventLog(const QString &server, const QStringList &ignoreList, quint32 maxSecondToRead,
                       const QString &fqdn, const QString &netbios);
    // Reads through the given platform layer instead of the event store.
    ApiWindowsEventLog(const QString &server, const QStringList &ignoreList, quint32 maxSecondToRead,
                       const QString &fqdn, const QString &netbios, std::unique_ptr<IEventLogPlatform> platform);
    ~ApiWindowsEventLog() override;

    common::LogonList collect() override;
    bool testConnection() override;
    void stop() override;

    quint64 lastRecordId() const { return m_lastRecordId; }
    const QMap<QString, QString> &netbiosCache() const { return m_rules.domainNames().netbiosCache(); }
    const QMap<QString, QString> &dnsCache() const { return m_rules.domainNames().dnsCache(); }

    // Events fetched per call and the query's event identifiers.
    static constexpr int BatchSize = 100;

    // The folder holding the event stores: "eventlog" beside the executable,
    // unless a test or the diagnostic tool names another. Read at construction.
    static QString storeRoot();
    static void setStoreRootForTest(const QString &root);

private:
    enum class Step { Continue, Stop };
    void readResults(common::LogonList *logons);
    Step processEvent(const RenderedEvent &event, common::LogonList *logons);
    void logQueryFailure(quint32 error) const;
    QString errorText(quint32 error) const;

    quint32 m_maxSecondToRead;
    QStringList m_ignoreList;
    QString m_fqdn;
    QString m_netbios;
    quint64 m_lastRecordId = 0;
    std::unique_ptr<IEventLogPlatform> m_platform;
    std::unique_ptr<IEventLogSession> m_session;
    std::unique_ptr<IEventLogQuery> m_query;
    LogonRules m_rules;
    qint64 m_cutoff = 0; // of the running collection, milliseconds since the epoch
    qint64 m_lastSeconds = 0;
    QDateTime m_lastTime; // the local date-time of m_lastSeconds
};

} // namespace userCollector
