#pragma once

#include <QDateTime>
#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QSharedPointer>
#include <QString>
#include <ostream>

namespace common {

// Says that an account logged on from a host address at a time. A copyable
// value; equality is user (ignoring case) and address only.
class Logon
{
public:
    Logon() = default;
    Logon(const QString &user, const QHostAddress &ip, const QDateTime &time, const QString &workstation,
          const QString &domain, const QString &sid, const QString &fqdn);
    Logon(const Logon &) = default;
    Logon &operator=(const Logon &) = default;
    virtual ~Logon() = default;

    virtual std::ostream &print(std::ostream &stream) const;
    virtual QString toString() const;

    bool operator==(const Logon &other) const;
    bool operator!=(const Logon &other) const { return !(*this == other); }

    // Not empty, with an address, no machine account ("...$"), not "ANONYMOUS LOGON".
    bool isValid() const;
    // Seconds left of maxSeconds counted from time(); 0 once older than maxSeconds.
    quint32 remainingSeconds(quint32 maxSeconds, const QDateTime &now) const;
    // The same with now in ms since the epoch, for callers that ask for many
    // logons: a local time costs a time-zone look-up each time it is converted.
    quint32 remainingSeconds(quint32 maxSeconds, qint64 nowMSecsSinceEpoch) const;
    // First label of a host name, upper-cased.
    void setWorkstationFromHostName(const QString &hostName);
    QString netbiosUser() const;
    QString fqdnUser() const;

    const QHostAddress &ip() const { return m_ip; }
    void setIp(const QHostAddress &ip) { m_ip = ip; }
    const QDateTime &time() const { return m_time; }
    void setTime(const QDateTime &time) { m_time = time; }
    const QString &user() const { return m_user; }
    void setUser(const QString &user) { m_user = user; }
    const QString &workstation() const { return m_workstation; }
    void setWorkstation(const QString &workstation) { m_workstation = workstation; }
    const QString &sid() const { return m_sid; }
    void setSid(const QString &sid) { m_sid = sid; }
    const QString &domain() const { return m_domain; }
    void setDomain(const QString &domain) { m_domain = domain; }
    const QString &fqdn() const { return m_fqdn; }
    void setFqdn(const QString &fqdn) { m_fqdn = fqdn; }

protected:
    // Date and time to the second in ISO 8601 extended form, as both text forms use it.
    QString timeText() const;

private:
    QHostAddress m_ip;
    QDateTime m_time;
    QString m_user;
    QString m_workstation;
    QString m_sid;
    QString m_domain;
    QString m_fqdn;
};

// A logon that has ended, with the cause.
class Logoff : public Logon
{
public:
    enum LogoffType : qint32 {
        LogoffPing = 0,
        LogoffTimeout = 1,
        LogoffRegister = 2,
        LogoffDns = 3,
        LogoffSessionReplace = 4,
        LogoffUnknown = 5,
    };

    Logoff() = default;
    Logoff(const Logon &logon, LogoffType type) : Logon(logon), m_type(type) {}

    QString toString() const override;

    LogoffType type() const { return m_type; }
    void setType(LogoffType type) { m_type = type; }

    // "ping", "timeout", "register", "dns", "session replace", "unknown".
    static const QString &typeName(LogoffType type);

private:
    LogoffType m_type = LogoffUnknown;
};

// Process-wide names shared with the configuration and the name look-up.
extern const QString LogoffNamePing;
extern const QString LogoffNameTimeout;
extern const QString LogoffNameRegister;
extern const QString LogoffNameDns;
extern const QString LogoffNameSessionReplace;
extern const QString LogoffNameUnknown;

using LogonList = QList<Logon>;
using ShdLogon = QSharedPointer<Logon>;

inline std::ostream &operator<<(std::ostream &stream, const Logon &logon)
{
    return logon.print(stream);
}

// Registers the records with the meta-type system under the names that
// queued signal/slot connections use. Call once before any connection.
void registerMetaTypes();

} // namespace common

Q_DECLARE_METATYPE(common::Logon)
Q_DECLARE_METATYPE(common::ShdLogon)
Q_DECLARE_METATYPE(common::Logoff)
Q_DECLARE_METATYPE(common::Logoff::LogoffType)
