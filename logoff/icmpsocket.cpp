#include "logoff/icmpsocket.h"

#include "common/exception.h"
#include "log/applicationdebug.h"
#include "logoff/ping.h"
#include "lookup/namelookup.h"

#include <QSocketNotifier>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace logoffCollector {

namespace {

constexpr unsigned char EchoRequest4 = 8;
constexpr unsigned char EchoReply4 = 0;
constexpr unsigned char EchoRequest6 = 128;
constexpr unsigned char EchoReply6 = 129;
constexpr int RequestDataSize = 16; // all zero, as the echoes have always carried
constexpr int MaxReadsPerWakeUp = 512;

std::atomic<int> allowedKinds{static_cast<int>(IcmpSocket::Allowed::Any)};
std::atomic<int> openSockets{0};
std::atomic<int> injectedSendError{0};
std::atomic<int> sendsBeforeInjectedError{0};
std::atomic<quint16> nextIdentifier{static_cast<quint16>(::getpid())};
// The kind last reported in the log per family (-1: none yet, 2: none could be opened).
std::array<std::atomic<int>, 2> loggedKind{{-1, -1}};

thread_local QWeakPointer<IcmpSocket> perThread[2];

QString familyText(IcmpSocket::Family family)
{
    return family == IcmpSocket::Family::V4 ? QStringLiteral("v4") : QStringLiteral("v6");
}

quint16 readWord(const unsigned char *data)
{
    return static_cast<quint16>((data[0] << 8) | data[1]);
}

quint16 checksum(const unsigned char *data, int size)
{
    quint32 sum = 0;
    for (int i = 0; i + 1 < size; i += 2)
        sum += readWord(data + i);
    if (size % 2)
        sum += static_cast<quint32>(data[size - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<quint16>(~sum);
}

// The errno the kernel gives an ICMP error of that type and code.
int icmp4Error(int type, int code)
{
    if (type == 3) {
        switch (code) {
        case 0:
        case 6:
        case 9:
        case 11:
            return ENETUNREACH;
        case 2:
            return ENOPROTOOPT;
        case 3:
            return ECONNREFUSED;
        case 4:
            return EMSGSIZE;
        case 5:
            return EOPNOTSUPP;
        case 7:
            return EHOSTDOWN;
        case 8:
            return ENONET;
        default:
            return EHOSTUNREACH;
        }
    }
    return type == 12 ? EPROTO : EHOSTUNREACH; // 11: time exceeded
}

int icmp6Error(int type, int code)
{
    switch (type) {
    case 1:
        if (code == 0)
            return ENETUNREACH;
        if (code == 1 || code == 5 || code == 6)
            return EACCES;
        if (code == 4)
            return ECONNREFUSED;
        return EHOSTUNREACH;
    case 2:
        return EMSGSIZE;
    case 4:
        return EPROTO;
    default:
        return EHOSTUNREACH; // 3: time exceeded
    }
}

bool sameAddress(const QHostAddress &a, const QHostAddress &b)
{
    bool aIsV4 = false;
    bool bIsV4 = false;
    const quint32 a4 = a.toIPv4Address(&aIsV4);
    const quint32 b4 = b.toIPv4Address(&bIsV4);
    if (aIsV4 || bIsV4)
        return aIsV4 && bIsV4 && a4 == b4;
    const Q_IPV6ADDR a6 = a.toIPv6Address();
    const Q_IPV6ADDR b6 = b.toIPv6Address();
    return std::memcmp(a6.c, b6.c, sizeof a6.c) == 0;
}

// One packet read from the socket, with its address and, from the error queue, its control data.
struct Received
{
    unsigned char data[512];
    unsigned char control[512];
    sockaddr_storage address{};
    iovec vector{data, sizeof data};
    msghdr header{};

    ssize_t receive(int fd, int flags)
    {
        header.msg_name = &address;
        header.msg_namelen = sizeof address;
        header.msg_iov = &vector;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        return ::recvmsg(fd, &header, flags | MSG_DONTWAIT);
    }
};

} // namespace

QSharedPointer<IcmpSocket> IcmpSocket::forThread(Family family)
{
    QWeakPointer<IcmpSocket> &slot = perThread[family == Family::V4 ? 0 : 1];
    if (QSharedPointer<IcmpSocket> existing = slot.toStrongRef())
        return existing;

    const auto allowed = static_cast<Allowed>(allowedKinds.load());
    int datagramError = 0;
    int rawError = 0;
    int fd = -1;
    Kind kind = Kind::Datagram;
    if (allowed != Allowed::RawOnly) {
        fd = open(family, Kind::Datagram);
        datagramError = fd < 0 ? errno : 0;
    }
    if (fd < 0 && allowed != Allowed::DatagramOnly) {
        kind = Kind::Raw;
        fd = open(family, Kind::Raw);
        rawError = fd < 0 ? errno : 0;
    }
    std::atomic<int> &logged = loggedKind[family == Family::V4 ? 0 : 1];
    if (fd < 0) {
        if (logged.exchange(2) != 2)
            ApplicationDebug::logLow(
                QStringLiteral("ICMP %1: no unprivileged datagram socket (%2) and no raw socket (%3); the service "
                               "needs CAP_NET_RAW or a group inside net.ipv4.ping_group_range")
                    .arg(familyText(family), datagramError ? errorText(datagramError) : QStringLiteral("not tried"),
                         rawError ? errorText(rawError) : QStringLiteral("not tried")));
        throw common::Exception(QStringLiteral("Create ICMP %1 failed : %2")
                                    .arg(familyText(family), errorText(rawError ? rawError : datagramError)));
    }
    if (logged.exchange(static_cast<int>(kind)) != static_cast<int>(kind))
        ApplicationDebug::logLow(QStringLiteral("ICMP %1 echoes use %2")
                                     .arg(familyText(family), kind == Kind::Raw
                                                                  ? QStringLiteral("a raw socket")
                                                                  : QStringLiteral("an unprivileged datagram socket")));
    QSharedPointer<IcmpSocket> socket(new IcmpSocket(family, kind, fd));
    slot = socket;
    return socket;
}

int IcmpSocket::open(Family family, Kind kind)
{
    const bool v4 = family == Family::V4;
    const int fd = ::socket(v4 ? AF_INET : AF_INET6, (kind == Kind::Raw ? SOCK_RAW : SOCK_DGRAM) | SOCK_CLOEXEC,
                            v4 ? IPPROTO_ICMP : IPPROTO_ICMPV6);
    if (fd < 0)
        return -1;
    // Sends block at most this long on a full send buffer; reads never block.
    const timeval sendLimit{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit);
    const int receiveBuffer = 1 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (kind == Kind::Raw && v4) {
        // A raw socket sees every ICMP packet of the host: keep replies and errors only.
        icmp_filter filter{};
        filter.data = ~((1u << EchoReply4) | (1u << 3) | (1u << 11) | (1u << 12));
        ::setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    } else if (kind == Kind::Raw) {
        icmp6_filter filter;
        ICMP6_FILTER_SETBLOCKALL(&filter);
        ICMP6_FILTER_SETPASS(EchoReply6, &filter);
        for (int type = 1; type <= 4; ++type)
            ICMP6_FILTER_SETPASS(type, &filter);
        ::setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    } else {
        // Datagram sockets learn of ICMP errors only through the error queue.
        const int on = 1;
        if (v4)
            ::setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
        else
            ::setsockopt(fd, SOL_IPV6, IPV6_RECVERR, &on, sizeof on);
    }
    return fd;
}

IcmpSocket::IcmpSocket(Family family, Kind kind, int fd)
    : m_family(family), m_kind(kind), m_fd(fd), m_identifier(kind == Kind::Raw ? nextIdentifier.fetch_add(1) : 0),
      m_notifier(new QSocketNotifier(fd, QSocketNotifier::Read, this))
{
    openSockets.fetch_add(1);
    connect(m_notifier, &QSocketNotifier::activated, this, &IcmpSocket::onReadable);
}

IcmpSocket::~IcmpSocket()
{
    delete m_notifier;
    ::close(m_fd);
    openSockets.fetch_sub(1);
}

int IcmpSocket::openCount()
{
    return openSockets.load();
}

void IcmpSocket::setAllowedForTest(Allowed allowed)
{
    allowedKinds.store(static_cast<int>(allowed));
    for (std::atomic<int> &kind : loggedKind)
        kind.store(-1); // the next socket says again what it is
}

void IcmpSocket::failSendsForTest(int error, int after)
{
    sendsBeforeInjectedError.store(after);
    injectedSendError.store(error);
}

bool IcmpSocket::networkRefused(int error)
{
    switch (error) {
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case ENETDOWN:
    case EADDRNOTAVAIL:
    case EACCES: // a "prohibit" route, or a firewall rule
    case EPERM:
    case EINVAL: // a "blackhole" route
        return true;
    default:
        return false;
    }
}

int IcmpSocket::send(Ping *echo, const QHostAddress &destination)
{
    if (m_pending.size() >= 0xffff)
        return ENOBUFS;
    quint16 sequence = m_nextSequence;
    while (m_pending.contains(sequence))
        ++sequence;
    m_nextSequence = static_cast<quint16>(sequence + 1);

    unsigned char packet[8 + RequestDataSize] = {};
    packet[0] = m_family == Family::V4 ? EchoRequest4 : EchoRequest6;
    packet[4] = static_cast<unsigned char>(m_identifier >> 8); // datagram sockets: the kernel puts its own
    packet[5] = static_cast<unsigned char>(m_identifier);
    packet[6] = static_cast<unsigned char>(sequence >> 8);
    packet[7] = static_cast<unsigned char>(sequence);
    if (m_family == Family::V4 && m_kind == Kind::Raw) {
        const quint16 sum = checksum(packet, sizeof packet);
        packet[2] = static_cast<unsigned char>(sum >> 8);
        packet[3] = static_cast<unsigned char>(sum);
    } // the kernel sums ICMPv6 and datagram-socket echoes itself

    sockaddr_storage address{};
    socklen_t length = 0;
    if (m_family == Family::V4) {
        auto *in = reinterpret_cast<sockaddr_in *>(&address);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(destination.toIPv4Address());
        length = sizeof(sockaddr_in);
    } else {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
        in6->sin6_family = AF_INET6;
        const Q_IPV6ADDR bytes = destination.toIPv6Address();
        std::memcpy(in6->sin6_addr.s6_addr, bytes.c, sizeof bytes.c);
        in6->sin6_scope_id = destination.scopeId().toUInt();
        length = sizeof(sockaddr_in6);
    }

    auto sendOnce = [&]() -> ssize_t {
        if (const int injected = injectedSendError.load()) {
            if (sendsBeforeInjectedError.fetch_sub(1) <= 0) {
                errno = injected;
                return -1;
            }
        }
        return ::sendto(m_fd, packet, sizeof packet, MSG_NOSIGNAL, reinterpret_cast<sockaddr *>(&address), length);
    };
    ssize_t sent = sendOnce();
    // A datagram socket reports an ICMP error of an earlier echo once, on the
    // next call, whoever that is for: a refusal is only believed when it repeats.
    if (sent < 0 && m_kind == Kind::Datagram && networkRefused(errno))
        sent = sendOnce();
    if (sent < 0)
        return errno;
    if (m_kind == Kind::Datagram && m_identifier == 0) {
        sockaddr_storage local{};
        socklen_t localLength = sizeof local;
        if (::getsockname(m_fd, reinterpret_cast<sockaddr *>(&local), &localLength) == 0)
            m_identifier = ntohs(m_family == Family::V4 ? reinterpret_cast<sockaddr_in *>(&local)->sin_port
                                                        : reinterpret_cast<sockaddr_in6 *>(&local)->sin6_port);
    }
    m_pending.insert(sequence, echo);
    echo->m_sequence = sequence;
    return 0;
}

void IcmpSocket::forget(const Ping *echo)
{
    const auto it = m_pending.constFind(echo->sequence());
    if (it != m_pending.constEnd() && it.value() == echo)
        m_pending.erase(it);
    if (echo->m_answered)
        m_answered.removeOne(const_cast<Ping *>(echo));
}

void IcmpSocket::onReadable()
{
    // Bounded, so that a flood of ICMP cannot hold the thread; the notifier fires again.
    for (int i = 0; i < MaxReadsPerWakeUp; ++i) {
        bool read = m_kind == Kind::Datagram && readError();
        read = readOne() || read;
        if (!read)
            break;
    }
    // The owners are told once reading is over: what they do next (send
    // again, drop echoes, let go of this socket) cannot disturb the loop.
    const QSharedPointer<IcmpSocket> keep = sharedFromThis();
    while (!m_answered.isEmpty()) {
        Ping *echo = m_answered.takeFirst();
        echo->m_answered = false;
        echo->tellOwner();
    }
}

bool IcmpSocket::readOne()
{
    Received message;
    const ssize_t size = message.receive(m_fd, 0);
    if (size < 0)
        return errno != EAGAIN && errno != EWOULDBLOCK; // a pending socket error: read on
    const QHostAddress peer(reinterpret_cast<sockaddr *>(&message.address));
    const int length = std::min<int>(static_cast<int>(size), sizeof message.data);
    if (m_kind == Kind::Datagram)
        parseDatagram(message.data, length, peer);
    else if (m_family == Family::V4)
        parseRaw4(message.data, length, peer);
    else
        parseRaw6(message.data, length, peer);
    return true;
}

bool IcmpSocket::readError()
{
    Received message;
    const ssize_t size = message.receive(m_fd, MSG_ERRQUEUE);
    if (size < 0)
        return false;
    for (cmsghdr *header = CMSG_FIRSTHDR(&message.header); header; header = CMSG_NXTHDR(&message.header, header)) {
        const bool isError = (header->cmsg_level == SOL_IP && header->cmsg_type == IP_RECVERR) ||
                             (header->cmsg_level == SOL_IPV6 && header->cmsg_type == IPV6_RECVERR);
        if (!isError)
            continue;
        sock_extended_err error;
        std::memcpy(&error, CMSG_DATA(header), sizeof error);
        // The queued data is our echo request as sent; the name is its destination.
        if (size >= 8 && error.ee_errno != 0)
            deliver(readWord(message.data + 4), readWord(message.data + 6),
                    QHostAddress(reinterpret_cast<sockaddr *>(&message.address)), static_cast<int>(error.ee_errno));
    }
    return true;
}

void IcmpSocket::parseDatagram(const unsigned char *data, int size, const QHostAddress &from)
{
    if (size < 8)
        return;
    const unsigned char reply = m_family == Family::V4 ? EchoReply4 : EchoReply6;
    if (data[0] == reply)
        deliver(readWord(data + 4), readWord(data + 6), from, 0);
}

void IcmpSocket::parseRaw4(const unsigned char *data, int size, const QHostAddress &from)
{
    if (size < 20)
        return;
    const int headerSize = (data[0] & 0x0f) * 4;
    if (headerSize < 20 || size < headerSize + 8)
        return;
    const unsigned char *icmp = data + headerSize;
    const int type = icmp[0];
    if (type == EchoReply4) {
        deliver(readWord(icmp + 4), readWord(icmp + 6), from, 0);
        return;
    }
    if (type != 3 && type != 11 && type != 12)
        return;
    // The error quotes our request: its IP header, then the first 8 bytes of the echo.
    const unsigned char *inner = icmp + 8;
    const int innerRoom = size - headerSize - 8;
    if (innerRoom < 20)
        return;
    const int innerHeaderSize = (inner[0] & 0x0f) * 4;
    if (innerHeaderSize < 20 || innerRoom < innerHeaderSize + 8 || inner[9] != IPPROTO_ICMP)
        return;
    const unsigned char *echo = inner + innerHeaderSize;
    if (echo[0] != EchoRequest4)
        return;
    quint32 destination = 0;
    std::memcpy(&destination, inner + 16, sizeof destination);
    deliver(readWord(echo + 4), readWord(echo + 6), QHostAddress(ntohl(destination)), icmp4Error(type, icmp[1]));
}

void IcmpSocket::parseRaw6(const unsigned char *data, int size, const QHostAddress &from)
{
    if (size < 8)
        return;
    const int type = data[0];
    if (type == EchoReply6) {
        deliver(readWord(data + 4), readWord(data + 6), from, 0);
        return;
    }
    if (type < 1 || type > 4)
        return;
    // The error quotes our request: its IPv6 header (40 bytes), then the echo.
    constexpr int InnerOffset = 8;
    constexpr int InnerHeaderSize = 40;
    if (size < InnerOffset + InnerHeaderSize + 8)
        return;
    const unsigned char *inner = data + InnerOffset;
    if (inner[6] != IPPROTO_ICMPV6)
        return;
    const unsigned char *echo = inner + InnerHeaderSize;
    if (echo[0] != EchoRequest6)
        return;
    Q_IPV6ADDR destination;
    std::memcpy(destination.c, inner + 24, sizeof destination.c);
    deliver(readWord(echo + 4), readWord(echo + 6), QHostAddress(destination), icmp6Error(type, data[1]));
}

void IcmpSocket::deliver(quint16 identifier, quint16 sequence, const QHostAddress &address, int status)
{
    // Raw sockets see the echoes of every process; datagram sockets only their own.
    if (m_kind == Kind::Raw && identifier != m_identifier)
        return;
    const auto it = m_pending.find(sequence);
    if (it == m_pending.end() || !sameAddress(it.value()->destination(), address))
        return;
    Ping *echo = it.value();
    m_pending.erase(it);
    echo->finish(status);
    echo->m_answered = true;
    m_answered.append(echo);
}

} // namespace logoffCollector
