#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace testsupport {

// A real DNS server for tests and benchmarks: dnsmasq on 127.0.0.1 with a
// free port, answering only from its own hosts file (A, AAAA and the PTR
// records dnsmasq derives from it) and nothing upstream; names under the
// given local domain that it does not know get NXDOMAIN. Stopped with the object.
class DnsmasqServer
{
public:
    DnsmasqServer() = default;
    ~DnsmasqServer() { stop(); }
    DnsmasqServer(const DnsmasqServer &) = delete;
    DnsmasqServer &operator=(const DnsmasqServer &) = delete;

    // hosts: lines "address name..." as in a hosts file. False (see error())
    // when dnsmasq does not come up.
    bool start(const QByteArray &hosts, const QString &localDomain = QStringLiteral("test"));
    // "127.0.0.1:port", as the configuration writes servers.
    QString endpoint() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }
    QString error() const { return m_error; }

private:
    void stop();
    bool answers() const;

    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

} // namespace testsupport
