// sso-diag status and sso-diag mappings: ask the running agent, through its
// control socket, what it sees now, and print it readably or as JSON.
#include "serviceframe/controlchannel.h"
#include "serviceframe/qtservicecontroller.h"
#include "tools/diagcommand.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace diag {

namespace {

const int AnswerTimeoutMs = 30000;

void printLine(const QString &text)
{
    std::printf("%s\n", text.toLocal8Bit().constData());
}

// The agent's answer as a JSON object; prints why not and returns false.
bool ask(const QByteArray &query, QJsonObject *document, QByteArray *raw)
{
    const QString socket = QtServiceController::controlSocketPath(QStringLiteral("Ferrowinden SSO Agent"));
    const serviceframe::QueryReply answer = serviceframe::sendQuery(socket, query, AnswerTimeoutMs);
    const serviceframe::ControlReply &reply = answer.reply;
    if (!reply.connected) {
        if (reply.error == EACCES || reply.error == EPERM)
            std::fprintf(stderr, "sso-diag: access to %s refused: run as root or as the agent's user\n",
                         qPrintable(socket));
        else
            std::fprintf(stderr, "sso-diag: no agent runs (nothing answers on %s)\n", qPrintable(socket));
        return false;
    }
    if (reply.error == ECONNRESET) {
        std::fprintf(stderr, "sso-diag: the agent refused the request: run as root or as the agent's user\n");
        return false;
    }
    if (reply.error == ETIMEDOUT) {
        std::fprintf(stderr, "sso-diag: the agent did not answer within %d s\n", AnswerTimeoutMs / 1000);
        return false;
    }
    if (!reply.answered) {
        std::fprintf(stderr, "sso-diag: the agent's answer could not be read (%s)\n", std::strerror(reply.error));
        return false;
    }
    if (!reply.accepted) {
        std::fprintf(stderr, "sso-diag: the agent is %s and does not answer\n",
                     serviceframe::stateText(reply.state).constData());
        return false;
    }
    QJsonParseError error;
    const QJsonDocument parsed = QJsonDocument::fromJson(answer.body, &error);
    if (!parsed.isObject()) {
        std::fprintf(stderr, "sso-diag: the agent's answer is not JSON: %s\n", qPrintable(error.errorString()));
        return false;
    }
    if (parsed.object().contains(QStringLiteral("error"))) {
        std::fprintf(stderr, "sso-diag: %s\n", qPrintable(parsed.object().value(QStringLiteral("error")).toString()));
        return false;
    }
    *document = parsed.object();
    *raw = answer.body;
    return true;
}

// A time of the answer (UTC, ISO 8601) as a local date, or "never".
QString when(const QJsonValue &value)
{
    const QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODateWithMs);
    if (!time.isValid())
        return QStringLiteral("never");
    return time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString number(const QJsonValue &value)
{
    return QString::number(qint64(value.toDouble()));
}

QString logoffText(const QJsonObject &counts)
{
    QStringList parts;
    for (auto it = counts.begin(); it != counts.end(); ++it)
        parts.append(QStringLiteral("%1 %2").arg(it.key(), number(it.value())));
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "));
}

void printCollector(const QJsonObject &collector)
{
    printLine(
        QStringLiteral("Collector %1 (%2): %3 logons cached, %4")
            .arg(collector.value(QStringLiteral("adName")).toString(),
                 collector.value(QStringLiteral("mode")).toString(),
                 number(collector.value(QStringLiteral("cacheSize"))),
                 collector.value(QStringLiteral("dnsCheck")).toBool()
                     ? QStringLiteral("last DNS check %1").arg(when(collector.value(QStringLiteral("lastDnsCheck"))))
                     : QStringLiteral("DNS check off")));
    const QJsonArray controllers = collector.value(QStringLiteral("domainControllers")).toArray();
    for (const QJsonValue &value : controllers) {
        const QJsonObject dc = value.toObject();
        const QString source = dc.value(QStringLiteral("source")).toString();
        printLine(QStringLiteral("  %1 (%2): last collection %3, %4 events read, %5 logons found")
                      .arg(dc.value(QStringLiteral("address")).toString(),
                           source.isEmpty() ? QStringLiteral("no log found yet") : source,
                           when(dc.value(QStringLiteral("lastCollection"))),
                           number(dc.value(QStringLiteral("eventsRead"))),
                           number(dc.value(QStringLiteral("logonsFound")))));
        QString failure = QStringLiteral("    last failure %1").arg(when(dc.value(QStringLiteral("lastFailure"))));
        if (dc.value(QStringLiteral("failureReason")).isString())
            failure += QStringLiteral(": ") + dc.value(QStringLiteral("failureReason")).toString();
        if (dc.value(QStringLiteral("failing")).toBool())
            failure += QStringLiteral(" (failing now)");
        printLine(failure);
    }
    printLine(
        QStringLiteral("  logoffs found: %1").arg(logoffText(collector.value(QStringLiteral("logoffs")).toObject())));
}

void printFirewall(const QJsonObject &firewall)
{
    QString head =
        QStringLiteral("Firewall %1 (%2%3): ")
            .arg(firewall.value(QStringLiteral("name")).toString(), firewall.value(QStringLiteral("adName")).toString(),
                 firewall.value(QStringLiteral("enabled")).toBool() ? QString() : QStringLiteral(", disabled"));
    if (firewall.value(QStringLiteral("connected")).toBool()) {
        head += QStringLiteral("connected from %1 since %2, protocol %3")
                    .arg(firewall.value(QStringLiteral("peer")).toString(),
                         when(firewall.value(QStringLiteral("connectedSince"))),
                         number(firewall.value(QStringLiteral("protocolVersion"))));
    } else {
        head += QStringLiteral("not connected (last connection %1)")
                    .arg(when(firewall.value(QStringLiteral("lastConnection"))));
    }
    printLine(head);
    if (firewall.value(QStringLiteral("connected")).toBool()) {
        printLine(QStringLiteral("  logons sent %1 (acknowledged %2), logoffs sent %3 (acknowledged %4), %5 waiting "
                                 "for an acknowledgement")
                      .arg(number(firewall.value(QStringLiteral("logonsSent"))),
                           number(firewall.value(QStringLiteral("logonsAcknowledged"))),
                           number(firewall.value(QStringLiteral("logoffsSent"))),
                           number(firewall.value(QStringLiteral("logoffsAcknowledged"))),
                           number(firewall.value(QStringLiteral("pendingAcknowledgements")))));
    }
    printLine(QStringLiteral("  rules: %1").arg(number(firewall.value(QStringLiteral("rules")))));
    const QJsonValue logoff = firewall.value(QStringLiteral("logoffCollector"));
    if (!logoff.isObject()) {
        printLine(QStringLiteral("  logoff collector: none yet (no logon sent)"));
        return;
    }
    const QJsonObject collector = logoff.toObject();
    const QJsonValue duration = collector.value(QStringLiteral("lastCycleDurationMs"));
    printLine(QStringLiteral("  logoff collector: probe %1, %2 logons in the probe cache, last cycle %3%4")
                  .arg(collector.value(QStringLiteral("probe")).isString()
                           ? collector.value(QStringLiteral("probe")).toString()
                           : QStringLiteral("off"),
                       number(collector.value(QStringLiteral("probeCacheSize"))),
                       when(collector.value(QStringLiteral("lastCycle"))),
                       duration.isDouble() ? QStringLiteral(" (%1 ms)").arg(number(duration)) : QString()));
    printLine(
        QStringLiteral("  logoffs found: %1").arg(logoffText(collector.value(QStringLiteral("logoffs")).toObject())));
}

int runStatus(const QStringList &arguments)
{
    bool json = false;
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--json")) {
            json = true;
        } else {
            std::fprintf(stderr, "sso-diag status: unknown argument '%s'\n", qPrintable(argument));
            return 2;
        }
    }
    QJsonObject status;
    QByteArray raw;
    if (!ask("status", &status, &raw))
        return 1;
    if (json) {
        std::fwrite(raw.constData(), 1, size_t(raw.size()), stdout);
        return 0;
    }
    printLine(
        QStringLiteral("%1 %2: %3 since %4, %5")
            .arg(status.value(QStringLiteral("agent")).toString(), status.value(QStringLiteral("version")).toString(),
                 status.value(QStringLiteral("state")).toString(), when(status.value(QStringLiteral("startTime"))),
                 status.value(QStringLiteral("listening")).toBool()
                     ? QStringLiteral("listening on port %1").arg(number(status.value(QStringLiteral("port"))))
                     : QStringLiteral("not listening")));
    const QJsonArray collectors = status.value(QStringLiteral("collectors")).toArray();
    const QJsonArray firewalls = status.value(QStringLiteral("firewalls")).toArray();
    if (collectors.isEmpty())
        printLine(QStringLiteral("\nNo collector runs (no enabled firewall configuration)."));
    for (const QJsonValue &collector : collectors) {
        printLine(QString());
        printCollector(collector.toObject());
    }
    if (firewalls.isEmpty())
        printLine(QStringLiteral("\nNo firewall has sent its configuration yet."));
    for (const QJsonValue &firewall : firewalls) {
        printLine(QString());
        printFirewall(firewall.toObject());
    }
    return 0;
}

