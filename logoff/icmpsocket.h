#pragma once

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSharedPointer>

class QSocketNotifier;

namespace logoffCollector {

class Ping;

// One ICMP socket of one address family, shared by every echo of the thread
// that opened it, so that hundreds of probes in flight cost one socket and
// one notifier. Echo requests carry the socket's identifier and a sequence
// number of their own; replies and ICMP errors are matched back by
// identifier, sequence number and address, everything else is ignored.
//
// Unprivileged ICMP datagram sockets are used where net.ipv4.ping_group_range
// admits the process's group, raw sockets (CAP_NET_RAW) otherwise; the log
// says which. Lives in the thread that opened it and is used only there;
// held through shared pointers by the echoes and probes of that thread and
// closed with the last of them.
class IcmpSocket : public QObject, public QEnableSharedFromThis<IcmpSocket>
{
    Q_OBJECT
public:
    enum class Family { V4, V6 };
    enum class Kind { Datagram, Raw };
    // Which kinds may be opened: tests force one of them.
    enum class Allowed { Any, DatagramOnly, RawOnly };

    // The calling thread's socket of the family, opened on first use. Raises
    // common::Exception "Create ICMP v4 failed : %1" ("v6") with the
    // system's error text when no kind can be opened.
    static QSharedPointer<IcmpSocket> forThread(Family family);

    ~IcmpSocket() override;

    Family family() const { return m_family; }
    Kind kind() const { return m_kind; }

    // Sends one echo request to destination for echo and registers it for the
    // answer. 0, or the errno of a send that failed (nothing is registered).
    int send(Ping *echo, const QHostAddress &destination);
    // The echo no longer waits for an answer, nor for being told of it.
    void forget(const Ping *echo);

    int pendingCount() const { return m_pending.size(); }

    // Whether a send failed because the network refuses the destination (no
    // route, a prohibiting route or rule): an answer, not a local fault.
    static bool networkRefused(int error);

    // ICMP sockets open in the process, for benchmarks and tests.
    static int openCount();
    // Tests: which kinds may be opened (the log says the kind again afterwards).
    static void setAllowedForTest(Allowed allowed);
    // Tests: after `after` more sends, every send fails with error (0: never).
    static void failSendsForTest(int error, int after = 0);

private slots:
    void onReadable();

private:
    IcmpSocket(Family family, Kind kind, int fd);
    static int open(Family family, Kind kind);

    bool readOne();
    bool readError();
    void parseRaw4(const unsigned char *data, int size, const QHostAddress &from);
    void parseRaw6(const unsigned char *data, int size, const QHostAddress &from);
    void parseDatagram(const unsigned char *data, int size, const QHostAddress &from);
    // Ends the echo of that identifier and sequence number whose destination
    // is address: status 0 for a reply, an errno for an error.
    void deliver(quint16 identifier, quint16 sequence, const QHostAddress &address, int status);

    Family m_family;
    Kind m_kind;
    int m_fd;
    quint16 m_identifier; // raw sockets: ours; datagram sockets: the kernel's, learnt after the first send
    quint16 m_nextSequence = 1;
    QSocketNotifier *m_notifier;
    QHash<quint16, Ping *> m_pending; // by sequence number
    QList<Ping *> m_answered;         // answered in this read, their owners not told yet
};

} // namespace logoffCollector
