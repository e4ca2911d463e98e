#include "lookup/lookupoptions.h"

#include "log/applicationdebug.h"
#include "settings/configuration.h"
#include "settings/settings.h"

#include <QSettings>
#include <QStringList>
#include <QVariant>
#include <algorithm>

namespace lookup {

namespace {

// QSettings reads "a, b" as a list; both forms mean the same entries.
QString readListKey(QSettings &ini, const QString &key)
{
    const QVariant value = ini.value(key);
    if (value.type() == QVariant::StringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

bool parsePort(const QString &text, quint16 *port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value == 0 || value > 65535)
        return false;
    *port = static_cast<quint16>(value);
    return true;
}

bool parseEndpoint(const QString &entry, quint16 defaultPort, Endpoint *endpoint)
{
    QString host = entry;
    quint16 port = defaultPort;
    if (entry.startsWith(QLatin1Char('['))) {
        const int close = entry.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        host = entry.mid(1, close - 1);
        const QString rest = entry.mid(close + 1);
        if (!rest.isEmpty() && (!rest.startsWith(QLatin1Char(':')) || !parsePort(rest.mid(1), &port)))
            return false;
    } else if (entry.count(QLatin1Char(':')) == 1) {
        // One colon: IPv4 with a port. More than one: a bare IPv6 address.
        const int colon = entry.indexOf(QLatin1Char(':'));
        host = entry.left(colon);
        if (!parsePort(entry.mid(colon + 1), &port))
            return false;
    }
    QHostAddress address;
    if (!address.setAddress(host))
        return false;
    endpoint->address = address;
    endpoint->port = port;
    return true;
}

} // namespace

int LookupOptions::threadLimit() const
{
    return std::max(1, std::min(maxThreadPool, MaxThreads));
}

LookupOptions LookupOptions::fromConfiguration()
{
    settings::Settings *config = settings::Settings::instance();
    return fromConfiguration(config->globalConfiguration(), config->configPath());
}

LookupOptions LookupOptions::fromConfiguration(const settings::GlobalConfiguration &global, const QString &iniPath)
{
    LookupOptions options;
    options.mode = global.Lookup;
    options.maxThreadPool = global.MaxThreadPool;
    if (!iniPath.isEmpty()) {
        QSettings ini(iniPath, QSettings::IniFormat);
        ini.beginGroup(QStringLiteral("Global"));
        options.dnsServers =
            parseEndpoints(readListKey(ini, QStringLiteral("DnsServers")), 53, QStringLiteral("DnsServers"));
        options.llmnrTargets =
            parseEndpoints(readListKey(ini, QStringLiteral("LlmnrTarget")), LlmnrPort, QStringLiteral("LlmnrTarget"));
    }
    return options;
}

QList<Endpoint> LookupOptions::parseEndpoints(const QString &text, quint16 defaultPort, const QString &key)
{
    QList<Endpoint> endpoints;
    const QStringList entries = text.split(QLatin1Char(','), Qt::SkipEmptyParts);
    for (const QString &raw : entries) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        Endpoint endpoint;
        if (parseEndpoint(entry, defaultPort, &endpoint))
            endpoints.append(endpoint);
        else
            ApplicationDebug::logLow(
                QStringLiteral("%1 entry must be an ip with an optional port: %2").arg(key, entry));
    }
    return endpoints;
}

QList<Endpoint> llmnrMulticastTargets()
{
    return {Endpoint{QHostAddress(QStringLiteral("224.0.0.252")), LlmnrPort},
            Endpoint{QHostAddress(QStringLiteral("ff02::1:3")), LlmnrPort}};
}

} // namespace lookup
