#pragma once

#include "common/exception.h"
#include "common/logon.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <atomic>

namespace userCollector {

// Reads the successful-logon events of one domain controller. collect()
// returns the logons found since the previous call; a source keeps its
// bookmark and caches between calls, so the caller keeps one per domain
// controller. Used by one thread at a time, no locks. collect() and
// testConnection() never throw: a domain controller that cannot be read is
// logged and leaves failureTime() valid until the next good collection.
class IActiveDirectoryEventCollector
{
public:
    class ENoApiFound : public common::Exception
    {
    public:
        ENoApiFound() : common::Exception(QString()) {}
        QString className() const override { return QStringLiteral("IActiveDirectoryEventCollector::ENoApiFound"); }
    };

    class EventException : public common::Exception
    {
    public:
        explicit EventException(const QString &text) : common::Exception(text) {}
        QString className() const override { return QStringLiteral("IActiveDirectoryEventCollector::EventException"); }
    };

    explicit IActiveDirectoryEventCollector(const QString &server) : server(server) {}
    IActiveDirectoryEventCollector(const IActiveDirectoryEventCollector &) = delete;
    IActiveDirectoryEventCollector &operator=(const IActiveDirectoryEventCollector &) = delete;
    virtual ~IActiveDirectoryEventCollector() = default;

    virtual common::LogonList collect() = 0;
    // True when the domain controller's Security log can be opened and queried.
    virtual bool testConnection() = 0;
    virtual void stop() = 0;
    // Null after a good collection, the time of the failure after a bad one.
    QDateTime &failureTime() { return m_failureTime; }

    const QString &serverName() const { return server; }

    // What the last collection saw, for the agent's status: why it failed
    // (an operator's words, empty after a good one), how many events it
    // looked at, and the kind of log it read ("EVTX", "XML", "legacy",
    // "mock"; empty while none was found).
    const QString &failureReason() const { return m_failureReason; }
    quint64 lastEventsRead() const { return m_lastEventsRead; }
    const QString &logKind() const { return m_logKind; }

    // Picks the kind of source by ApiName (ignoring case): empty or
    // "WindowsEventLog", "EventLogging", "Mock". Anything else throws
    // ENoApiFound. The caller owns the result.
    static IActiveDirectoryEventCollector *create(const QString &apiName, const QString &server,
                                                  const QStringList &ignoreList, quint32 maxSecondToRead,
                                                  const QString &fqdn, const QString &netbios);

protected:
    QString server;
    // Set by stop() from another thread while collect() runs.
    std::atomic<bool> stopRequested{false};
    QDateTime m_failureTime;
    QString m_failureReason;
    quint64 m_lastEventsRead = 0;
    QString m_logKind;
};

} // namespace userCollector
