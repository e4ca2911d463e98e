#include "firewall/client.h"

#include "firewall/protocol.h"

namespace UtmConnect {

QString Client::ProtocolException::reasonFor(qint32 code)
{
    switch (code) {
    case NetworkError:
        return QStringLiteral("Network error");
    case VersionUnsupported:
        return QStringLiteral("Protocol version unsupported (expected %1 or %2)")
            .arg(Protocol::MinVersion)
            .arg(Protocol::MaxVersion);
    case BadAck:
        return QStringLiteral("Bad ack");
    case ProtocolError:
    default:
        return QStringLiteral("Protocol error");
    }
}

} // namespace UtmConnect
