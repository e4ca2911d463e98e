#include "serviceframe/controlchannel.h"

#include <QElapsedTimer>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace serviceframe {

namespace {
struct StateName
{
    ServiceState state;
    const char *text;
};
const StateName stateNames[] = {
    {ServiceState::Stopped, "stopped"},
    {ServiceState::StartPending, "start-pending"},
    {ServiceState::StopPending, "stop-pending"},
    {ServiceState::Running, "running"},
    {ServiceState::ContinuePending, "continue-pending"},
    {ServiceState::PausePending, "pause-pending"},
    {ServiceState::Paused, "paused"},
};

class Fd
{
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    int get() const { return m_fd; }

private:
    int m_fd;
};
} // namespace

QByteArray stateText(ServiceState state)
{
    for (const StateName &name : stateNames) {
        if (name.state == state)
            return QByteArray(name.text);
    }
    return QByteArray("stopped");
}

bool stateFromText(const QByteArray &text, ServiceState *state)
{
    for (const StateName &name : stateNames) {
        if (text == name.text) {
            *state = name.state;
            return true;
        }
    }
    return false;
}

bool parseControlRequest(const QByteArray &line, ControlRequest *request)
{
    if (line == "stop") {
        request->kind = ControlRequest::Stop;
    } else if (line == "pause") {
        request->kind = ControlRequest::Pause;
    } else if (line == "resume") {
        request->kind = ControlRequest::Resume;
    } else if (line == "interrogate") {
        request->kind = ControlRequest::Interrogate;
    } else if (line == "status" || line == "mappings" || (line.startsWith("mappings ") && line.size() > 9)) {
        if (line.size() > MaxRequestLine)
            return false;
        request->kind = ControlRequest::Query;
        request->query = line;
    } else if (line.startsWith("control ")) {
        const QByteArray number = line.mid(8);
        if (number.isEmpty() || number.size() > 3)
            return false;
        for (const char c : number) {
            if (c < '0' || c > '9')
                return false;
        }
        const int control = number.toInt();
        if (control < 128 || control > 255)
            return false;
        request->kind = ControlRequest::UserControl;
        request->control = control;
    } else {
        return false;
    }
    return true;
}

QByteArray controlRequestLine(const ControlRequest &request)
{
    switch (request.kind) {
    case ControlRequest::Stop:
        return "stop";
    case ControlRequest::Pause:
        return "pause";
    case ControlRequest::Resume:
        return "resume";
    case ControlRequest::Interrogate:
        return "interrogate";
    case ControlRequest::UserControl:
        return "control " + QByteArray::number(request.control);
    case ControlRequest::Query:
        return request.query;
    }
    return "interrogate";
}

namespace {

// Connects, sends line and reads the reply: its first line, or everything
// until the service closes when toEnd is set. Fills reply's connection and
// error fields; answer holds what arrived.
void exchange(const QString &socketPath, const QByteArray &line, int timeoutMs, bool toEnd, ControlReply *reply,
              QByteArray *answer)
{
    const QByteArray path = socketPath.toLocal8Bit();
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= int(sizeof address.sun_path)) {
        reply->error = ENAMETOOLONG;
        return;
    }
    std::memcpy(address.sun_path, path.constData(), size_t(path.size()));

    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        reply->error = errno;
        return;
    }
    if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        reply->error = errno;
        return;
    }
    reply->connected = true;

    const QByteArray request = line + '\n';
    qint64 written = 0;
    while (written < request.size()) {
        const ssize_t n =
            ::send(fd.get(), request.constData() + written, size_t(request.size() - written), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            reply->error = errno;
            return;
        }
        written += n;
    }

    // A reply line is short; an answer is bounded so that a wrong peer cannot exhaust memory.
    const int limit = toEnd ? MaxQueryAnswer : 256;
    QElapsedTimer clock;
    clock.start();
    while ((toEnd || !answer->contains('\n')) && answer->size() < limit) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0) {
            reply->error = ETIMEDOUT;
            return;
        }
        pollfd p{fd.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, int(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0) {
            reply->error = ready == 0 ? ETIMEDOUT : errno;
            return;
        }
        char buffer[65536];
        const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 && toEnd && !answer->isEmpty())
            return; // the service closed: the answer is complete
        if (n <= 0) {
            reply->error = n == 0 ? ECONNRESET : errno;
            return;
        }
        answer->append(buffer, int(n));
    }
    if (toEnd)
        reply->error = EMSGSIZE;
}

// Reads "ok <state>" or "refused <state>" from the first line of answer.
void parseReplyLine(const QByteArray &answer, ControlReply *reply)
{
    const int end = answer.indexOf('\n');
    if (end < 0) {
        reply->error = EPROTO;
        return;
    }
    const QByteArray first = answer.left(end);
    const int blank = first.indexOf(' ');
    const QByteArray verdict = first.left(blank);
    if (blank < 0 || (verdict != "ok" && verdict != "refused") || !stateFromText(first.mid(blank + 1), &reply->state)) {
        reply->error = EPROTO;
        return;
    }
    reply->answered = true;
    reply->accepted = verdict == "ok";
}

} // namespace

ControlReply sendControlRequest(const QString &socketPath, const ControlRequest &request, int timeoutMs)
{
    ControlReply reply;
    QByteArray answer;
    exchange(socketPath, controlRequestLine(request), timeoutMs, false, &reply, &answer);
    if (reply.error == 0)
        parseReplyLine(answer, &reply);
    return reply;
}

QueryReply sendQuery(const QString &socketPath, const QByteArray &query, int timeoutMs)
{
    QueryReply result;
    QByteArray answer;
    exchange(socketPath, query, timeoutMs, true, &result.reply, &answer);
    if (result.reply.error != 0)
        return result;
    parseReplyLine(answer, &result.reply);
    if (result.reply.answered)
        result.body = answer.mid(answer.indexOf('\n') + 1);
    return result;
}

} // namespace serviceframe
