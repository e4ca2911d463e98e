#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>

namespace lookup {

// The system resolver (getaddrinfo / getnameinfo, with whatever the system
// configures behind them). An interface so that tests can give answers the
// machine's own configuration cannot. Any thread may call it at any time.
class ISystemResolver
{
public:
    struct Answer
    {
        int family = 0; // AF_INET, AF_INET6 or another family
        QHostAddress address;
    };

    virtual ~ISystemResolver() = default;

    // getaddrinfo with all-zero hints (any family, any socket type): 0 and
    // the answers in order, or the EAI_* status.
    virtual int addressesOf(const QByteArray &name, QList<Answer> *answers) = 0;
    // getnameinfo on the address with NI_NOFQDN and a 1025-byte buffer: 0 and
    // the host text, or the EAI_* status with errno in *systemError.
    virtual int nameOf(const QHostAddress &address, QByteArray *host, int *systemError) = 0;

    // The resolver in use: the system's unless a test installed another.
    static ISystemResolver *current();
    // Tests: installs a resolver (not owned); nullptr restores the system's.
    static void setForTest(ISystemResolver *resolver);
};

} // namespace lookup
