#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace testsupport {

// One Security-log event as a forwarder renders it. A null text leaves its
// Data element out; an empty text writes an empty one.
struct SecurityEvent
{
    quint32 eventId = 4624;
    quint64 recordId = 1;
    QDateTime time; // UTC
    QString user = QStringLiteral("alice");
    QString domain = QStringLiteral("CORP");
    QString sid = QStringLiteral("S-1-5-21-1-2-3-1104");
    QString workstation = QStringLiteral("PC07");
    QString ip = QStringLiteral("10.0.0.5");
    QString logonType = QStringLiteral("3");
    QString logonProcess = QStringLiteral("Kerberos");
    QString status; // 4768 only
};

// The <Event> element, UTF-8, ending in a line feed.
QByteArray securityEventXml(const SecurityEvent &event);

} // namespace testsupport
