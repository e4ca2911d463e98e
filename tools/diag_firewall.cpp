// sso-diag firewall: plays a firewall against an agent, so that an admin can
// check an agent without a firewall: handshake, Configuration, Ack of the
// Result, initial user list, then every "[Startup]", "[Login]" and
// "[Logout]" printed and acknowledged, keep-alives at the chosen period.
#include "tools/diagcommand.h"
#include "tools/firewallpeer.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>
#include <cstdio>

namespace {

const char Usage[] = "[--host HOST] [--port PORT] (--key TEXT | --key-hex HEX) [--identity ID] [--bind ADDRESS]\n"
                     "        [--version 2|3] [--model TEXT] [--firmware TEXT] [--serial TEXT]\n"
                     "        [--controller ADDRESS]... [--ignore USER]... [--set KEY=VALUE]... [--rules FILE]\n"
                     "        [--keepalive SECONDS] [--duration SECONDS] [--verbose]\n"
                     "  Configuration keys given with --set are sent as written (LogonTime=28800 unless set).\n"
                     "  The rules file holds the initial user list as sent: [Network], [Network_2], ... sections.";

void print(const QString &text)
{
    std::printf("%s\n", text.toLocal8Bit().constData());
    std::fflush(stdout);
}

void error(const QString &text)
{
    std::fprintf(stderr, "sso-diag firewall: %s\n", text.toLocal8Bit().constData());
}

int run(const QStringList &arguments)
{
    diag::FirewallPeer::Options options;
    options.configuration.clear();
    QStringList controllers;
    int durationSeconds = 0;
    bool verbose = false;
    bool keySet = false;
    bool logonTimeSet = false;

    for (int i = 0; i < arguments.size(); ++i) {
        const QString &option = arguments.at(i);
        if (option == QLatin1String("--verbose")) {
            verbose = true;
            continue;
        }
        if (i + 1 >= arguments.size()) {
            error(QStringLiteral("%1 needs a value").arg(option));
            return 2;
        }
        const QString value = arguments.at(++i);
        bool ok = true;
        if (option == QLatin1String("--host")) {
            options.host = value;
        } else if (option == QLatin1String("--port")) {
            const uint port = value.toUInt(&ok);
            ok = ok && port > 0 && port < 65536;
            options.port = quint16(port);
        } else if (option == QLatin1String("--key")) {
            options.key = value.toUtf8();
            keySet = true;
        } else if (option == QLatin1String("--key-hex")) {
            options.key = QByteArray::fromHex(value.toLatin1());
            keySet = true;
        } else if (option == QLatin1String("--identity")) {
            options.identity = value.toUtf8();
        } else if (option == QLatin1String("--bind")) {
            ok = options.bindAddress.setAddress(value);
        } else if (option == QLatin1String("--version")) {
            options.version = value.toInt(&ok);
        } else if (option == QLatin1String("--model")) {
            options.model = value;
        } else if (option == QLatin1String("--firmware")) {
            options.firmware = value;
        } else if (option == QLatin1String("--serial")) {
            options.serial = value;
        } else if (option == QLatin1String("--controller")) {
            controllers.append(value);
        } else if (option == QLatin1String("--ignore")) {
            options.ignores.append(value);
        } else if (option == QLatin1String("--set")) {
            const int eq = value.indexOf(QLatin1Char('='));
            ok = eq > 0;
            if (ok) {
                options.configuration.append({value.left(eq), value.mid(eq + 1)});
                logonTimeSet |= value.left(eq) == QLatin1String("LogonTime");
            }
        } else if (option == QLatin1String("--rules")) {
            QFile file(value);
            ok = file.open(QIODevice::ReadOnly);
            if (ok)
                options.rules = QString::fromUtf8(file.readAll())
                                    .trimmed()
                                    .replace(QStringLiteral("\r\n"), QStringLiteral("\n"))
                                    .replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
        } else if (option == QLatin1String("--keepalive")) {
            const double seconds = value.toDouble(&ok);
            ok = ok && seconds >= 0;
            options.keepAliveMs = int(seconds * 1000);
        } else if (option == QLatin1String("--duration")) {
            durationSeconds = value.toInt(&ok);
            ok = ok && durationSeconds >= 0;
        } else {
            error(QStringLiteral("unknown option %1").arg(option));
            return 2;
        }
        if (!ok) {
            error(QStringLiteral("bad value for %1: %2").arg(option, value));
            return 2;
        }
    }
    if (!keySet) {
        error(QStringLiteral("the pre-shared key is missing (--key or --key-hex)"));
        return 2;
    }
    if (!controllers.isEmpty())
        options.controllers = controllers;
    if (!logonTimeSet)
        options.configuration.prepend({QStringLiteral("LogonTime"), QStringLiteral("28800")});

    diag::FirewallPeer peer(options);
    int exitCode = 0;
    bool goodbye = false;
    QObject::connect(&peer, &diag::FirewallPeer::encrypted, [&] { print(QStringLiteral("# TLS established")); });
    QObject::connect(&peer, &diag::FirewallPeer::messageReceived, [&](const diag::PeerMessage &message) {
        const bool quiet = message.header == QLatin1String("Ack") || message.header == QLatin1String("Alive");
        if (!quiet || verbose)
            print(message.text + QStringLiteral("\n."));
        if (message.header == QLatin1String("Goodbye"))
            goodbye = true;
    });
    QObject::connect(&peer, &diag::FirewallPeer::failed, [&](const QString &text) {
        error(text);
        exitCode = 1;
    });
    QObject::connect(&peer, &diag::FirewallPeer::disconnected, [&] {
        print(goodbye ? QStringLiteral("# disconnected by the agent") : QStringLiteral("# disconnected"));
        QCoreApplication::exit(exitCode);
    });
    if (durationSeconds > 0) {
        QTimer::singleShot(durationSeconds * 1000, [&] {
            peer.sendText(diag::PeerProtocol::goodbye(QStringLiteral("peer done")));
            peer.close();
            QTimer::singleShot(2000, [] { QCoreApplication::exit(0); });
        });
    }
    peer.start();
    return QCoreApplication::exec();
}

const diag::DiagCommand command("firewall", Usage, run);

} // namespace
