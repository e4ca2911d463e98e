#pragma once

#include <QByteArray>
#include <QString>

namespace serviceframe {

// The local control socket between the command line (-t, -p, -r, -c, -v) and
// the running service. One request line per connection, one reply line back:
//   requests: "stop", "pause", "resume", "interrogate", "control <n>" (n 128..255)
//   replies:  "ok <state>" when carried out, "refused <state>" when the
//             current state does not allow the request.
// Queries read what the running service knows and change nothing:
//   requests: "status", "mappings", "mappings <JSON object of filters>"
//   replies:  "ok <state>", a line end, then the service's answer (a JSON
//             document) until the connection closes; "refused <state>" when
//             the service is not running or paused or does not know the query.

// Values as the service manager numbers them.
enum class ServiceState {
    Stopped = 1,
    StartPending = 2,
    StopPending = 3,
    Running = 4,
    ContinuePending = 5,
    PausePending = 6,
    Paused = 7
};

QByteArray stateText(ServiceState state);
bool stateFromText(const QByteArray &text, ServiceState *state);

struct ControlRequest
{
    enum Kind { Stop, Pause, Resume, Interrogate, UserControl, Query };
    Kind kind = Interrogate;
    int control = 0;  // UserControl: 128..255
    QByteArray query; // Query: the whole request line
};

// The longest request line a service reads (queries carry their filters).
constexpr int MaxRequestLine = 4096;
// The largest query answer a client reads.
constexpr int MaxQueryAnswer = 512 * 1024 * 1024;

// Accepts exactly the request lines above (without the line end); anything
// else, including user controls outside 128..255, is refused.
bool parseControlRequest(const QByteArray &line, ControlRequest *request);
QByteArray controlRequestLine(const ControlRequest &request);

struct ControlReply
{
    bool connected = false; // somebody serves the socket
    bool answered = false;  // a well-formed reply line arrived
    bool accepted = false;
    ServiceState state = ServiceState::Stopped;
    int error = 0; // errno of the failure, when there is one
};

// Connects, sends the request and waits at most timeoutMs for the reply.
ControlReply sendControlRequest(const QString &socketPath, const ControlRequest &request, int timeoutMs);

struct QueryReply
{
    ControlReply reply; // answered and accepted once "ok <state>" arrived
    QByteArray body;    // what followed it, complete when the service closed
};

// Sends a query line and reads the reply to its end, at most timeoutMs in all.
QueryReply sendQuery(const QString &socketPath, const QByteArray &query, int timeoutMs);

} // namespace serviceframe
