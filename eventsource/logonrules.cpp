#include "eventsource/logonrules.h"

#include "common/clock.h"

namespace userCollector {

const QString LogonTypeInteractive = QStringLiteral("2");
const QString LogonTypeNetwork = QStringLiteral("3");
const QString LogonTypeUnlock = QStringLiteral("7");
const QString LogonTypeTicketOk = QStringLiteral("0x0");
const QString LogonTypeTicketFailed = QStringLiteral("0x1");

QDateTime readCutoff(quint32 maxSecondToRead)
{
    return common::Clock::now().addSecs(-static_cast<qint64>(maxSecondToRead));
}

QHostAddress eventAddress(const QString &text, bool stripMapped)
{
    QString address = text;
    if (stripMapped && address.startsWith(QLatin1String("::FFFF"), Qt::CaseInsensitive)) {
        address.remove(0, 7);
        // A mapped address written in hex ("::ffff:0a00:5") is no dotted
        // address once the prefix is gone; take its IPv4 form instead.
        QHostAddress mapped;
        bool isV4 = false;
        if (!QHostAddress().setAddress(address) && mapped.setAddress(text)) {
            const quint32 v4 = mapped.toIPv4Address(&isV4);
            if (isV4)
                return QHostAddress(v4);
        }
    }
    QHostAddress result;
    if (address.isEmpty() || !result.setAddress(address))
        return QHostAddress();
    return result;
}

bool isIgnoredUser(const QStringList &ignoreList, const QString &user)
{
    return ignoreList.contains(user, Qt::CaseInsensitive);
}

namespace {
// Translates once; on the "try the other way round" code translates back and
// drops the trailing separator; otherwise the name stays as it is.
QString translateForm(const QString &name, const QString &firstSuffix, INameTranslator::NameFormat firstFrom,
                      INameTranslator::NameFormat firstTo, quint32 retryCode, const QString &secondSuffix)
{
    INameTranslator &translator = INameTranslator::instance();
    QString translated;
    quint32 code = 0;
    if (translator.translateName(name + firstSuffix, firstFrom, firstTo, &translated, &code) || code != retryCode)
        return name;
    translated.clear();
    if (!translator.translateName(name + secondSuffix, firstTo, firstFrom, &translated, &code))
        return name;
    translated.chop(1);
    return translated;
}
} // namespace

QString DomainNameCache::dnsForm(const QString &name)
{
    return translateForm(name, QStringLiteral("/"), INameTranslator::NameCanonical, INameTranslator::NameSamCompatible,
                         INameTranslator::ErrorSomeNotMapped, QStringLiteral("\\"));
}

QString DomainNameCache::netbiosForm(const QString &name)
{
    return translateForm(name, QStringLiteral("\\"), INameTranslator::NameSamCompatible, INameTranslator::NameCanonical,
                         INameTranslator::ErrorNoSuchUser, QStringLiteral("/"));
}

void DomainNameCache::map(const QString &eventDomain, const QString &netbios, const QString &fqdn, QString *domain,
                          QString *dnsName)
{
    const QString key = eventDomain.toUpper();
    if (key == netbios.toUpper() || key == fqdn.toUpper()) {
        *domain = netbios;
        *dnsName = fqdn;
        return;
    }
    auto dns = m_dnsCache.find(key);
    if (dns == m_dnsCache.end())
        dns = m_dnsCache.insert(key, dnsForm(key).toLower());
    *dnsName = dns.value();
    auto nb = m_netbiosCache.find(key);
    if (nb == m_netbiosCache.end())
        nb = m_netbiosCache.insert(key, netbiosForm(key).toUpper());
    *domain = nb.value();
}

LogonRules::LogonRules(const QString &server, const QStringList &ignoreList, const QString &fqdn,
                       const QString &netbios)
    : m_server(server), m_serverAddress(server), m_ignoreList(ignoreList), m_fqdn(fqdn), m_netbios(netbios)
{}

bool LogonRules::isAcceptedLogonType(const QString &logonType)
{
    return logonType == LogonTypeInteractive || logonType == LogonTypeNetwork || logonType == LogonTypeUnlock ||
           logonType == LogonTypeTicketOk;
}

bool LogonRules::isRefusedLogonProcess(const QString &logonProcess)
{
    const QString process = logonProcess.toLower();
    return process == QLatin1String("ntlmssp") || process == QLatin1String("advapi");
}

bool LogonRules::makeLogon(LogonCandidate candidate, common::Logon *logon)
{
    // A logon seen on the domain controller itself is attributed to it.
    static const QHostAddress localHost(QHostAddress::LocalHost);
    static const QHostAddress localHostIPv6(QHostAddress::LocalHostIPv6);
    if (candidate.address == localHost || candidate.address == localHostIPv6)
        candidate.address = m_serverAddress;
    if (!isAcceptedLogonType(candidate.logonType))
        return false;
    if (isRefusedLogonProcess(candidate.logonProcess))
        return false;
    if (isIgnoredUser(m_ignoreList, candidate.user))
        return false;
    QString domain;
    QString dnsName;
    m_domains.map(candidate.domain, m_netbios, m_fqdn, &domain, &dnsName);
    if (candidate.workstation == QLatin1String("-"))
        candidate.workstation.clear();
    common::Logon result(candidate.user, candidate.address, candidate.time, candidate.workstation, domain,
                         candidate.sid, dnsName);
    if (!result.isValid())
        return false;
    *logon = result;
    return true;
}

} // namespace userCollector
