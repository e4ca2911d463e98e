#pragma once

#include "common/logon.h"
#include "logoff/icmpsocket.h"

#include <QHostAddress>
#include <QSharedPointer>
#include <memory>

namespace logoffCollector {

class PingProbe;

// One ICMP echo of a PingProbe: sent through the thread's shared ICMP socket,
// finished by the reply, by an ICMP error for it, or by a send that the
// network refused at once (no route, prohibited). An echo that is still
// waiting when its owner's timer fires has timed out. Ping4 and Ping6 are the
// two address families. Owned by its PingProbe, same thread; deleting it
// drops any answer still to come.
class Ping
{
public:
    virtual ~Ping();
    Ping(const Ping &) = delete;
    Ping &operator=(const Ping &) = delete;

    // The echo for the logon's address: a Ping4 for IPv4 (also written as a
    // mapped IPv6 address), a Ping6 otherwise. Raises common::Exception when
    // the thread's ICMP socket cannot be opened.
    static std::unique_ptr<Ping> create(PingProbe *owner, const common::Logon &logon);

    // Sends the request. Raises common::Exception "Send echo v4 failed : %1"
    // ("v6") when the system cannot send it for a reason other than the
    // network refusing the destination, and "Destination socket invalid: %1"
    // for a Ping6 without a usable address.
    virtual void send(const common::Logon &logon) = 0;

    bool isFinished() const { return m_finished; }
    // 0 after a reply; otherwise the errno that describes the failure
    // (ETIMEDOUT while no answer came).
    int status() const { return m_status; }
    const QHostAddress &destination() const { return m_destination; }
    quint16 sequence() const { return m_sequence; }

    // From the socket: the answer arrived (0) or the echo failed (errno)...
    void finish(int status);
    // ...and, once the socket has read what there was, the owner hears of it.
    void tellOwner();

protected:
    Ping(PingProbe *owner, QSharedPointer<IcmpSocket> socket);
    void sendTo(const QHostAddress &destination, const QString &version);

private:
    friend class IcmpSocket;

    PingProbe *m_owner;
    QSharedPointer<IcmpSocket> m_socket;
    QHostAddress m_destination;
    quint16 m_sequence = 0;
    bool m_answered = false; // in the socket's list of echoes whose owners are still to be told
    bool m_finished = false;
    int m_status = 0;
};

class Ping4 : public Ping
{
public:
    Ping4(PingProbe *owner, QSharedPointer<IcmpSocket> socket) : Ping(owner, std::move(socket)) {}
    void send(const common::Logon &logon) override;
};

class Ping6 : public Ping
{
public:
    Ping6(PingProbe *owner, QSharedPointer<IcmpSocket> socket) : Ping(owner, std::move(socket)) {}
    void send(const common::Logon &logon) override;
};

} // namespace logoffCollector
