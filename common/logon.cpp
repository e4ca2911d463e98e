#include "logon.h"

#include <QMetaType>
#include <limits>

namespace common {

const QString LogoffNamePing = QStringLiteral("ping");
const QString LogoffNameTimeout = QStringLiteral("timeout");
const QString LogoffNameRegister = QStringLiteral("register");
const QString LogoffNameDns = QStringLiteral("dns");
const QString LogoffNameSessionReplace = QStringLiteral("session replace");
const QString LogoffNameUnknown = QStringLiteral("unknown");

Logon::Logon(const QString &user, const QHostAddress &ip, const QDateTime &time, const QString &workstation,
             const QString &domain, const QString &sid, const QString &fqdn)
    : m_ip(ip), m_time(time), m_user(user), m_workstation(workstation), m_sid(sid), m_domain(domain), m_fqdn(fqdn)
{}

std::ostream &Logon::print(std::ostream &stream) const
{
    return stream << toString().toLocal8Bit().toStdString();
}

QString Logon::timeText() const
{
    return m_time.toString(Qt::ISODate);
}

QString Logon::toString() const
{
    QString text =
        QStringLiteral("%1: user: %2\\%3 from %4 domain %5").arg(timeText(), m_domain, m_user, m_ip.toString(), m_fqdn);
    if (!m_workstation.isEmpty())
        text += QStringLiteral(" on %1").arg(m_workstation);
    if (!m_sid.isEmpty())
        text += QStringLiteral(" sid: %1").arg(m_sid);
    return text;
}

bool Logon::operator==(const Logon &other) const
{
    return m_user.compare(other.m_user, Qt::CaseInsensitive) == 0 && m_ip == other.m_ip;
}

bool Logon::isValid() const
{
    return !m_user.isEmpty() && !m_ip.isNull() && !m_user.endsWith(QLatin1Char('$')) &&
           m_user != QLatin1String("ANONYMOUS LOGON");
}

namespace {
quint32 secondsLeft(quint32 maxSeconds, qint64 age)
{
    if (age > static_cast<qint64>(maxSeconds))
        return 0;
    // A logon time in the future leaves more than maxSeconds; clamp to the type.
    const qint64 left = static_cast<qint64>(maxSeconds) - age;
    return left > static_cast<qint64>(std::numeric_limits<quint32>::max()) ? std::numeric_limits<quint32>::max()
                                                                           : static_cast<quint32>(left);
}
} // namespace

quint32 Logon::remainingSeconds(quint32 maxSeconds, const QDateTime &now) const
{
    return secondsLeft(maxSeconds, m_time.secsTo(now));
}

quint32 Logon::remainingSeconds(quint32 maxSeconds, qint64 nowMSecsSinceEpoch) const
{
    // As QDateTime::secsTo: no age without a time, whole seconds towards zero.
    const qint64 age = m_time.isValid() ? (nowMSecsSinceEpoch - m_time.toMSecsSinceEpoch()) / 1000 : 0;
    return secondsLeft(maxSeconds, age);
}

void Logon::setWorkstationFromHostName(const QString &hostName)
{
    m_workstation = hostName.split(QLatin1Char('.'), Qt::KeepEmptyParts).first().toUpper();
}

QString Logon::netbiosUser() const
{
    return QStringLiteral("%1\\%2").arg(m_domain, m_user);
}

QString Logon::fqdnUser() const
{
    return QStringLiteral("%1\\%2").arg(m_fqdn, m_user);
}

const QString &Logoff::typeName(LogoffType type)
{
    switch (type) {
    case LogoffPing:
        return LogoffNamePing;
    case LogoffTimeout:
        return LogoffNameTimeout;
    case LogoffRegister:
        return LogoffNameRegister;
    case LogoffDns:
        return LogoffNameDns;
    case LogoffSessionReplace:
        return LogoffNameSessionReplace;
    case LogoffUnknown:
        break;
    }
    return LogoffNameUnknown;
}

QString Logoff::toString() const
{
    QString text = timeText();
    text += QLatin1String(" : user: ");
    text += domain() + QLatin1Char('\\') + user();
    text += QLatin1String(" from ") + ip().toString();
    if (!workstation().isEmpty())
        text += QLatin1String(" on ") + workstation();
    if (!sid().isEmpty())
        text += QLatin1String(" sid: ") + sid();
    text += QLatin1String(" (") + typeName(type()) + QLatin1Char(')');
    return text;
}

void registerMetaTypes()
{
    qRegisterMetaType<LogonList>("LogonList");
    qRegisterMetaType<LogonList>("common::LogonList");
    qRegisterMetaType<ShdLogon>("ShdLogon");
    qRegisterMetaType<ShdLogon>("QSharedPointer<Logon>");
    qRegisterMetaType<ShdLogon>("common::ShdLogon");
    qRegisterMetaType<Logoff>("Logoff");
    qRegisterMetaType<Logoff>("common::Logoff");
    qRegisterMetaType<Logoff::LogoffType>("Logoff::LogoffType");
    qRegisterMetaType<Logoff::LogoffType>("common::Logoff::LogoffType");
}

} // namespace common
