#pragma once

#include <QString>
#include <array>
#include <memory>
#include <vector>

namespace userCollector {

// Types a rendered value may have (numbered as the event-log API numbers them).
enum class EventValueType : quint32 {
    Null = 0,
    String = 1,
    UInt16 = 6,
    UInt32 = 8,
    UInt64 = 10,
    FileTime = 17,
    Sid = 19,
    HexInt32 = 20,
};

struct EventValue
{
    EventValueType type = EventValueType::Null;
    QString text;       // String and Sid
    quint64 number = 0; // the numeric types; FileTime in 100 ns units since 1601-01-01 UTC
};

// The eleven values the reader takes from each event, by index.
enum EventValueIndex : int {
    ValueWorkstationName = 0,
    ValueTimeCreated,
    ValueEventId,
    ValueEventRecordId,
    ValueIpAddress,
    ValueTargetDomainName,
    ValueTargetUserSid,
    ValueTargetUserName,
    ValueLogonType,
    ValueLogonProcessName,
    ValueStatus,
    ValueCount
};

// One event of a result set: its values, or why they could not be rendered.
struct RenderedEvent
{
    bool rendered = false;
    quint32 renderError = 0; // when not rendered
    QString renderErrorText;
    std::array<EventValue, ValueCount> values;
};

// Error codes of the event-log layer (the values the Windows API uses).
namespace EventLogError {
constexpr quint32 InvalidData = 13;
constexpr quint32 NoMoreItems = 259;
constexpr quint32 RpcServerUnavailable = 1722;
constexpr quint32 InvalidQuery = 15001;
constexpr quint32 ChannelNotFound = 15007;
} // namespace EventLogError

// A query on the Security channel of one session: events with an
// EventRecordID above a bookmark and one of some event identifiers, newest first.
class IEventLogQuery
{
public:
    virtual ~IEventLogQuery() = default;
    // Up to max events appended to events; 0 on success, NoMoreItems at the end, another code on failure.
    virtual quint32 next(int max, std::vector<RenderedEvent> *events) = 0;
};

// A session to one domain controller's event log (the platform layer).
class IEventLogSession
{
public:
    virtual ~IEventLogSession() = default;
    // Null with error set when the channel cannot be queried.
    virtual std::unique_ptr<IEventLogQuery> query(quint64 afterRecordId, const std::vector<quint16> &eventIds,
                                                  quint32 *error) = 0;
    // Runs a query on the channel and closes it at once, reading nothing and
    // changing nothing; 0 when the channel can be queried, else the error.
    virtual quint32 testQuery() = 0;
};

// Opens sessions; one per source, so it may keep what it learnt of the log
// between sessions (where the previous reading ended).
class IEventLogPlatform
{
public:
    virtual ~IEventLogPlatform() = default;
    virtual std::unique_ptr<IEventLogSession> openSession(const QString &server, quint32 *error) = 0;
    // The system's text for an error code of this layer.
    virtual QString errorMessage(quint32 error) const;
    // The kind of log the last query read ("EVTX", "XML"), empty when unknown.
    virtual QString logKind() const { return QString(); }
    // Where the log of server is looked for, for an operator; empty when unknown.
    virtual QString location(const QString &server) const
    {
        Q_UNUSED(server)
        return QString();
    }
};

} // namespace userCollector
