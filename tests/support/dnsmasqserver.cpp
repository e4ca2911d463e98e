#include "support/dnsmasqserver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

const char *const Binary = "/usr/sbin/dnsmasq";

sockaddr_in loopback(quint16 port)
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in.sin_port = htons(port);
    return in;
}

// A port free for both UDP and TCP on 127.0.0.1 right now (0: none found).
quint16 freePort()
{
    const int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in in = loopback(0);
    socklen_t size = sizeof in;
    const bool bound = ::bind(udp, reinterpret_cast<sockaddr *>(&in), size) == 0 &&
                       ::getsockname(udp, reinterpret_cast<sockaddr *>(&in), &size) == 0;
    ::close(udp);
    const int tcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool tcpFree = bound && ::bind(tcp, reinterpret_cast<sockaddr *>(&in), sizeof in) == 0;
    ::close(tcp);
    return tcpFree ? ntohs(in.sin_port) : 0;
}

} // namespace

bool DnsmasqServer::start(const QByteArray &hosts, const QString &localDomain)
{
    if (!QFileInfo(QString::fromLatin1(Binary)).isExecutable()) {
        m_error = QStringLiteral("%1 is not installed").arg(QString::fromLatin1(Binary));
        return false;
    }
    const QString hostsPath = m_dir.filePath(QStringLiteral("hosts"));
    QFile file(hostsPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(hosts) != hosts.size()) {
        m_error = QStringLiteral("cannot write %1").arg(hostsPath);
        return false;
    }
    file.close();
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    // Another process may take the port between the probe and dnsmasq's bind: then try another.
    for (int attempt = 0; attempt < 20; ++attempt) {
        m_port = freePort();
        if (m_port == 0)
            continue;
        // A test that dies must not leave its server behind: setpriv gives it a signal when its parent goes.
        QStringList arguments = {QStringLiteral("--pdeathsig"),
                                 QStringLiteral("TERM"),
                                 QStringLiteral("--"),
                                 QString::fromLatin1(Binary),
                                 QStringLiteral("--no-daemon"),
                                 QStringLiteral("--conf-file=/dev/null"),
                                 QStringLiteral("--no-resolv"),
                                 QStringLiteral("--no-hosts"),
                                 QStringLiteral("--addn-hosts=%1").arg(hostsPath),
                                 QStringLiteral("--port=%1").arg(m_port),
                                 QStringLiteral("--listen-address=127.0.0.1"),
                                 QStringLiteral("--bind-interfaces"),
                                 QStringLiteral("--pid-file"),
                                 QStringLiteral("--cache-size=0"),
                                 QStringLiteral("--dns-forward-max=1000")};
        if (!localDomain.isEmpty())
            arguments << QStringLiteral("--local=/%1/").arg(localDomain);
        if (::geteuid() == 0)
            arguments << QStringLiteral("--user=root") << QStringLiteral("--group=root");
        m_process.start(QStringLiteral("setpriv"), arguments);
        if (!m_process.waitForStarted(5000)) {
            m_error = m_process.errorString();
            return false;
        }
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 5000 && m_process.state() == QProcess::Running) {
            if (answers())
                return true;
        }
        m_error = QString::fromLocal8Bit(m_process.readAll());
        stop();
    }
    return false;
}

void DnsmasqServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

// Any reply to a query shows that dnsmasq is listening.
bool DnsmasqServer::answers() const
{
    static const unsigned char query[] = {0x12, 0x34, 0x01, 0x00, 0,   1,   0, 0, 0, 0, 0, 0,
                                          5,    'p',  'r',  'o',  'b', 'e', 0, 0, 1, 0, 1};
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in in = loopback(m_port);
    bool replied = false;
    if (::sendto(fd, query, sizeof query, 0, reinterpret_cast<const sockaddr *>(&in), sizeof in) > 0) {
        pollfd p{fd, POLLIN, 0};
        char buffer[512];
        replied = ::poll(&p, 1, 100) > 0 && ::recv(fd, buffer, sizeof buffer, 0) > 0;
    }
    ::close(fd);
    return replied;
}

} // namespace testsupport
