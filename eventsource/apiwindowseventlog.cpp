#include "eventsource/apiwindowseventlog.h"

#include "common/clock.h"
#include "eventsource/eventstore.h"
#include "log/applicationdebug.h"

#include <QCoreApplication>
#include <QMutex>
#include <QMutexLocker>
#include <utility>

namespace userCollector {

namespace {

QMutex storeRootMutex;
QString storeRootOverride; // guarded by storeRootMutex

const std::vector<quint16> QueriedEvents = {static_cast<quint16>(EventIdLogon),
                                            static_cast<quint16>(EventIdKerberosTicket)};

constexpr qint64 SecondsFrom1601To1970 = 11644473600LL;

} // namespace

QString ApiWindowsEventLog::storeRoot()
{
    {
        QMutexLocker lock(&storeRootMutex);
        if (!storeRootOverride.isEmpty())
            return storeRootOverride;
    }
    return QCoreApplication::applicationDirPath() + QStringLiteral("/eventlog");
}

void ApiWindowsEventLog::setStoreRootForTest(const QString &root)
{
    QMutexLocker lock(&storeRootMutex);
    storeRootOverride = root;
}

ApiWindowsEventLog::ApiWindowsEventLog(const QString &server, const QStringList &ignoreList, quint32 maxSecondToRead,
                                       const QString &fqdn, const QString &netbios)
    : ApiWindowsEventLog(server, ignoreList, maxSecondToRead, fqdn, netbios, std::make_unique<EventStore>(storeRoot()))
{}

ApiWindowsEventLog::ApiWindowsEventLog(const QString &server, const QStringList &ignoreList, quint32 maxSecondToRead,
                                       const QString &fqdn, const QString &netbios,
                                       std::unique_ptr<IEventLogPlatform> platform)
    : IActiveDirectoryEventCollector(server), m_maxSecondToRead(maxSecondToRead), m_ignoreList(ignoreList),
      m_fqdn(fqdn), m_netbios(netbios), m_platform(std::move(platform)), m_rules(server, ignoreList, fqdn, netbios)
{}

ApiWindowsEventLog::~ApiWindowsEventLog()
{
    stop();
}

void ApiWindowsEventLog::stop()
{
    m_query.reset();
    m_session.reset();
}

QString ApiWindowsEventLog::errorText(quint32 error) const
{
    return QStringLiteral("%1 (error: %2)").arg(m_platform->errorMessage(error)).arg(error);
}

void ApiWindowsEventLog::logQueryFailure(quint32 error) const
{
    switch (error) {
    case EventLogError::ChannelNotFound:
        ApplicationDebug::logLow(QStringLiteral("%1: The channel was not found.").arg(server));
        break;
    case EventLogError::InvalidQuery:
        ApplicationDebug::logLow(QStringLiteral("%1: The query is not valid.").arg(server));
        break;
    case EventLogError::RpcServerUnavailable:
        ApplicationDebug::logLow(
            QStringLiteral("%1: EvtQuery failed. Error %2. To connect to the remote computer, the remote computer must "
                           "enable the \"Remote Event Log Management\" Windows Firewall exception.")
                .arg(server)
                .arg(error));
        break;
    default:
        ApplicationDebug::logLow(QStringLiteral("%1: EvtQuery failed. Error %2.").arg(server).arg(error));
        break;
    }
}

common::LogonList ApiWindowsEventLog::collect()
{
    m_failureTime = QDateTime();
    m_failureReason.clear();
    m_lastEventsRead = 0;
    common::LogonList logons;
    if (!m_session) {
        quint32 error = 0;
        m_session = m_platform->openSession(server, &error);
        if (!m_session) {
            m_failureTime = common::Clock::now();
            m_failureReason = QStringLiteral("the event log cannot be opened: %1").arg(errorText(error));
            const QString location = m_platform->location(server);
            if (!location.isEmpty())
                m_failureReason += QStringLiteral("; no event store at %1").arg(location);
            ApplicationDebug::logHigh(
                QStringLiteral("%1: Failed to connect to remote computer. Error code is %2.").arg(server).arg(error));
            return logons;
        }
    }
    quint32 error = 0;
    m_query = m_session->query(m_lastRecordId, QueriedEvents, &error);
    if (!m_query) {
        logQueryFailure(error);
        m_failureTime = common::Clock::now();
        m_failureReason = QStringLiteral("the Security log cannot be read: %1").arg(errorText(error));
        const QString location = m_platform->location(server);
        if (!location.isEmpty())
            m_failureReason += QStringLiteral(" (in %1)").arg(location);
        m_session.reset();
        return logons;
    }
    m_logKind = m_platform->logKind();
    readResults(&logons);
    m_query.reset();
    m_session.reset();
    return logons;
}

void ApiWindowsEventLog::readResults(common::LogonList *logons)
{
    m_cutoff = readCutoff(m_maxSecondToRead).toMSecsSinceEpoch();
    quint64 found = 0;
    std::vector<RenderedEvent> batch;
    for (;;) {
        batch.clear();
        const quint32 status = m_query->next(BatchSize, &batch);
        if (status == EventLogError::NoMoreItems)
            break;
        if (status != 0) {
            ApplicationDebug::logLow(QStringLiteral("%1: EvtNext failed with %2.").arg(server).arg(status));
            break;
        }
        if (batch.empty())
            continue;
        found += batch.size();
        bool stopReading = false;
        for (const RenderedEvent &event : batch) {
            if (processEvent(event, logons) == Step::Stop) {
                stopReading = true;
                break;
            }
        }
        if (stopReading)
            break;
    }
    m_lastEventsRead = found;
    ApplicationDebug::logHigh(QStringLiteral("%1: %2 events found.").arg(server).arg(found));
}

ApiWindowsEventLog::Step ApiWindowsEventLog::processEvent(const RenderedEvent &event, common::LogonList *logons)
{
    if (!event.rendered) {
        ApplicationDebug::logLow(
            QStringLiteral("%1: EvtRender failed with %2.")
                .arg(server, QStringLiteral("%1 (error: %2)").arg(event.renderErrorText).arg(event.renderError)));
        return Step::Continue;
    }
    const auto value = [&event](EventValueIndex index) -> const EventValue & {
        return event.values[static_cast<std::size_t>(index)];
    };
    const auto text = [&value](EventValueIndex index) {
        const EventValue &v = value(index);
        return v.type == EventValueType::String ? v.text : QString();
    };

    LogonCandidate candidate;
    candidate.workstation = text(ValueWorkstationName);
    const EventValue &created = value(ValueTimeCreated);
    const EventValue &recordId = value(ValueEventRecordId);
    if (created.type != EventValueType::FileTime) {
        // Without a creation time the event can be neither dated nor compared
        // with the cut-off; it is seen, but it is no logon.
        if (recordId.type == EventValueType::UInt64)
            m_lastRecordId = std::max<quint64>(m_lastRecordId, recordId.number);
        ApplicationDebug::logLow(QStringLiteral("%1: event %2 has no creation time, skipped")
                                     .arg(server)
                                     .arg(recordId.type == EventValueType::UInt64 ? recordId.number : 0));
        return Step::Continue;
    }
    // Compared as a number: a local date-time costs a conversion, made only
    // for events within the window and once per second of the log.
    const qint64 seconds = static_cast<qint64>(created.number / 10000000ULL) - SecondsFrom1601To1970;
    if (seconds * 1000 < m_cutoff)
        return Step::Stop; // newest first: all that follow are older still
    if (seconds != m_lastSeconds || !m_lastTime.isValid()) {
        m_lastSeconds = seconds;
        m_lastTime = QDateTime::fromSecsSinceEpoch(seconds, Qt::LocalTime);
    }
    candidate.time = m_lastTime;

    const EventValue &eventIdValue = value(ValueEventId);
    const quint32 eventId = eventIdValue.type == EventValueType::UInt16 ? static_cast<quint32>(eventIdValue.number) : 0;
    if (recordId.type == EventValueType::UInt64)
        m_lastRecordId = std::max<quint64>(m_lastRecordId, recordId.number);

    if (value(ValueIpAddress).type == EventValueType::String)
        candidate.address = eventAddress(value(ValueIpAddress).text, true);
    candidate.domain = text(ValueTargetDomainName);
    if (value(ValueTargetUserSid).type == EventValueType::Sid)
        candidate.sid = value(ValueTargetUserSid).text;
    candidate.user = text(ValueTargetUserName);
    if (value(ValueLogonType).type == EventValueType::UInt32)
        candidate.logonType = QString::number(value(ValueLogonType).number);
    candidate.logonProcess = text(ValueLogonProcessName).trimmed();
    const EventValue &status = value(ValueStatus);
    if (eventId == EventIdKerberosTicket && status.type == EventValueType::HexInt32) {
        if (status.number == 0) {
            candidate.logonType = LogonTypeTicketOk;
        } else {
            ApplicationDebug::logLow(QStringLiteral("Type: %1, value: %2")
                                         .arg(static_cast<quint32>(status.type))
                                         .arg(static_cast<quint32>(status.number)));
            candidate.logonType = LogonTypeTicketFailed;
        }
    }
    common::Logon logon;
    if (m_rules.makeLogon(std::move(candidate), &logon))
        logons->append(logon);
    return Step::Continue;
}

bool ApiWindowsEventLog::testConnection()
{
    quint32 error = 0;
    std::unique_ptr<IEventLogSession> session = m_platform->openSession(server, &error);
    if (!session)
        return false;
    error = session->testQuery();
    if (error != 0) {
        logQueryFailure(error);
        return false;
    }
    return true;
}

} // namespace userCollector
