#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>
#include <QStringList>

namespace settings {

// Section "Global" of config.ini.
struct GlobalConfiguration
{
    enum VerboseLevelValue : qint32 { VerboseOff = 0, VerboseLow = 1, VerboseHigh = 2 };

    qint32 VerboseLevel = VerboseLow;
    qint32 ADObsolescenceTimeout = 0;
    bool FirewallEnabled = false;
    qint32 MaxThreadPool = 0;
    QString Lookup = QStringLiteral("all");
    bool FlushDnsCache = false;
    bool DumpEnabled = false;
    QString DumpUrl;
    // Read-only: a Samba authentication file for the remote-registry probe
    // (empty: Kerberos from the service's credential cache). Never written.
    QString RegistryAuthFile;
    // Read-only: "address[:port]" of the metrics page (empty: none). Never written.
    QString MetricsAddress;

    // "off", "low", "high"; any other value gives "low" when parsing.
    static QString verboseLevelToText(qint32 level);
    static qint32 verboseLevelFromText(const QString &text);

    QString toString() const;
};

// Section "WebServer" of config.ini.
struct ServerConfiguration
{
    static const QString DefaultKey; // "nil key"
    static constexpr int MinimumKeyLength = 16;

    qint32 Port = 0;
    QString SSLKey;

    // Why the key is weak (the default, or shorter than MinimumKeyLength); empty when it is not.
    QString keyWeakness() const;
    // The dump shows whether a key is set, never the key.

    QString toString() const;
};

// One firewall's configuration: section "AD-<name>" of config.ini. name always
// equals FirewallName; adName (the sorted domain controllers joined with "_")
// identifies the set of domain controllers several firewalls may share.
class ADConfiguration
{
public:
    enum ProbeMethod : qint32 { ProbePing = 0, ProbeRegister = 1 };

    explicit ADConfiguration(const QString &name = QString());

    bool isValid() const;
    QString shortName() const { return m_adName.left(30); }
    QString toString() const;

    bool operator==(const ADConfiguration &other) const;
    bool operator!=(const ADConfiguration &other) const { return !(*this == other); }

    // "ping" and "register" (case-sensitive); anything else gives defaultMethod.
    static ProbeMethod probeMethodFromText(const QString &text, ProbeMethod defaultMethod = ProbePing);
    // "ping", "register", or the empty text.
    static QString probeMethodToText(qint32 method);
    // Servers sorted and joined with "_".
    static QString adNameOf(const QStringList &servers);

    const QString &name() const { return m_name; }
    const QString &firewallName() const { return m_FirewallName; }
    void setFirewallName(const QString &name)
    {
        m_FirewallName = name;
        m_name = name;
    }
    const QStringList &servers() const { return m_Servers; }
    void setServers(const QStringList &servers);
    const QStringList &ignoreList() const { return m_IgnoreList; }
    void setIgnoreList(const QStringList &list) { m_IgnoreList = list; }
    const QString &adName() const { return m_adName; }

    quint32 maxLogonTime() const { return m_MaxLogonTime; }
    void setMaxLogonTime(quint32 v) { m_MaxLogonTime = v; }
    quint32 collectInterval() const { return m_CollectInterval; }
    void setCollectInterval(quint32 v) { m_CollectInterval = v; }
    ProbeMethod method() const { return m_Method; }
    void setMethod(ProbeMethod v) { m_Method = v; }
    quint32 dnsInterval() const { return m_DnsInterval; }
    void setDnsInterval(quint32 v) { m_DnsInterval = v; }
    quint32 probeTimeout() const { return m_ProbeTimeout; }
    void setProbeTimeout(quint32 v) { m_ProbeTimeout = v; }
    quint32 cacheTimeout() const { return m_CacheTimeout; }
    void setCacheTimeout(quint32 v) { m_CacheTimeout = v; }
    quint32 maxConcurrent() const { return m_MaxConcurrent; }
    void setMaxConcurrent(quint32 v) { m_MaxConcurrent = v; }
    quint32 userCheckFrequency() const { return m_UserCheckFrequency; }
    void setUserCheckFrequency(quint32 v) { m_UserCheckFrequency = v; }
    bool enabled() const { return m_Enabled; }
    void setEnabled(bool v) { m_Enabled = v; }
    bool probeEnabled() const { return m_ProbeEnabled; }
    void setProbeEnabled(bool v) { m_ProbeEnabled = v; }
    bool dnsEnabled() const { return m_DnsEnabled; }
    void setDnsEnabled(bool v) { m_DnsEnabled = v; }
    quint32 pingTimeout() const { return m_PingTimeout; }
    void setPingTimeout(quint32 v) { m_PingTimeout = v; }
    quint32 maxSecondToRead() const { return m_MaxSecondToRead; }
    void setMaxSecondToRead(quint32 v) { m_MaxSecondToRead = v; }
    bool syslogState() const { return m_SyslogState; }
    void setSyslogState(bool v) { m_SyslogState = v; }
    quint32 syslogPort() const { return m_SyslogPort; }
    void setSyslogPort(quint32 v) { m_SyslogPort = v; }
    const QString &syslogAddr() const { return m_SyslogAddr; }
    void setSyslogAddr(const QString &v) { m_SyslogAddr = v.toLower(); }
    const QString &syslogAddrPattern() const { return m_SyslogAddrPattern; }
    void setSyslogAddrPattern(const QString &v) { m_SyslogAddrPattern = v; }
    const QString &syslogUserPattern() const { return m_SyslogUserPattern; }
    void setSyslogUserPattern(const QString &v) { m_SyslogUserPattern = v; }
    const QString &syslogMsgPattern() const { return m_SyslogMsgPattern; }
    void setSyslogMsgPattern(const QString &v) { m_SyslogMsgPattern = v; }
    const QDateTime &lastUtmConnection() const { return m_LastUtmConnection; }
    void setLastUtmConnection(const QDateTime &v) { m_LastUtmConnection = v; }
    const QString &apiName() const { return m_ApiName; }
    void setApiName(const QString &v) { m_ApiName = v.trimmed(); }
    const QString &netbios() const { return m_Netbios; }
    void setNetbios(const QString &v) { m_Netbios = v; }
    const QString &fqdn() const { return m_Fqdn; }
    void setFqdn(const QString &v) { m_Fqdn = v; }

private:
    QString m_name;
    QString m_FirewallName;
    QStringList m_Servers;
    QStringList m_IgnoreList;
    QString m_adName;
    quint32 m_MaxLogonTime = 0;
    quint32 m_CollectInterval = 0;
    ProbeMethod m_Method = ProbePing;
    quint32 m_DnsInterval = 0;
    quint32 m_ProbeTimeout = 0;
    quint32 m_CacheTimeout = 0;
    quint32 m_MaxConcurrent = 0;
    quint32 m_UserCheckFrequency = 0;
    bool m_Enabled = false;
    bool m_ProbeEnabled = false;
    bool m_DnsEnabled = false;
    quint32 m_PingTimeout = 0;
    quint32 m_MaxSecondToRead = 0;
    bool m_SyslogState = false;
    quint32 m_SyslogPort = 514;
    QString m_SyslogAddr;
    QString m_SyslogAddrPattern;
    QString m_SyslogUserPattern;
    QString m_SyslogMsgPattern;
    QDateTime m_LastUtmConnection;
    QString m_ApiName;
    QString m_Netbios;
    QString m_Fqdn;
};

// Registers ADConfiguration under "ADConfiguration" and "settings::ADConfiguration".
void registerMetaTypes();

} // namespace settings

Q_DECLARE_METATYPE(settings::ADConfiguration)
