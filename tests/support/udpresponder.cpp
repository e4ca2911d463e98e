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

using Clock = std::chrono::steady_clock;

UdpResponder::UdpResponder(Handler handler, const QHostAddress &address)
    : m_handler(std::move(handler)), m_address(address)
{
    const bool v4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    sockaddr_storage storage{};
    auto *in = reinterpret_cast<sockaddr_in *>(&storage);
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
    socklen_t size = v4 ? sizeof *in : sizeof *in6;
    storage.ss_family = v4 ? AF_INET : AF_INET6;
    if (v4)
        in->sin_addr.s_addr = htonl(address.toIPv4Address());
    else
        std::memcpy(&in6->sin6_addr, address.toIPv6Address().c, 16);
    m_fd = ::socket(storage.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr *>(&storage), size) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&storage), &size) != 0 || ::pipe2(m_wake, O_CLOEXEC) != 0)
        throw std::runtime_error("UdpResponder: cannot bind a loopback socket");
    m_port = ntohs(v4 ? in->sin_port : in6->sin6_port);
    m_thread = std::thread([this] { run(); });
}

UdpResponder::~UdpResponder()
{
    // Should the write fail, the thread ends at its next datagram.
    [[maybe_unused]] const ssize_t written = ::write(m_wake[1], "s", 1);
    m_thread.join();
    ::close(m_fd);
    ::close(m_wake[0]);
    ::close(m_wake[1]);
}

QString UdpResponder::endpoint() const
{
    const QString host = m_address.toString();
    return m_address.protocol() == QAbstractSocket::IPv4Protocol ? QStringLiteral("%1:%2").arg(host).arg(m_port)
                                                                 : QStringLiteral("[%1]:%2").arg(host).arg(m_port);
}

void UdpResponder::run()
{
    struct Pending
    {
        Clock::time_point due;
        QByteArray data;
        sockaddr_storage peer;
        socklen_t peerSize;
    };
    std::vector<Pending> pending;
    char buffer[65536];
    for (;;) {
        int waitMs = -1;
        for (const Pending &p : pending) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(p.due - Clock::now()).count();
            const int ms = static_cast<int>(std::max<long long>(0, left));
            waitMs = waitMs < 0 ? ms : std::min(waitMs, ms);
        }
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        ::poll(fds, 2, waitMs);
        if (fds[1].revents)
            return;
        Pending p{};
        p.peerSize = sizeof p.peer;
        const ssize_t n = (fds[0].revents & POLLIN) ? ::recvfrom(m_fd, buffer, sizeof buffer, 0,
                                                                 reinterpret_cast<sockaddr *>(&p.peer), &p.peerSize)
                                                    : -1;
        if (n >= 0) {
            m_queries.fetch_add(1);
            const Reply reply = m_handler(QByteArray(buffer, static_cast<int>(n)));
            if (!reply.data.isEmpty()) {
                p.data = reply.data;
                p.due = Clock::now() + std::chrono::milliseconds(reply.delayMs);
                pending.push_back(p);
                m_maxPending.store(std::max(m_maxPending.load(), static_cast<int>(pending.size())));
            }
        }
        const auto now = Clock::now();
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->due > now) {
                ++it;
                continue;
            }
            ::sendto(m_fd, it->data.constData(), static_cast<size_t>(it->data.size()), 0,
                     reinterpret_cast<const sockaddr *>(&it->peer), it->peerSize);
            m_replies.fetch_add(1);
            it = pending.erase(it);
        }
    }
}

} // namespace testsupport
