#include "support/udpresponder.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace testsupport {

namespace {
struct Pending
{
    std::chrono::steady_clock::time_point due;
    QByteArray data;
    sockaddr_storage peer;
    socklen_t peerSize;
};
} // namespace

UdpResponder::UdpResponder(Handler handler, const QHostAddress &address)
    : m_handler(std::move(handler)), m_address(address)
{
    const bool v4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    m_fd = ::socket(v4 ? AF_INET : AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_storage storage{};
    socklen_t size = 0;
    if (v4) {
        auto *in = reinterpret_cast<sockaddr_in *>(&storage);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(address.toIPv4Address());
        size = sizeof *in;
    } else {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, 16);
        size = sizeof *in6;
    }
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&storage), size) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&storage), &size) != 0 || ::pipe2(m_wake, O_CLOEXEC) != 0)
        throw std::runtime_error("UdpResponder: cannot bind a loopback socket");
    m_port = ntohs(v4 ? reinterpret_cast<sockaddr_in *>(&storage)->sin_port
                      : reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port);
    m_thread = std::thread([this] { run(); });
}

UdpResponder::~UdpResponder()
{
    const char stop = 's';
    if (::write(m_wake[1], &stop, 1) != 1) {
        // The thread then ends at its next datagram; nothing better to do.
    }
    m_thread.join();
    ::close(m_fd);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

QString UdpResponder::endpoint() const
{
    if (m_address.protocol() == QAbstractSocket::IPv4Protocol)
        return QStringLiteral("%1:%2").arg(m_address.toString()).arg(m_port);
    return QStringLiteral("[%1]:%2").arg(m_address.toString()).arg(m_port);
}

void UdpResponder::run()
{
    std::vector<Pending> pending;
    char buffer[65536];
    for (;;) {
        int waitMs = -1;
        const auto now = std::chrono::steady_clock::now();
        for (const Pending &p : pending) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(p.due - now).count();
            waitMs = waitMs < 0 ? static_cast<int>(std::max<long long>(0, left))
                                : std::min(waitMs, static_cast<int>(std::max<long long>(0, left)));
        }
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        ::poll(fds, 2, waitMs);
        if (fds[1].revents)
            return;
        if (fds[0].revents & POLLIN) {
            Pending p{};
            p.peerSize = sizeof p.peer;
            const ssize_t n =
                ::recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&p.peer), &p.peerSize);
            if (n >= 0) {
                m_queries.fetch_add(1);
                const Reply reply = m_handler(QByteArray(buffer, static_cast<int>(n)));
                if (!reply.data.isEmpty()) {
                    p.data = reply.data;
                    p.due = std::chrono::steady_clock::now() + std::chrono::milliseconds(reply.delayMs);
                    pending.push_back(p);
                    m_maxPending.store(std::max(m_maxPending.load(), static_cast<int>(pending.size())));
                }
            }
        }
        const auto later = std::chrono::steady_clock::now();
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->due <= later) {
                ::sendto(m_fd, it->data.constData(), static_cast<size_t>(it->data.size()), 0,
                         reinterpret_cast<const sockaddr *>(&it->peer), it->peerSize);
                m_replies.fetch_add(1);
                it = pending.erase(it);
            } else {
                ++it;
            }
        }
    }
}

} // namespace testsupport
