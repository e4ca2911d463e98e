#include "serviceframe/handlerthread.h"

#include "serviceframe/qtservicebase.h"
#include "serviceframe/qtservicebase_p.h"

#include <QCoreApplication>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QMutexLocker>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

using serviceframe::ControlRequest;
using serviceframe::ServiceState;

namespace {
const int RequestReadTimeoutMs = 5000;

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool fillAddress(const QByteArray &path, sockaddr_un *address)
{
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() >= int(sizeof address->sun_path))
        return false;
    std::memcpy(address->sun_path, path.constData(), size_t(path.size()));
    return true;
}

// systemd learns the state from these lines; READY=1 ends "activating".
QByteArray notifyText(ServiceState state)
{
    switch (state) {
    case ServiceState::StartPending:
        return "STATUS=start pending";
    case ServiceState::Running:
        return "READY=1\nSTATUS=running";
    case ServiceState::PausePending:
        return "STATUS=pause pending";
    case ServiceState::Paused:
        return "STATUS=paused";
    case ServiceState::ContinuePending:
        return "STATUS=continue pending";
    case ServiceState::StopPending:
        return "STOPPING=1\nSTATUS=stop pending";
    case ServiceState::Stopped:
        return "STATUS=stopped";
    }
    return QByteArray();
}
} // namespace

HandlerThread::HandlerThread(QtServiceBasePrivate *service, const QString &socketPath, bool canBeSuspended)
    : m_service(service), m_socketPath(socketPath), m_canBeSuspended(canBeSuspended)
{}

