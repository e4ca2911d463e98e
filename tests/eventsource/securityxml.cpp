#include "securityxml.h"

namespace testsupport {

namespace {
// Data elements in the order a forwarder writes them; a null value is left out.
void data(QByteArray *out, std::initializer_list<std::pair<const char *, QString>> values)
{
    for (const auto &value : values) {
        if (!value.second.isNull())
            *out += "    <Data Name=\"" + QByteArray(value.first) + "\">" + value.second.toHtmlEscaped().toUtf8() +
                    "</Data>\n";
    }
}
} // namespace

QByteArray securityEventXml(const SecurityEvent &event)
{
    QByteArray out =
        QStringLiteral(
            "<Event xmlns=\"http://schemas.microsoft.com/win/2004/08/events/event\">\n  <System>\n    <Provider "
            "Name=\"Microsoft-Windows-Security-Auditing\" Guid=\"{54849625-5478-4994-A5BA-3E3B0328C30D}\"/>\n"
            "    <EventID>%1</EventID>\n    <Version>2</Version>\n    <Level>0</Level>\n    <Task>12544</Task>\n"
            "    <Opcode>0</Opcode>\n    <Keywords>0x8020000000000000</Keywords>\n"
            "    <TimeCreated SystemTime=\"%2\"/>\n    <EventRecordID>%3</EventRecordID>\n"
            "    <Correlation/>\n    <Execution ProcessID=\"636\" ThreadID=\"4532\"/>\n"
            "    <Channel>Security</Channel>\n    <Computer>dc01.corp.example.com</Computer>\n    <Security/>\n  "
            "</System>\n  <EventData>\n")
            .arg(event.eventId)
            .arg(event.time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")) + QStringLiteral("4567Z"))
            .arg(event.recordId)
            .toUtf8();
    const QString port = QStringLiteral("49807");
    if (event.eventId == 4768) {
        data(&out, {{"TargetUserName", event.user},
                    {"TargetDomainName", event.domain},
                    {"TargetSid", event.sid},
                    {"ServiceName", QStringLiteral("krbtgt")},
                    {"TicketOptions", QStringLiteral("0x40810010")},
                    {"Status", event.status},
                    {"TicketEncryptionType", QStringLiteral("0x12")},
                    {"PreAuthType", QStringLiteral("2")},
                    {"IpAddress", event.ip},
                    {"IpPort", port}});
    } else {
        data(&out, {{"SubjectUserSid", QStringLiteral("S-1-0-0")},
                    {"SubjectUserName", QStringLiteral("-")},
                    {"SubjectDomainName", QStringLiteral("-")},
                    {"SubjectLogonId", QStringLiteral("0x0")},
                    {"TargetUserSid", event.sid},
                    {"TargetUserName", event.user},
                    {"TargetDomainName", event.domain},
                    {"TargetLogonId", QStringLiteral("0x3e7f5a1")},
                    {"LogonType", event.logonType},
                    {"LogonProcessName", event.logonProcess},
                    {"AuthenticationPackageName", QStringLiteral("Kerberos")},
                    {"WorkstationName", event.workstation},
                    {"LogonGuid", QStringLiteral("{00000000-0000-0000-0000-000000000000}")},
                    {"IpAddress", event.ip},
                    {"IpPort", port}});
    }
    out.append("  </EventData>\n</Event>\n");
    return out;
}

} // namespace testsupport
