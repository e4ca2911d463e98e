#pragma once

#include <QHostAddress>
#include <QList>
#include <QString>

namespace settings {
struct GlobalConfiguration;
}

namespace lookup {

// Where a query goes: an address and a UDP port.
struct Endpoint
{
    QHostAddress address;
    quint16 port = 0;

    bool operator==(const Endpoint &other) const { return address == other.address && port == other.port; }
};

// Everything a look-up needs to know, taken from the configuration once per
// call (a batch copies it into every worker, so workers never touch the
// configuration). Plain value, safe to copy between threads.
struct LookupOptions
{
    static constexpr int DefaultBatchLimitMs = 300000;
    static constexpr int MaxThreads = 64;

    QString mode = QStringLiteral("all"); // "all", "dns" or "llmnr"
    int maxThreadPool = MaxThreads;
    // Unicast DNS servers; empty means the system's (/etc/resolv.conf).
    QList<Endpoint> dnsServers;
    // LLMNR query targets; empty means the link-local multicast groups.
    QList<Endpoint> llmnrTargets;
    int dnsTimeoutMs = 2000; // per try and server
    int dnsTries = 2;
    int llmnrTimeoutMs = 1000; // per try
    int llmnrTries = 2;
    int batchLimitMs = DefaultBatchLimitMs;

    // Look-up threads allowed at a time: min(MaxThreadPool, 64), at least one.
    int threadLimit() const;

    // The agent's configuration: Lookup and MaxThreadPool from the settings,
    // and the read-only Global keys DnsServers and LlmnrTarget read from the
    // same config.ini (never written back).
    static LookupOptions fromConfiguration();
    // The same from an explicit global record and config.ini path (the file may be missing).
    static LookupOptions fromConfiguration(const settings::GlobalConfiguration &global, const QString &iniPath);

    // "address[:port]" entries separated by commas; IPv6 with a port is written
    // "[address]:port". Entries that are not addresses are logged and skipped.
    static QList<Endpoint> parseEndpoints(const QString &text, quint16 defaultPort, const QString &key);
};

// The LLMNR port and groups.
constexpr quint16 LlmnrPort = 5355;
QList<Endpoint> llmnrMulticastTargets();

} // namespace lookup
