#include "eventsource/apieventlogging.h"

#include "common/clock.h"
#include "log/applicationdebug.h"

#include <vector>

namespace userCollector {

namespace {

const QString SecurityLog = QStringLiteral("Security");

// Smallest number of insertion strings that holds every field taken from the event.
int minimumStrings(quint32 eventId)
{
    switch (eventId) {
    case EventIdLogonLegacy:
        return 14;
    case EventIdLogon:
        return 19;
    default:
        return 10;
    }
}

} // namespace

ApiEventLogging::ApiEventLogging(const QString &server, const QStringList &ignoreList, quint32 maxSecondToRead,
                                 const QString &fqdn, const QString &netbios)
    : IActiveDirectoryEventCollector(server), maxSecondToRead(maxSecondToRead), rules(server, ignoreList, fqdn, netbios)
{}

common::LogonList ApiEventLogging::collect()
{
    failureTime() = QDateTime();
    m_failureReason.clear();
    m_lastEventsRead = 0;
    m_logKind = QStringLiteral("legacy");
    common::LogonList logons;
    try {
        if (!log.open(server, SecurityLog))
            throw EventException(QStringLiteral("opening event log failed with server (%1)")
                                     .arg(EventLogFile::errorText(log.lastError())));
        bytesRead = 0;
        eventsRead = 0;
        if (newestRecord == 0)
            firstRead(&logons);
        else
            readLog(EventLogFile::SeekRead | EventLogFile::ForwardsRead, newestRecord, false, &logons);
        ApplicationDebug::logHigh(QStringLiteral("%1: Bytes read: %2").arg(server).arg(bytesRead));
        ApplicationDebug::logHigh(QStringLiteral("%1: Number of events read: %2").arg(server).arg(eventsRead));
        ApplicationDebug::logHigh(QStringLiteral("%1: Number of logons found: %2").arg(server).arg(logons.size()));
        m_lastEventsRead = eventsRead;
    } catch (const EventException &e) {
        failureTime() = common::Clock::now();
        m_failureReason = QString::fromLatin1(e.what());
        m_lastEventsRead = eventsRead;
        ApplicationDebug::logLow(QStringLiteral("%1: %2").arg(server, QString::fromLatin1(e.what())));
    }
    log.close();
    return logons;
}

bool ApiEventLogging::testConnection()
{
    EventLogFile probe;
    if (!probe.open(server, SecurityLog)) {
        ApplicationDebug::logLow(
            QStringLiteral("%1: Unable to open event log: %2").arg(server, EventLogFile::errorText(probe.lastError())));
        return false;
    }
    probe.close();
    return true;
}

void ApiEventLogging::firstRead(common::LogonList *logons)
{
    const QDateTime cutoff = readCutoff(maxSecondToRead);
    // Only the records of this walk decide where it stops (a log read
    // before it was cleared says nothing about the new one).
    oldestTime = QDateTime();
    // Each buffer goes on backwards from where the previous one stopped, so
    // no record is parsed twice and one too large for the rest of a buffer
    // is read into a grown buffer next.
    const quint32 backwards = EventLogFile::SequentialRead | EventLogFile::BackwardsRead;
    ReadEnd end = readLog(backwards, 0, true, logons);
    while (end == ReadEnd::OneBuffer && !(oldestTime.isValid() && oldestTime < cutoff)) {
        const quint32 reached = oldestRecord;
        end = readLog(backwards, 0, true, logons);
        if (oldestRecord == reached)
            break;
    }
}

ApiEventLogging::ReadEnd ApiEventLogging::readLog(quint32 flags, quint32 recordNumber, bool oneBuffer,
                                                  common::LogonList *logons)
{
    std::vector<char> buffer(InitialBufferSize);
    quint32 readFlags = flags;
    while (!stopRequested) {
        quint32 got = 0;
        quint32 needed = 0;
        if (log.read(readFlags, recordNumber, buffer.data(), quint32(buffer.size()), &got, &needed)) {
            bytesRead += got;
            parseRecords(buffer.data(), got, logons);
            if (oneBuffer)
                return ReadEnd::OneBuffer;
            // Go on from where this read stopped, in the same direction.
            readFlags = (flags & ~quint32(EventLogFile::SeekRead)) | EventLogFile::SequentialRead;
            continue;
        }
        const quint32 code = log.lastError();
        switch (code) {
        case EventLogFile::ErrorInsufficientBuffer:
            buffer = std::vector<char>(needed);
            ApplicationDebug::logHigh(
                QStringLiteral("%1: Insufficient buffer allocate a new one : %2").arg(server).arg(needed));
            break;
        case EventLogFile::ErrorInvalidParameter:
            ApplicationDebug::logHigh(QStringLiteral("%1: Invalid parameters : admin has clear the log ?").arg(server));
            oldestRecord = 0;
            newestRecord = 0;
            return ReadEnd::Cleared;
        case EventLogFile::ErrorHandleEof:
            return ReadEnd::EndOfLog;
        default:
            throw EventException(QStringLiteral("unable to read event log: %1.").arg(EventLogFile::errorText(code)));
        }
    }
    return ReadEnd::Stopped;
}

void ApiEventLogging::parseRecords(const char *buffer, quint32 size, common::LogonList *logons)
{
    EventLogRecordReader reader(buffer, size);
    EventLogRecord record;
    while (reader.next(&record)) {
        ++eventsRead;
        newestRecord = qMax(newestRecord, record.recordNumber);
        if (oldestRecord == 0 || record.recordNumber < oldestRecord)
            oldestRecord = record.recordNumber;
        const QDateTime time = QDateTime::fromSecsSinceEpoch(qint64(record.timeGenerated));
        if (!oldestTime.isValid() || time < oldestTime)
            oldestTime = time;
        switch (record.eventId) {
        case EventIdLogonLegacy:
        case EventIdLogon:
        case EventIdKerberosTicket:
        case EventIdKerberosTicketLegacy:
            parseLogon(record, time, logons);
            break;
        default:
            break;
        }
    }
    if (reader.failed())
        ApplicationDebug::logLow(QStringLiteral("%1: Event record at offset %2 refused: %3")
                                     .arg(server)
                                     .arg(reader.offset())
                                     .arg(reader.error()));
}

void ApiEventLogging::parseLogon(const EventLogRecord &record, const QDateTime &time, common::LogonList *logons)
{
    QStringList strings;
    QString why;
    if (!eventLogRecordStrings(record, &strings, &why)) {
        ApplicationDebug::logLow(
            QStringLiteral("%1: Event record %2 refused: %3").arg(server).arg(record.recordNumber).arg(why));
        return;
    }
    const int minimum = minimumStrings(record.eventId);
    if (strings.size() < minimum) {
        ApplicationDebug::logHigh(QStringLiteral("warning: Number of strings in event < %1").arg(minimum));
        return;
    }
    for (QString &text : strings)
        text = text.trimmed();

    LogonCandidate candidate;
    candidate.time = time;
    switch (record.eventId) {
    case EventIdLogonLegacy:
        candidate.user = strings.at(0);
        candidate.domain = strings.at(1);
        candidate.logonType = strings.at(3);
        candidate.logonProcess = strings.at(4);
        candidate.workstation = strings.at(6);
        candidate.address = eventAddress(strings.at(13), false);
        break;
    case EventIdLogon:
        candidate.sid = strings.at(4);
        candidate.user = strings.at(5);
        candidate.domain = strings.at(6);
        candidate.logonType = strings.at(8);
        candidate.logonProcess = strings.at(9);
        candidate.workstation = strings.at(11);
        // The same event read through the newer interface loses the
        // IPv4-mapped prefix; both readers must give the same address.
        candidate.address = eventAddress(strings.at(18), true);
        break;
    case EventIdKerberosTicket:
        candidate.user = strings.at(0);
        candidate.domain = strings.at(1);
        candidate.sid = strings.at(2);
        candidate.logonType = strings.at(6) == LogonTypeTicketOk ? LogonTypeTicketOk : LogonTypeTicketFailed;
        candidate.address = eventAddress(strings.at(9), true);
        break;
    case EventIdKerberosTicketLegacy:
        candidate.user = strings.at(0);
        candidate.domain = strings.at(1);
        candidate.sid = strings.at(2);
        candidate.sid.remove(QLatin1Char('%')).remove(QLatin1Char('{')).remove(QLatin1Char('}'));
        candidate.logonType = strings.at(6) == QLatin1String("-") ? LogonTypeTicketOk : LogonTypeTicketFailed;
        candidate.address = eventAddress(strings.at(9), false);
        break;
    default:
        return;
    }
    common::Logon logon;
    if (rules.makeLogon(candidate, &logon))
        logons->append(logon);
}

} // namespace userCollector
