#include "securityxml.h"

namespace testsupport {

namespace {
QByteArray escaped(const QString &text)
{
    return text.toHtmlEscaped().toUtf8();
}

void data(QByteArray *out, const char *name, const QString &value)
{
    if (value.isNull())
        return;
    out->append("    <Data Name=\"").append(name).append("\">").append(escaped(value)).append("</Data>\n");
}
} // namespace

QByteArray securityEventXml(const SecurityEvent &event)
{
    QByteArray out;
    out.reserve(1400);
    out.append("<Event xmlns=\"http://schemas.microsoft.com/win/2004/08/events/event\">\n  <System>\n"
               "    <Provider Name=\"Microsoft-Windows-Security-Auditing\" "
               "Guid=\"{54849625-5478-4994-A5BA-3E3B0328C30D}\"/>\n");
    out.append("    <EventID>").append(QByteArray::number(event.eventId)).append("</EventID>\n");
    out.append("    <Version>2</Version>\n    <Level>0</Level>\n    <Task>12544</Task>\n    <Opcode>0</Opcode>\n"
               "    <Keywords>0x8020000000000000</Keywords>\n");
    out.append("    <TimeCreated SystemTime=\"")
        .append(event.time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")).toLatin1())
        .append("4567Z\"/>\n");
    out.append("    <EventRecordID>").append(QByteArray::number(event.recordId)).append("</EventRecordID>\n");
    out.append("    <Correlation/>\n    <Execution ProcessID=\"636\" ThreadID=\"4532\"/>\n"
               "    <Channel>Security</Channel>\n    <Computer>dc01.corp.example.com</Computer>\n"
               "    <Security/>\n  </System>\n  <EventData>\n");
    if (event.eventId == 4768) {
        data(&out, "TargetUserName", event.user);
        data(&out, "TargetDomainName", event.domain);
        data(&out, "TargetSid", event.sid);
        data(&out, "ServiceName", QStringLiteral("krbtgt"));
        data(&out, "TicketOptions", QStringLiteral("0x40810010"));
        data(&out, "Status", event.status);
        data(&out, "TicketEncryptionType", QStringLiteral("0x12"));
        data(&out, "PreAuthType", QStringLiteral("2"));
        data(&out, "IpAddress", event.ip);
        data(&out, "IpPort", QStringLiteral("49807"));
    } else {
        data(&out, "SubjectUserSid", QStringLiteral("S-1-0-0"));
        data(&out, "SubjectUserName", QStringLiteral("-"));
        data(&out, "SubjectDomainName", QStringLiteral("-"));
        data(&out, "SubjectLogonId", QStringLiteral("0x0"));
        data(&out, "TargetUserSid", event.sid);
        data(&out, "TargetUserName", event.user);
        data(&out, "TargetDomainName", event.domain);
        data(&out, "TargetLogonId", QStringLiteral("0x3e7f5a1"));
        data(&out, "LogonType", event.logonType);
        data(&out, "LogonProcessName", event.logonProcess);
        data(&out, "AuthenticationPackageName", QStringLiteral("Kerberos"));
        data(&out, "WorkstationName", event.workstation);
        data(&out, "LogonGuid", QStringLiteral("{00000000-0000-0000-0000-000000000000}"));
        data(&out, "IpAddress", event.ip);
        data(&out, "IpPort", QStringLiteral("49807"));
    }
    out.append("  </EventData>\n</Event>\n");
    return out;
}

} // namespace testsupport
