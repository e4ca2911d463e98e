#pragma once

#include "common/logon.h"
#include "eventsource/nametranslator.h"

#include <QDateTime>
#include <QHostAddress>
#include <QMap>
#include <QString>
#include <QStringList>

namespace userCollector {

// Security-log event identifiers of successful logons.
constexpr quint32 EventIdLogonLegacy = 540;
constexpr quint32 EventIdLogon = 4624;
constexpr quint32 EventIdKerberosTicket = 4768;
constexpr quint32 EventIdKerberosTicketLegacy = 672;

// Logon-type texts a logon may carry; "0x1" marks a refused ticket.
extern const QString LogonTypeInteractive;  // "2"
extern const QString LogonTypeNetwork;      // "3"
extern const QString LogonTypeUnlock;       // "7"
extern const QString LogonTypeTicketOk;     // "0x0"
extern const QString LogonTypeTicketFailed; // "0x1"

// The first instant still read: now minus maxSecondToRead seconds.
QDateTime readCutoff(quint32 maxSecondToRead);

// Address text of an event: "::ffff:" (any case) dropped when stripMapped,
// anything that is not an address ("-", empty) gives a null address.
QHostAddress eventAddress(const QString &text, bool stripMapped);

// True when ignoreList holds user, ignoring case.
bool isIgnoredUser(const QStringList &ignoreList, const QString &user);

// The NetBIOS and DNS forms of the domains seen in events, translated once
// per name and kept for the source's life (also when translation fails: the
// untranslated name is then kept).
class DomainNameCache
{
public:
    // Fills domain and fqdn for a TargetDomainName: the configured pair when
    // it names the configured domain, else the cached translations.
    void map(const QString &eventDomain, const QString &netbios, const QString &fqdn, QString *domain,
             QString *dnsName);

    // One translation each, through the process-wide name translator.
    static QString dnsForm(const QString &name);
    static QString netbiosForm(const QString &name);

    const QMap<QString, QString> &netbiosCache() const { return m_netbiosCache; }
    const QMap<QString, QString> &dnsCache() const { return m_dnsCache; }

private:
    QMap<QString, QString> m_netbiosCache;
    QMap<QString, QString> m_dnsCache;
};

// What a reader took from one event before the common rules apply.
struct LogonCandidate
{
    QString user;
    QHostAddress address;
    QDateTime time;
    QString workstation;
    QString domain;
    QString sid;
    QString logonType;
    QString logonProcess;
};

// The rules both readers apply to an event once its fields are known:
// loopback replaced by the domain controller, accepted logon types, refused
// logon processes, ignore list, domain mapping, "-" workstation, validity.
class LogonRules
{
public:
    LogonRules(const QString &server, const QStringList &ignoreList, const QString &fqdn, const QString &netbios);

    // True with logon filled when the candidate becomes a logon.
    bool makeLogon(LogonCandidate candidate, common::Logon *logon);

    DomainNameCache &domainNames() { return m_domains; }
    const DomainNameCache &domainNames() const { return m_domains; }
    const QStringList &ignoreList() const { return m_ignoreList; }

    static bool isAcceptedLogonType(const QString &logonType);
    static bool isRefusedLogonProcess(const QString &logonProcess);

private:
    QString m_server;
    QHostAddress m_serverAddress;
    QStringList m_ignoreList;
    QString m_fqdn;
    QString m_netbios;
    DomainNameCache m_domains;
};

} // namespace userCollector
