#include "lookup/dnsclient.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <ares.h>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace lookup {

namespace {

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { ares_library_init(ARES_LIB_INIT_ALL); });
}

struct QueryResult
{
    bool done = false;
    int status = ARES_ETIMEOUT;
    QList<DnsRecord> records;
};

void onAnswer(void *arg, int status, int /*timeouts*/, unsigned char *reply, int length)
{
    auto *result = static_cast<QueryResult *>(arg);
    if (result->done)
        return;
    result->done = true;
    result->status = status == ARES_SUCCESS ? parseDnsAnswer(reply, length, &result->records) : status;
}

// One channel per query: nothing is remembered between look-ups.
class Channel
{
public:
    Channel(const LookupOptions &options)
    {
        initLibrary();
        ares_options settings{};
        settings.timeout = options.dnsTimeoutMs;
        settings.tries = options.dnsTries;
        settings.flags = ARES_FLAG_NOALIASES;
        m_status = ares_init_options(&m_channel, &settings, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_FLAGS);
        if (m_status != ARES_SUCCESS) {
            m_channel = nullptr;
            return;
        }
        if (!options.dnsServers.isEmpty()) {
            std::vector<ares_addr_port_node> nodes(static_cast<size_t>(options.dnsServers.size()));
            for (size_t i = 0; i < nodes.size(); ++i) {
                const Endpoint &server = options.dnsServers.at(static_cast<int>(i));
                ares_addr_port_node &node = nodes[i];
                node = ares_addr_port_node{};
                node.next = i + 1 < nodes.size() ? &nodes[i + 1] : nullptr;
                node.udp_port = server.port;
                node.tcp_port = server.port;
                if (server.address.protocol() == QAbstractSocket::IPv4Protocol) {
                    node.family = AF_INET;
                    node.addr.addr4.s_addr = htonl(server.address.toIPv4Address());
                } else {
                    node.family = AF_INET6;
                    const Q_IPV6ADDR bytes = server.address.toIPv6Address();
                    std::memcpy(&node.addr.addr6, bytes.c, 16);
                }
            }
            m_status = ares_set_servers_ports(m_channel, nodes.data());
        }
    }
    ~Channel()
    {
        if (m_channel)
            ares_destroy(m_channel);
    }
    Channel(const Channel &) = delete;
    Channel &operator=(const Channel &) = delete;

    int status() const { return m_status; }
    ares_channel get() const { return m_channel; }

    // Drives the channel until the result is in (c-ares ends every query
    // within its tries and time-outs).
    void run(QueryResult *result)
    {
        while (!result->done) {
            ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
            const int mask = ares_getsock(m_channel, sockets, ARES_GETSOCK_MAXNUM);
            std::vector<pollfd> fds;
            for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
                short events = 0;
                if (ARES_GETSOCK_READABLE(mask, i))
                    events |= POLLIN;
                if (ARES_GETSOCK_WRITABLE(mask, i))
                    events |= POLLOUT;
                if (events)
                    fds.push_back(pollfd{sockets[i], events, 0});
            }
            timeval wait{};
            timeval *next = ares_timeout(m_channel, nullptr, &wait);
            if (fds.empty() && !next)
                break; // nothing pending and no answer: cannot happen, but never spin
            const int waitMs = next ? static_cast<int>(next->tv_sec * 1000 + (next->tv_usec + 999) / 1000) : 1000;
            const int ready = ::poll(fds.data(), fds.size(), waitMs);
            if (ready < 0 && errno != EINTR)
                break;
            if (ready <= 0) {
                ares_process_fd(m_channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
                continue;
            }
            for (const pollfd &fd : fds) {
                const bool readable = fd.revents & (POLLIN | POLLERR | POLLHUP);
                const bool writable = fd.revents & POLLOUT;
                if (readable || writable)
                    ares_process_fd(m_channel, readable ? fd.fd : ARES_SOCKET_BAD, writable ? fd.fd : ARES_SOCKET_BAD);
            }
        }
        if (!result->done) {
            result->done = true;
            result->status = ARES_ECONNREFUSED;
        }
    }

private:
    ares_channel m_channel = nullptr;
    int m_status = ARES_SUCCESS;
};