HandlerThread::~HandlerThread()
{
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    for (int &fd : m_wakePipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

bool HandlerThread::listening() const
{
    QMutexLocker locker(&m_mutex);
    return m_listening;
}

ServiceState HandlerThread::state() const
{
    QMutexLocker locker(&m_mutex);
    return m_state;
}

void HandlerThread::setState(ServiceState state)
{
    {
        QMutexLocker locker(&m_mutex);
        m_state = state;
    }
    sd_notify(0, notifyText(state).constData());
}

void HandlerThread::finishTransition(ServiceState pending, ServiceState after)
{
    {
        QMutexLocker locker(&m_mutex);
        if (m_state != pending)
            return;
        m_state = after;
    }
    sd_notify(0, notifyText(after).constData());
}

void HandlerThread::applicationReady(QObject *controllerHandler)
{
    QMutexLocker locker(&m_mutex);
    m_controllerHandler = controllerHandler;
    m_condition.wakeAll();
}

void HandlerThread::applicationFinished(int exitCode)
{
    QByteArray failure;
    {
        QMutexLocker locker(&m_mutex);
        m_finished = true;
        m_controllerHandler = nullptr;
        m_state = ServiceState::Stopped;
        failure = m_failure;
        m_condition.wakeAll();
    }
    if (failure.isEmpty())
        sd_notifyf(0, "STATUS=stopped\nEXIT_STATUS=%d", exitCode);
    else
        sd_notifyf(0, "STATUS=failed: %s\nEXIT_STATUS=%d", failure.constData(), exitCode);
}

void HandlerThread::reportFailure(const QString &reason)
{
    // One status line: no line breaks, no NUL.
    QByteArray text = reason.toUtf8();
    text.replace('\n', ' ').replace('\r', ' ').replace('\0', ' ');
    {
        QMutexLocker locker(&m_mutex);
        m_failure = text;
        m_state = ServiceState::StopPending;
    }
    sd_notify(0, ("STOPPING=1\nSTATUS=" + text).constData());
}

void HandlerThread::shutdown()
{
    {
        QMutexLocker locker(&m_mutex);
        m_finished = true;
        m_condition.wakeAll();
    }
    if (m_wakePipe[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t n = ::write(m_wakePipe[1], &byte, 1);
    }
}

void HandlerThread::requestDone()
{
    QMutexLocker locker(&m_mutex);
    ++m_done;
    m_condition.wakeAll();
}

void HandlerThread::beginStop()
{
    setState(ServiceState::StopPending);
}

bool HandlerThread::postAndWait(int eventType)
{
    return postAndWait(new QEvent(QEvent::Type(eventType)));
}

bool HandlerThread::postAndWait(QEvent *event)
{
    std::unique_ptr<QEvent> owned(event);
    QMutexLocker locker(&m_mutex);
    if (m_finished || !m_controllerHandler)
        return false;
    const quint64 ticket = ++m_posted;
    QCoreApplication::postEvent(m_controllerHandler, owned.release());
    while (m_done < ticket && !m_finished)
        m_condition.wait(&m_mutex);
    return m_done >= ticket;
}

bool HandlerThread::setUp(QString *error)
{
    if (::pipe2(m_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        *error = errnoText(errno);
        return false;
    }
    const QString directory = QFileInfo(m_socketPath).absolutePath();
    if (!QDir().mkpath(directory)) {
        *error = QStringLiteral("cannot create %1").arg(directory);
        return false;
    }
    const QByteArray path = m_socketPath.toLocal8Bit();
    sockaddr_un address;
    if (!fillAddress(path, &address)) {
        *error = QStringLiteral("the control socket path %1 is too long").arg(m_socketPath);
        return false;
    }

    struct stat existing;
    if (::lstat(path.constData(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode)) {
            *error = QStringLiteral("%1 exists and is not a socket").arg(m_socketPath);
            return false;
        }
        const int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool answered =
            probe >= 0 && ::connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        const int probeError = errno;
        if (probe >= 0)
            ::close(probe);
        if (answered) {
            *error = QStringLiteral("another instance is running (%1)").arg(m_socketPath);
            return false;
        }
        if (probeError != ECONNREFUSED) {
            *error = QStringLiteral("%1: %2").arg(m_socketPath, errnoText(probeError));
            return false;
        }
        // Left behind by an instance that was killed.
        ::unlink(path.constData());
    }

    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0) {
        *error = errnoText(errno);
        return false;
    }
    // Only the service's own user and root may control it.
    const mode_t oldMask = ::umask(0177);
    const int bound = ::bind(m_listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    const int bindError = errno;
    ::umask(oldMask);
    if (bound != 0) {
        *error = QStringLiteral("%1: %2").arg(m_socketPath, errnoText(bindError));
        return false;
    }
    if (::listen(m_listenFd, 8) != 0) {
        *error = errnoText(errno);
        ::unlink(path.constData());
        return false;
    }
    return true;
}

void HandlerThread::run()
{
    QString error;
    if (!setUp(&error)) {
        m_service->q->logMessage(QStringLiteral("The Service failed to start [%1]").arg(error), QtServiceBase::Error);
        m_startSemaphore.release();
        return;
    }
    {
        QMutexLocker locker(&m_mutex);
        m_listening = true;
    }
    m_startSemaphore.release();

    // Like the service's main function: wait for the application, start, report running.
    bool applicationExists = false;
    {
        QMutexLocker locker(&m_mutex);
        while (!m_controllerHandler && !m_finished)
            m_condition.wait(&m_mutex);
        applicationExists = m_controllerHandler != nullptr;
    }
    if (applicationExists) {
        setState(ServiceState::StartPending);
        if (postAndWait(QEvent::User + 256))
            finishTransition(ServiceState::StartPending, ServiceState::Running);
    }

    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (fds[1].revents & POLLIN))
            break;
        if (fds[0].revents & POLLIN) {
            const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                serveClient(client);
                ::close(client);
            }
        }
    }
    ::close(m_listenFd);
    m_listenFd = -1;
    ::unlink(m_socketPath.toLocal8Bit().constData());
}

void HandlerThread::serveClient(int fd)
{
    // The socket's mode already keeps other users out; this holds when the
    // mode was widened or the peer may pass file permissions.
    struct ucred peer;
    socklen_t length = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
        m_service->q->logMessage(
            QStringLiteral("Control request refused: the sender is unknown (%1)").arg(errnoText(errno)),
            QtServiceBase::Warning);
        return;
    }
    if (peer.uid != 0 && peer.uid != ::geteuid()) {
        m_service->q->logMessage(QStringLiteral("Control request refused: process %1 of uid %2 is neither root nor "
                                                "the service's user (uid %3)")
                                     .arg(peer.pid)
                                     .arg(peer.uid)
                                     .arg(::geteuid()),
                                 QtServiceBase::Warning);
        return;
    }

    // A reply to a large query may take a while to be read; a client that stops reading is left.
    const timeval sendLimit{RequestReadTimeoutMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);

    QByteArray line;
    while (!line.contains('\n')) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
        const int ready = ::poll(fds, 2, RequestReadTimeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0 || (fds[1].revents & POLLIN))
            return;
        char buffer[512];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        line.append(buffer, int(n));
        if (line.size() > serviceframe::MaxRequestLine + 1)
            return;
    }
    ControlRequest request;
    QByteArray answer;
    if (!serviceframe::parseControlRequest(line.left(line.indexOf('\n')), &request))
        answer = "refused " + serviceframe::stateText(state()) + '\n';
    else if (request.kind == ControlRequest::Query)
        answer = answerQuery(request);
    else
        answer = carryOut(request) + '\n';
    for (qint64 sent = 0; sent < answer.size();) {
        const ssize_t n = ::send(fd, answer.constData() + sent, size_t(answer.size() - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        sent += n;
    }
}

QByteArray HandlerThread::answerQuery(const ControlRequest &request)
{
    const ServiceState current = state();
    QByteArray body;
    if (current == ServiceState::Running || current == ServiceState::Paused) {
        auto result = std::make_shared<QueryResult>();
        result->query = request.query;
        std::function<QByteArray()> answer;
        if (postAndWait(new QueryEvent(result))) {
            QMutexLocker locker(&m_mutex); // requestDone published it under this lock
            answer = result->answer;
        }
        // Written here, not on the application thread: a large answer takes a while.
        if (answer)
            body = answer();
    }
    const QByteArray after = serviceframe::stateText(state());
    if (body.isEmpty())
        return "refused " + after + '\n';
    return "ok " + after + '\n' + body;
}

QByteArray HandlerThread::carryOut(const ControlRequest &request)
{
    const ServiceState current = state();
    const bool active = current == ServiceState::Running || current == ServiceState::Paused;
    bool accepted = false;
    switch (request.kind) {
    case ControlRequest::Interrogate:
        accepted = true;
        break;
    case ControlRequest::Stop:
        if (active) {
            setState(ServiceState::StopPending);
            accepted = postAndWait(QEvent::User + 1);
        }
        break;
    case ControlRequest::Pause:
        if (m_canBeSuspended && current == ServiceState::Running) {
            setState(ServiceState::PausePending);
            accepted = postAndWait(QEvent::User + 2);
            if (accepted)
                finishTransition(ServiceState::PausePending, ServiceState::Paused);
        }
        break;
    case ControlRequest::Resume:
        if (m_canBeSuspended && current == ServiceState::Paused) {
            setState(ServiceState::ContinuePending);
            accepted = postAndWait(QEvent::User + 3);
            if (accepted)
                finishTransition(ServiceState::ContinuePending, ServiceState::Running);
        }
        break;
    case ControlRequest::UserControl:
        if (active)
            accepted = postAndWait(QEvent::User + request.control);
        break;
    case ControlRequest::Query:
        break; // answered by answerQuery
    }
    const ServiceState after = state();
    if (accepted && after != ServiceState::Stopped)
        sd_notify(0, notifyText(after).constData()); // report the current state again
    return (accepted ? QByteArray("ok ") : QByteArray("refused ")) + serviceframe::stateText(after);
}
