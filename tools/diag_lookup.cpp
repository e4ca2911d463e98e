// sso-diag lookup: what the agent's name look-up finds for names and
// addresses, in the configured mode or the one given.
#include "log/applicationdebug.h"
#include "lookup/namelookup.h"
#include "settings/configuration.h"
#include "tools/diagcommand.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <cstdio>

namespace {

const char Usage[] = "[--mode all|dns|llmnr] [--servers ADDRESS[:PORT],...] [--llmnr-target ADDRESS[:PORT],...]\n"
                     "        [--config FILE] [--domain NETBIOS] [--timeout SECONDS] [--verbose] NAME-or-ADDRESS...";

void print(const QString &text)
{
    std::printf("%s\n", text.toLocal8Bit().constData());
}

QString defaultConfigPath()
{
    const QStringList candidates = {QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("config.ini")),
                                    QStringLiteral("/opt/ferrowinden-sso-agent/config.ini")};
    for (const QString &path : candidates) {
        if (QFileInfo(path).isFile())
            return path;
    }
    return QString();
}

// The Global keys the look-up uses, read without touching the file.
settings::GlobalConfiguration readGlobal(const QString &path)
{
    settings::GlobalConfiguration global;
    global.MaxThreadPool = 64;
    if (path.isEmpty())
        return global;
    QSettings ini(path, QSettings::IniFormat);
    ini.beginGroup(QStringLiteral("Global"));
    global.MaxThreadPool = ini.value(QStringLiteral("MaxThreadPool"), 64).toInt();
    const QString mode = ini.value(QStringLiteral("Lookup"), QStringLiteral("all")).toString();
    if (mode == QLatin1String("all") || mode == QLatin1String("dns") || mode == QLatin1String("llmnr"))
        global.Lookup = mode;
    return global;
}

QString endpointsText(const QList<lookup::Endpoint> &endpoints, const QString &none)
{
    if (endpoints.isEmpty())
        return none;
    QStringList parts;
    for (const lookup::Endpoint &endpoint : endpoints)
        parts << QStringLiteral("%1 port %2").arg(endpoint.address.toString()).arg(endpoint.port);
    return parts.join(QStringLiteral(", "));
}

int run(const QStringList &arguments)
{
    QString mode;
    QString servers;
    QString llmnrTarget;
    QString configPath = defaultConfigPath();
    QString domain;
    int timeoutSeconds = 0;
    bool verbose = false;
    QStringList targets;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const bool hasValue = i + 1 < arguments.size();
        if (argument == QLatin1String("--verbose") || argument == QLatin1String("-v")) {
            verbose = true;
        } else if (argument.startsWith(QLatin1String("--")) && !hasValue) {
            std::fprintf(stderr, "sso-diag lookup: %s needs a value\nusage: sso-diag lookup %s\n", qPrintable(argument),
                         Usage);
            return 2;
        } else if (argument == QLatin1String("--mode")) {
            mode = arguments.at(++i);
        } else if (argument == QLatin1String("--servers")) {
            servers = arguments.at(++i);
        } else if (argument == QLatin1String("--llmnr-target")) {
            llmnrTarget = arguments.at(++i);
        } else if (argument == QLatin1String("--config")) {
            configPath = arguments.at(++i);
        } else if (argument == QLatin1String("--domain")) {
            domain = arguments.at(++i);
        } else if (argument == QLatin1String("--timeout")) {
            timeoutSeconds = arguments.at(++i).toInt();
        } else if (argument.startsWith(QLatin1String("--"))) {
            std::fprintf(stderr, "sso-diag lookup: unknown option %s\nusage: sso-diag lookup %s\n",
                         qPrintable(argument), Usage);
            return 2;
        } else {
            targets << argument;
        }
    }
    if (targets.isEmpty()) {
        std::fprintf(stderr, "usage: sso-diag lookup %s\n", Usage);
        return 2;
    }
    if (!mode.isEmpty() && mode != QLatin1String("all") && mode != QLatin1String("dns") &&
        mode != QLatin1String("llmnr")) {
        std::fprintf(stderr, "sso-diag lookup: the mode must be all, dns or llmnr\n");
        return 2;
    }

    QTemporaryDir logDirectory;
    if (verbose) {
        ApplicationDebug::create(logDirectory.path());
        ApplicationDebug::applyVerboseLevel(settings::GlobalConfiguration::VerboseHigh);
    }
    lookup::LookupOptions options = lookup::LookupOptions::fromConfiguration(readGlobal(configPath), configPath);
    if (!mode.isEmpty())
        options.mode = mode;
    if (!servers.isEmpty())
        options.dnsServers = lookup::LookupOptions::parseEndpoints(servers, 53, QStringLiteral("--servers"));
    if (!llmnrTarget.isEmpty())
        options.llmnrTargets =
            lookup::LookupOptions::parseEndpoints(llmnrTarget, lookup::LlmnrPort, QStringLiteral("--llmnr-target"));
    if (timeoutSeconds > 0)
        options.batchLimitMs = timeoutSeconds * 1000;

    print(QStringLiteral("configuration: %1")
              .arg(configPath.isEmpty() ? QStringLiteral("(none, defaults)") : configPath));
    print(QStringLiteral("mode: %1").arg(options.mode));
    if (options.mode != QLatin1String("llmnr"))
        print(QStringLiteral("DNS servers: %1").arg(endpointsText(options.dnsServers, QStringLiteral("the system's"))));
    if (options.mode == QLatin1String("llmnr"))
        print(QStringLiteral("LLMNR targets: %1")
                  .arg(endpointsText(options.llmnrTargets, endpointsText(lookup::llmnrMulticastTargets(), QString()))));

    // Addresses are asked for their names, anything else for its addresses,
    // each kind in one batch as the collectors do.
    QList<HostAddresses> names;
    common::LogonList addresses;
    for (const QString &target : targets) {
        QHostAddress address;
        if (address.setAddress(target))
            addresses.append(common::Logon(QStringLiteral("sso-diag"), address, QDateTime::currentDateTime(), QString(),
                                           domain, QString(), QString()));
        else
            names.append(HostAddresses(target));
    }
    const bool namesComplete = lookupAddressesInThreads(names, options);
    const bool addressesComplete = lookupHostNamesInThreads(addresses, options);

    int missing = 0;
    for (const HostAddresses &item : names) {
        QStringList found;
        for (const QHostAddress &address : item.addresses)
            found << address.toString();
        found.removeDuplicates();
        if (found.isEmpty())
            ++missing;
        print(QStringLiteral("%1 -> %2")
                  .arg(item.name, found.isEmpty() ? QStringLiteral("(no address)") : found.join(QStringLiteral(", "))));
    }
    for (const common::Logon &logon : addresses) {
        // The agent keeps the first label, upper-cased, as the workstation.
        if (logon.workstation().isEmpty())
            ++missing;
        print(QStringLiteral("%1 -> %2")
                  .arg(logon.ip().toString(),
                       logon.workstation().isEmpty() ? QStringLiteral("(no name)") : logon.workstation()));
    }
    if (!namesComplete || !addressesComplete)
        print(QStringLiteral("(the look-up did not finish within %1 seconds)").arg(options.batchLimitMs / 1000));

    if (verbose && ApplicationDebug::instance()) {
        QFile log(ApplicationDebug::instance()->fileName());
        if (log.open(QIODevice::ReadOnly))
            std::fprintf(stderr, "%s", log.readAll().constData());
        ApplicationDebug::destroy();
    }
    return missing == 0 ? 0 : 1;
}

const diag::DiagCommand command("lookup", Usage, run);

} // namespace
