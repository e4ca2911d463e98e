#include "support/fakecontrolserver.h"

#include <QElapsedTimer>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

namespace {
bool fillAddress(const QString &path, sockaddr_un *address)
{
    const QByteArray local = path.toLocal8Bit();
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (local.size() >= int(sizeof address->sun_path))
        return false;
    std::memcpy(address->sun_path, local.constData(), size_t(local.size()));
    return true;
}

int boundSocket(const QString &path, int type)
{
    sockaddr_un address;
    if (!fillAddress(path, &address))
        return -1;
    const int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    ::unlink(address.sun_path);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
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

bool FakeControlServer::waitForRequests(int count, int timeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_requests.size() >= count; });
}

void FakeControlServer::serve()
{
    while (!m_stop) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        QByteArray line;
        QElapsedTimer clock;
        clock.start();
        while (!line.contains('\n') && clock.elapsed() < 2000 && !m_stop) {
            pollfd c{client, POLLIN, 0};
            if (::poll(&c, 1, 50) <= 0)
                continue;
            char buffer[64];
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            line.append(buffer, int(n));
        }
        const QByteArray request = line.left(line.indexOf('\n'));
        const QByteArray answer = m_reply(request);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.append(request);
        }
        m_arrived.notify_all();
        if (!answer.isEmpty()) {
            const QByteArray withEnd = answer + '\n';
            [[maybe_unused]] const ssize_t n =
                ::send(client, withEnd.constData(), size_t(withEnd.size()), MSG_NOSIGNAL);
        }
        ::close(client);
    }
}

DatagramListener::DatagramListener(const QString &socketPath) : m_path(socketPath)
{
    m_fd = boundSocket(socketPath, SOCK_DGRAM);
}

DatagramListener::~DatagramListener()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_path.toLocal8Bit().constData());
    }
}

QByteArray DatagramListener::waitFor(const QByteArray &needle, int timeoutMs)
{
    for (; m_searched < m_received.size(); ++m_searched) {
        if (m_received.at(m_searched).contains(needle))
            return m_received.at(m_searched++);
    }
    QElapsedTimer clock;
    clock.start();
    while (m_fd >= 0) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0)
            return QByteArray();
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, int(left)) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n < 0)
            continue;
        m_received.append(QByteArray(buffer, int(n)));
        m_searched = m_received.size();
        if (m_received.last().contains(needle))
            return m_received.last();
    }
    return QByteArray();
}

} // namespace testsupport
