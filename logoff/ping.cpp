#include "logoff/ping.h"

#include "common/exception.h"
#include "logoff/pingprobe.h"
#include "lookup/namelookup.h"

#include <cerrno>

namespace logoffCollector {

namespace {

// An IPv4 address, also when written as a mapped IPv6 address; null otherwise.
QHostAddress ipv4Of(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : QHostAddress();
}

} // namespace

std::unique_ptr<Ping> Ping::create(PingProbe *owner, const common::Logon &logon)
{
    if (!ipv4Of(logon.ip()).isNull())
        return std::make_unique<Ping4>(owner, owner->socketFor(IcmpSocket::Family::V4));
    return std::make_unique<Ping6>(owner, owner->socketFor(IcmpSocket::Family::V6));
}

Ping::Ping(PingProbe *owner, QSharedPointer<IcmpSocket> socket) : m_owner(owner), m_socket(std::move(socket)) {}

Ping::~Ping()
{
    m_socket->forget(this);
}

void Ping::sendTo(const QHostAddress &destination, const QString &version)
{
    m_destination = destination;
    const int error = m_socket->send(this, destination);
    if (error == 0)
        return;
    if (IcmpSocket::networkRefused(error)) {
        // The network answered already: this attempt has failed, without waiting.
        m_finished = true;
        m_status = error;
        return;
    }
    throw common::Exception(QStringLiteral("Send echo %1 failed : %2").arg(version, errorText(error)));
}

void Ping::finish(int status)
{
    m_finished = true;
    m_status = status;
}

void Ping::tellOwner()
{
    m_owner->echoFinished();
}

void Ping4::send(const common::Logon &logon)
{
    sendTo(ipv4Of(logon.ip()), QStringLiteral("v4"));
}

void Ping6::send(const common::Logon &logon)
{
    const QHostAddress &address = logon.ip();
    if (address.protocol() != QAbstractSocket::IPv6Protocol)
        throw common::Exception(QStringLiteral("Destination socket invalid: %1").arg(errorText(EDESTADDRREQ)));
    sendTo(address, QStringLiteral("v6"));
}

} // namespace logoffCollector
