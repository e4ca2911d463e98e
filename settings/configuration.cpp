#include "settings/configuration.h"

#include <QMetaType>
#include <algorithm>

namespace settings {

namespace {
QString boolText(bool value)
{
    return value ? QStringLiteral("true") : QStringLiteral("false");
}
} // namespace

QString GlobalConfiguration::verboseLevelToText(qint32 level)
{
    switch (level) {
    case VerboseOff:
        return QStringLiteral("off");
    case VerboseHigh:
        return QStringLiteral("high");
    default:
        return QStringLiteral("low");
    }
}

qint32 GlobalConfiguration::verboseLevelFromText(const QString &text)
{
    const QString lower = text.toLower();
    if (lower == QLatin1String("off"))
        return VerboseOff;
    if (lower == QLatin1String("high"))
        return VerboseHigh;
    return VerboseLow;
}

QString GlobalConfiguration::toString() const
{
    QString text = QStringLiteral("[GlobalConfiguration]\n");
    text += QStringLiteral("\t verboseLevel: ") + verboseLevelToText(VerboseLevel) + QLatin1Char('\n');
    text += QStringLiteral("\t AD Obsolescence Timeout: ") + QString::number(ADObsolescenceTimeout) + QLatin1Char('\n');
    text += QStringLiteral("\t firewall enabled: ") + boolText(FirewallEnabled) + QLatin1Char('\n');
    text += QStringLiteral("\t maximum thread pool size: ") + QString::number(MaxThreadPool) + QLatin1Char('\n');
    text += QStringLiteral("\t lookup protocol: ") + Lookup + QLatin1Char('\n');
    text += QStringLiteral("\t flush DNS cache: ") + boolText(FlushDnsCache) + QLatin1Char('\n');
    text += QStringLiteral("\t dump enabled: ") + boolText(DumpEnabled) + QLatin1Char('\n');
    text += QStringLiteral("\t dump url: ") + DumpUrl + QLatin1Char('\n');
    return text;
}

QString ServerConfiguration::toString() const
{
    QString text = QStringLiteral("[ServerConfiguration]\n");
    text += QStringLiteral("\t port: ") + QString::number(Port) + QLatin1Char('\n');
    // The key itself never goes to the log.
    text += QStringLiteral("\t sslkey: ") +
            (SSLKey == DefaultKey ? QStringLiteral("(default nil key)") : QStringLiteral("(set)")) + QLatin1Char('\n');
    return text;
}

const QString ServerConfiguration::DefaultKey = QStringLiteral("nil key");

QString ServerConfiguration::keyWeakness() const
{
    if (SSLKey == DefaultKey)
        return QStringLiteral("the pre-shared key (SSLKey) is the default \"nil key\", which anyone can use to connect "
                              "as a firewall: set your own with -k");
    if (SSLKey.size() < MinimumKeyLength)
        return QStringLiteral("the pre-shared key (SSLKey) is shorter than %1 characters: a short pre-shared key "
                              "can be found by an offline dictionary attack on one recorded handshake (RFC 9257)")
            .arg(MinimumKeyLength);
    return QString();
}

ADConfiguration::ADConfiguration(const QString &name) : m_name(name), m_FirewallName(name) {}

bool ADConfiguration::isValid() const
{
    return !m_name.isEmpty() && !m_FirewallName.isEmpty() && m_MaxLogonTime != 0 && m_CollectInterval != 0;
}

QString ADConfiguration::adNameOf(const QStringList &servers)
{
    QStringList sorted = servers;
    std::sort(sorted.begin(), sorted.end());
    return sorted.join(QLatin1Char('_'));
}

void ADConfiguration::setServers(const QStringList &servers)
{
    m_Servers = servers;
    m_adName = adNameOf(servers);
}

ADConfiguration::ProbeMethod ADConfiguration::probeMethodFromText(const QString &text, ProbeMethod defaultMethod)
{
    if (text == QLatin1String("ping"))
        return ProbePing;
    if (text == QLatin1String("register"))
        return ProbeRegister;
    return defaultMethod;
}

QString ADConfiguration::probeMethodToText(qint32 method)
{
    if (method == ProbePing)
        return QStringLiteral("ping");
    if (method == ProbeRegister)
        return QStringLiteral("register");
    return QString();
}

bool ADConfiguration::operator==(const ADConfiguration &o) const
{
    return m_name == o.m_name && m_FirewallName == o.m_FirewallName && m_adName == o.m_adName &&
           m_IgnoreList.join(QLatin1Char(',')) == o.m_IgnoreList.join(QLatin1Char(',')) &&
           m_MaxLogonTime == o.m_MaxLogonTime && m_CollectInterval == o.m_CollectInterval && m_Method == o.m_Method &&
           m_DnsInterval == o.m_DnsInterval && m_ProbeTimeout == o.m_ProbeTimeout &&
           m_CacheTimeout == o.m_CacheTimeout && m_MaxConcurrent == o.m_MaxConcurrent &&
           m_UserCheckFrequency == o.m_UserCheckFrequency && m_Enabled == o.m_Enabled &&
           m_ProbeEnabled == o.m_ProbeEnabled && m_DnsEnabled == o.m_DnsEnabled && m_PingTimeout == o.m_PingTimeout &&
           m_MaxSecondToRead == o.m_MaxSecondToRead && m_SyslogState == o.m_SyslogState &&
           m_SyslogPort == o.m_SyslogPort && m_SyslogAddr == o.m_SyslogAddr &&
           m_SyslogAddrPattern == o.m_SyslogAddrPattern && m_SyslogUserPattern == o.m_SyslogUserPattern &&
           m_SyslogMsgPattern == o.m_SyslogMsgPattern && m_ApiName == o.m_ApiName && m_Netbios == o.m_Netbios &&
           m_Fqdn == o.m_Fqdn;
}

QString ADConfiguration::toString() const
{
    auto line = [](const char *label, const QString &value) {
        return QLatin1String(label) + value + QLatin1Char('\n');
    };
    QString text = QStringLiteral("[ADConfiguration - ") + m_name + QStringLiteral("]\n");
    text += line("\t firewall name: ", m_FirewallName);
    text += line("\t domain controllers: ", m_Servers.join(QLatin1Char(',')));
    text += line("\t ignore list: ", m_IgnoreList.join(QLatin1Char(',')));
    text += line("\t maxLogonTime: ", QString::number(m_MaxLogonTime));
    text += line("\t max seconds to read on AD: ", QString::number(m_MaxSecondToRead));
    text += line("\t collectInterval: ", QString::number(m_CollectInterval));
    if (!m_ApiName.isEmpty())
        text += line("\t collectApiName: ", m_ApiName);
    text += line("\t enabled: ", boolText(m_Enabled));
    text += line("\t DNS check enabled: ", boolText(m_DnsEnabled));
    text += line("\t DNS interval: ", QString::number(m_DnsInterval));
    text += line("\t fqdn: ", m_Fqdn);
    text += line("\t netbios: ", m_Netbios);
    text += line("\t syslog mode: ", boolText(m_SyslogState));
    text += line("\t syslog port: ", QString::number(m_SyslogPort));
    text += line("\t syslog address: ", m_SyslogAddr);
    text += line("\t IP regexp: ", m_SyslogAddrPattern);
    text += line("\t user regexp: ", m_SyslogUserPattern);
    text += line("\t msg regexp: ", m_SyslogMsgPattern);
    text += line("\t probe Enabled: ", boolText(m_ProbeEnabled));
    text += line("\t probe Method: ", probeMethodToText(m_Method));
    text += line("\t probe Timeout: ", QString::number(m_ProbeTimeout));
    text += line("\t probe CacheTimeout: ", QString::number(m_CacheTimeout));
    text += line("\t probe MaxConcurrent: ", QString::number(m_MaxConcurrent));
    text += line("\t probe UserCheckFrequency: ", QString::number(m_UserCheckFrequency));
    text += line("\t probe PingTimeout: ", QString::number(m_PingTimeout));
    return text;
}

void registerMetaTypes()
{
    qRegisterMetaType<ADConfiguration>("ADConfiguration");
    qRegisterMetaType<ADConfiguration>("settings::ADConfiguration");
}

} // namespace settings
