#pragma once

#include "support/udpresponder.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>

namespace testsupport {

// An LLMNR responder on loopback: answers A, AAAA and PTR queries for the
// hosts it is given (names compared without case) and stays silent about
// everything else, as a responder that is not authoritative does.
class LlmnrResponder
{
public:
    explicit LlmnrResponder(const QHash<QString, QList<QHostAddress>> &hosts,
                            const QHostAddress &address = QHostAddress::LocalHost);

    QString endpoint() const { return m_server.endpoint(); }
    int queries() const { return m_server.queries(); }

private:
    UdpResponder::Reply answer(const QByteArray &query) const;

    QHash<QString, QList<QHostAddress>> m_hosts; // keys lower-cased
    UdpResponder m_server;
};

// The PTR owner name of an address, for test servers.
QString ptrNameOf(const QHostAddress &address);

} // namespace testsupport
