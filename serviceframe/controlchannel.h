#pragma once

#include <QByteArray>
#include <QString>

namespace serviceframe {

// The local control socket between the command line (-t, -p, -r, -c, -v) and
// the running service. One request line per connection, one reply line back:
//   requests: "stop", "pause", "resume", "interrogate", "control <n>" (n 128..255)
//   replies:  "ok <state>" when carried out, "refused <state>" when the
//             current state does not allow the request.

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
    enum Kind { Stop, Pause, Resume, Interrogate, UserControl };
    Kind kind = Interrogate;
    int control = 0; // UserControl: 128..255
};

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

} // namespace serviceframe
