#include "lookup/systemresolver.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>

namespace lookup {

namespace {

class PosixResolver : public ISystemResolver
{
public:
    int addressesOf(const QByteArray &name, QList<Answer> *answers) override
    {
        addrinfo hints{};
        addrinfo *result = nullptr;
        const int status = ::getaddrinfo(name.constData(), nullptr, &hints, &result);
        if (status != 0)
            return status;
        for (const addrinfo *entry = result; entry; entry = entry->ai_next) {
            Answer answer;
            answer.family = entry->ai_family;
            if (entry->ai_addr && (entry->ai_family == AF_INET || entry->ai_family == AF_INET6))
                answer.address = QHostAddress(entry->ai_addr);
            answers->append(answer);
        }
        ::freeaddrinfo(result);
        return 0;
    }

    int nameOf(const QHostAddress &address, QByteArray *host, int *systemError) override
    {
        sockaddr_storage storage{};
        socklen_t size = 0;
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
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
        char buffer[1025] = {};
        errno = 0;
        const int status =
            ::getnameinfo(reinterpret_cast<sockaddr *>(&storage), size, buffer, sizeof buffer, nullptr, 0, NI_NOFQDN);
        *systemError = errno;
        if (status == 0)
            *host = QByteArray(buffer);
        return status;
    }
};

std::atomic<ISystemResolver *> installed{nullptr};

} // namespace

ISystemResolver *ISystemResolver::current()
{
    ISystemResolver *resolver = installed.load();
    // Never destroyed: a look-up still running at process exit may use it.
    static PosixResolver *posix = new PosixResolver;
    return resolver ? resolver : posix;
}

void ISystemResolver::setForTest(ISystemResolver *resolver)
{
    installed.store(resolver);
}

} // namespace lookup
