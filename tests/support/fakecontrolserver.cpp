#include "support/fakecontrolserver.h"

#include <QElapsedTimer>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

namespace {
int boundSocket(const QString &path, int type)
{
    const QByteArray local = path.toLocal8Bit();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (local.size() >= int(sizeof address.sun_path))
        return -1;
    std::memcpy(address.sun_path, local.constData(), size_t(local.size()));
    const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    ::unlink(address.sun_path);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
} // namespace

FakeControlServer::FakeControlServer(const QString &socketPath, Reply reply)
    : m_path(socketPath), m_reply(std::move(reply))
{
    m_fd = boundSocket(socketPath, SOCK_STREAM);
    if (m_fd >= 0 && ::listen(m_fd, 8) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (m_fd >= 0)
        m_thread = std::thread([this] { serve(); });
}

FakeControlServer::~FakeControlServer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_path.toLocal8Bit().constData());
    }
}

QList<QByteArray> FakeControlServer::requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void FakeControlServer::serve()
{
    while (!m_stop) {
        pollfd p{m_fd, POLLIN, 0};
        const int client = ::poll(&p, 1, 50) > 0 ? ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        if (client < 0)
            continue;
        // One line, read for at most two seconds.
        const timeval limit{2, 0};
        ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        QByteArray line;
        char buffer[64];
        ssize_t n = 0;
        while (!line.contains('\n') && (n = ::recv(client, buffer, sizeof buffer, 0)) > 0)
            line.append(buffer, int(n));
        const QByteArray request = line.left(line.indexOf('\n'));
        const QByteArray answer = m_reply(request);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.append(request);
        }
        if (!answer.isEmpty()) {
            const QByteArray withEnd = answer + '\n';
            [[maybe_unused]] const ssize_t sent =
                ::send(client, withEnd.constData(), size_t(withEnd.size()), MSG_NOSIGNAL);
        }
        ::close(client);
    }
}

DatagramListener::DatagramListener(const QString &socketPath)
    : m_path(socketPath), m_fd(boundSocket(socketPath, SOCK_DGRAM))
{}

DatagramListener::~DatagramListener()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_path.toLocal8Bit().constData());
    }
}

QByteArray DatagramListener::waitFor(const QByteArray &needle, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        for (; m_searched < m_received.size(); ++m_searched) {
            if (m_received.at(m_searched).contains(needle))
                return m_received.at(m_searched++);
        }
        const qint64 left = timeoutMs - clock.elapsed();
        pollfd p{m_fd, POLLIN, 0};
        if (m_fd < 0 || left <= 0)
            return QByteArray();
        char buffer[4096];
        const ssize_t n = ::poll(&p, 1, int(left)) > 0 ? ::recv(m_fd, buffer, sizeof buffer, 0) : -1;
        if (n >= 0)
            m_received.append(QByteArray(buffer, int(n)));
    }
}

bool leaveStaleSocket(const QString &socketPath)
{
    const int fd = boundSocket(socketPath, SOCK_STREAM);
    ::close(fd);
    return fd >= 0;
}

} // namespace testsupport