int runMappings(const QStringList &arguments)
{
    bool json = false;
    QJsonObject filter;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--json")) {
            json = true;
        } else if ((argument == QLatin1String("--ip") || argument == QLatin1String("--user")) &&
                   i + 1 < arguments.size()) {
            const QString value = arguments.at(++i);
            if (argument == QLatin1String("--ip")) {
                const bool subnet = value.contains(QLatin1Char('/'));
                if ((subnet && QHostAddress::parseSubnet(value).first.isNull()) ||
                    (!subnet && QHostAddress(value).isNull())) {
                    std::fprintf(stderr, "sso-diag mappings: %s is neither an address nor a subnet\n",
                                 qPrintable(value));
                    return 2;
                }
            }
            filter.insert(argument.mid(2), value);
        } else {
            std::fprintf(stderr, "sso-diag mappings: unknown or incomplete argument '%s'\n", qPrintable(argument));
            return 2;
        }
    }
    QByteArray query = "mappings";
    if (!filter.isEmpty())
        query += ' ' + QJsonDocument(filter).toJson(QJsonDocument::Compact);
    if (query.size() > serviceframe::MaxRequestLine) {
        std::fprintf(stderr, "sso-diag mappings: the filter is too long\n");
        return 2;
    }
    QJsonObject answer;
    QByteArray raw;
    if (!ask(query, &answer, &raw))
        return 1;
    if (json) {
        std::fwrite(raw.constData(), 1, size_t(raw.size()), stdout);
        return 0;
    }
    const QJsonArray mappings = answer.value(QStringLiteral("mappings")).toArray();
    for (const QJsonValue &value : mappings) {
        const QJsonObject mapping = value.toObject();
        const QString domain = mapping.value(QStringLiteral("domain")).toString();
        QStringList firewalls;
        for (const QJsonValue &told : mapping.value(QStringLiteral("firewalls")).toArray()) {
            const QJsonObject firewall = told.toObject();
            const QString state = firewall.value(QStringLiteral("acknowledged")).toBool() ? QStringLiteral("told")
                                  : firewall.value(QStringLiteral("told")).toBool()
                                      ? QStringLiteral("sent, not acknowledged")
                                      : QStringLiteral("not told");
            firewalls.append(QStringLiteral("%1 %2").arg(firewall.value(QStringLiteral("name")).toString(), state));
        }
        const QString workstation = mapping.value(QStringLiteral("workstation")).toString();
        printLine(QStringLiteral("%1 at %2%3, logon %4, collector %5; firewalls: %6")
                      .arg((domain.isEmpty() ? QString() : domain + QLatin1Char('\\')) +
                               mapping.value(QStringLiteral("user")).toString(),
                           mapping.value(QStringLiteral("address")).toString(),
                           workstation.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(workstation),
                           when(mapping.value(QStringLiteral("logonTime"))),
                           mapping.value(QStringLiteral("adName")).toString(),
                           firewalls.isEmpty() ? QStringLiteral("none") : firewalls.join(QStringLiteral(", "))));
    }
    printLine(QStringLiteral("%1 mapping(s)").arg(mappings.size()));
    return 0;
}

const DiagCommand statusCommand("status", "[--json]   what the running agent sees now: collectors, firewalls",
                                runStatus);
const DiagCommand mappingsCommand("mappings",
                                  "[--ip ADDRESS|SUBNET] [--user [DOMAIN\\]NAME] [--json]   who the running agent "
                                  "maps to which address, and which firewalls were told",
                                  runMappings);

} // namespace

} // namespace diag
