#pragma once

#include "common/exception.h"

#include <QObject>
#include <QString>

namespace UtmConnect {

// The agent's side of one firewall's connection. The conversation's state
// machine lives here; the message formats it speaks are in
// firewall/protocol.h and raise Client::ProtocolException on bad input.
class Client : public QObject
{
    Q_OBJECT
public:
    // A firewall message that breaks the protocol. The connection logs the
    // text, sends a Goodbye with reason() and closes.
    class ProtocolException : public common::Exception
    {
    public:
        enum Code : qint32 {
            NetworkError = 0,
            ProtocolError = 1,
            VersionUnsupported = 2,
            BadAck = 3,
        };

        ProtocolException(qint32 code, const QString &text) : common::Exception(text), m_code(code) {}

        qint32 code() const { return m_code; }
        QString className() const override { return QStringLiteral("Client::ProtocolException"); }
        // The reason the agent's Goodbye carries for this code.
        QString reason() const { return reasonFor(m_code); }
        static QString reasonFor(qint32 code);

    private:
        qint32 m_code;
    };
};

} // namespace UtmConnect
