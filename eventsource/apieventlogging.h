#pragma once

#include "eventsource/eventlogfile.h"
#include "eventsource/iactivedirectoryeventcollector.h"
#include "eventsource/logonrules.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace userCollector {

// Reads a domain controller's Security log through the legacy event-log
// interface: raw records in large buffers, the logons of both event
// generations (540/672 and 4624/4768) taken from their insertion strings by
// position. The first collection reads backwards from the newest record until
// it has passed maxSecondToRead seconds; later ones read forwards from the
// newest record seen (which is read again). A cleared log sends the source
// back to a first read. Used by the collector task's thread only.
class ApiEventLogging : public IActiveDirectoryEventCollector
{
public:
    ApiEventLogging(const QString &server, const QStringList &ignoreList, quint32 maxSecondToRead, const QString &fqdn,
                    const QString &netbios);
    ~ApiEventLogging() override = default;

    common::LogonList collect() override;
    bool testConnection() override;
    // Final: no read starts afterwards.
    void stop() override { stopRequested = true; }

    quint32 oldestRecordForTest() const { return oldestRecord; }
    quint32 newestRecordForTest() const { return newestRecord; }
    quint32 bytesReadForTest() const { return bytesRead; }
    quint32 eventsReadForTest() const { return eventsRead; }

    static constexpr quint32 InitialBufferSize = 0x7FFFF;

private:
    enum class ReadEnd { EndOfLog, OneBuffer, Cleared, Stopped };

    void firstRead(common::LogonList *logons);
    ReadEnd readLog(quint32 flags, quint32 recordNumber, bool oneBuffer, common::LogonList *logons);
    void parseRecords(const char *buffer, quint32 size, common::LogonList *logons);
    void parseLogon(const EventLogRecord &record, const QDateTime &time, common::LogonList *logons);

    quint32 oldestRecord = 0;
    quint32 newestRecord = 0;
    QDateTime oldestTime;
    quint32 maxSecondToRead;
    quint32 bytesRead = 0;
    quint32 eventsRead = 0;
    // ignoreList, fqdn, netbios and the two domain-name caches.
    LogonRules rules;
    EventLogFile log;
};

} // namespace userCollector