// An LLMNR query socket for one address family, created on first use.
struct LlmnrSocket
{
    int fd = -1;
    ~LlmnrSocket()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

bool openLlmnrSocket(LlmnrSocket *socket, int family)
{
    if (socket->fd >= 0)
        return true;
    socket->fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (socket->fd < 0)
        return false;
    // Link-local scope: the query must not leave the link.
    const int hops = 1;
    if (family == AF_INET)
        ::setsockopt(socket->fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops);
    else
        ::setsockopt(socket->fd, IPPROTO_IPV6, IPV6_MULTICAST_HOPS, &hops, sizeof hops);
    return true;
}

bool sendTo(LlmnrSocket *v4, LlmnrSocket *v6, const Endpoint &target, const unsigned char *query, int length)
{
    sockaddr_storage storage{};
    socklen_t size = 0;
    LlmnrSocket *socket = nullptr;
    if (target.address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto *in = reinterpret_cast<sockaddr_in *>(&storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(target.port);
        in->sin_addr.s_addr = htonl(target.address.toIPv4Address());
        size = sizeof *in;
        socket = v4;
        if (!openLlmnrSocket(socket, AF_INET))
            return false;
    } else {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(target.port);
        const Q_IPV6ADDR bytes = target.address.toIPv6Address();
        std::memcpy(&in6->sin6_addr, bytes.c, 16);
        bool numeric = false;
        const uint scope = target.address.scopeId().toUInt(&numeric);
        in6->sin6_scope_id = numeric ? scope : 0;
        size = sizeof *in6;
        socket = v6;
        if (!openLlmnrSocket(socket, AF_INET6))
            return false;
    }
    return ::sendto(socket->fd, query, static_cast<size_t>(length), MSG_NOSIGNAL,
                    reinterpret_cast<sockaddr *>(&storage), size) == length;
}

QString withoutFinalDot(const QString &name)
{
    return name.endsWith(QLatin1Char('.')) ? name.left(name.size() - 1) : name;
}

} // namespace

int queryDns(const QString &name, quint16 type, const LookupOptions &options, QList<DnsRecord> *records)
{
    records->clear();
    if (!isValidQueryName(name))
        return ARES_EBADNAME;
    Channel channel(options);
    if (channel.status() != ARES_SUCCESS)
        return channel.status();
    QueryResult result;
    const QByteArray encoded = name.toUtf8();
    ares_search(channel.get(), encoded.constData(), ns_c_in, type, onAnswer, &result);
    channel.run(&result);
    *records = result.records;
    return result.status;
}

int queryLlmnr(const QString &name, quint16 type, const LookupOptions &options, QList<DnsRecord> *records)
{
    records->clear();
    if (!isValidQueryName(name))
        return ARES_EBADNAME;
    initLibrary();
    const quint16 id = static_cast<quint16>(QRandomGenerator::global()->bounded(65536));
    unsigned char *query = nullptr;
    int queryLength = 0;
    const QByteArray encoded = name.toUtf8();
    // LLMNR queries carry no recursion-desired bit.
    const int built = ares_create_query(encoded.constData(), ns_c_in, type, id, 0, &query, &queryLength, 0);
    if (built != ARES_SUCCESS)
        return built;
    const QByteArray message(reinterpret_cast<const char *>(query), queryLength);
    ares_free_string(query);

    const QList<Endpoint> targets = options.llmnrTargets.isEmpty() ? llmnrMulticastTargets() : options.llmnrTargets;
    const QString wanted = withoutFinalDot(name);
    LlmnrSocket v4;
    LlmnrSocket v6;
    int status = ARES_ETIMEOUT;
    unsigned char reply[65536];
    for (int attempt = 0; attempt < std::max(1, options.llmnrTries); ++attempt) {
        int sent = 0;
        for (const Endpoint &target : targets) {
            if (sendTo(&v4, &v6, target, reinterpret_cast<const unsigned char *>(message.constData()), message.size()))
                ++sent;
        }
        if (sent == 0)
            return ARES_ECONNREFUSED;
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            const qint64 left = options.llmnrTimeoutMs - clock.elapsed();
            if (left <= 0)
                break;
            pollfd fds[2];
            nfds_t count = 0;
            for (const LlmnrSocket *socket : {&v4, &v6}) {
                if (socket->fd >= 0)
                    fds[count++] = pollfd{socket->fd, POLLIN, 0};
            }
            const int ready = ::poll(fds, count, static_cast<int>(left));
            if (ready < 0 && errno != EINTR)
                return ARES_ECONNREFUSED;
            for (nfds_t i = 0; ready > 0 && i < count; ++i) {
                if (!(fds[i].revents & POLLIN))
                    continue;
                const ssize_t length = ::recv(fds[i].fd, reply, sizeof reply, 0);
                if (length < 12)
                    continue;
                const int size = static_cast<int>(length);
                // A reply to this query: same id, a response, not truncated, same question.
                const quint16 replyId = static_cast<quint16>((reply[0] << 8) | reply[1]);
                const bool response = reply[2] & 0x80;
                const bool truncated = reply[2] & 0x02;
                QString question;
                quint16 questionType = 0;
                if (replyId != id || !response || truncated ||
                    !parseDnsQuestion(reply, size, &question, &questionType) || questionType != type ||
                    withoutFinalDot(question).compare(wanted, Qt::CaseInsensitive) != 0)
                    continue;
                QList<DnsRecord> found;
                status = parseDnsAnswer(reply, size, &found);
                if (status == ARES_SUCCESS) {
                    *records = found;
                    return status;
                }
            }
        }
    }
    return status;
}

QString dnsStatusText(int status)
{
    return QStringLiteral("%1 (error: %2)").arg(QString::fromUtf8(ares_strerror(status))).arg(status);
}

} // namespace lookup
