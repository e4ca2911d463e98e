#pragma once

#include "common/logon.h"
#include "common/userrule.h"
#include "firewall/client.h"
#include "settings/configuration.h"
#include "settings/inifile.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>
#include <optional>

namespace UtmConnect {

// A message the agent sends: its lines (the first is the "[Header]") and the
// entry count the firewall's Ack must carry (-1: no Ack expected).
struct AgentMessage
{
    QStringList lines;
    qint32 expectedEntries = -1;

    // Lines joined with CR LF.
    QString text() const;
    // What goes on the wire: the text, CR LF "." CR LF, as UTF-8.
    QByteArray frame() const;
};

// What a firewall says about itself in its handshake.
struct Handshake
{
    qint32 protocolVersion = 0;
    QString model;
    QString firmware;
    QString serial;
};

// A firewall's Configuration message applied to its stored configuration.
struct ConfigurationUpdate
{
    settings::ADConfiguration previous; // as stored before (invalid when there was none)
    settings::ADConfiguration current;  // as built from the message (and stored when valid)
    QString adName;                     // the controllers sorted and joined with "_"
};

// Cuts the firewall's byte stream into messages. A line ends at its LF; the
// line ".\r\n" ends a message; other lines are decoded from UTF-8, trimmed
// and joined with LF. A message (the lines received so far plus an
// unfinished line) may not exceed MaxMessageBytes bytes or MaxMessageLines
// lines: a peer that never ends its line or its message cannot make the
// agent's memory grow. Call takeMessage() after every append().
class MessageFramer
{
public:
    static constexpr int MaxMessageBytes = 1024 * 1024;
    static constexpr int MaxMessageLines = 10000;

    void append(const QByteArray &data);
    // The next complete message's text; false when none is complete yet.
    // Throws Client::ProtocolException (protocol error) when the message
    // under way exceeds a limit; what was buffered is dropped then.
    bool takeMessage(QString *text);
    // True while part of a message (lines or an unfinished line) waits.
    bool hasPartialMessage() const;
    void clear();

private:
    QByteArray m_buffer; // bytes not yet cut into lines, from m_pos on
    int m_pos = 0;
    QStringList m_lines;       // lines of the message under way
    qint64 m_messageBytes = 0; // raw bytes of m_lines
};

// The wire format of the conversation with a firewall: parsing its messages
// (handed over as IniFile) into records and building the agent's own
// messages. Stateless; the connection keeps the state. Malformed firewall
// messages raise Client::ProtocolException with the code and text the
// connection logs and answers.
class Protocol
{
public:
    static constexpr qint32 MinVersion = 2;
    static constexpr qint32 MaxVersion = 3;
    // Read window used when testing a domain controller for the Result lines.
    static constexpr quint32 TestReadWindow = 3600;

    // Exactly one section, named exactly type (case counts).
    static bool isOfType(const IniFile &message, const QString &type);
    // Key lines over all sections.
    static int entryCount(const IniFile &message);
    // A message text for the log: trimmed, without its final ".", each line
    // indented by four blanks, lines separated by CR LF.
    static QString dump(const QString &text);
    // The same as lines, for ApplicationDebug::logHighLines.
    static QStringList dumpLines(const QString &text);

    // --- firewall to agent ---
    static Handshake readHandshake(const IniFile &message);
    // Builds the firewall's configuration from its Configuration message on
    // top of stored (or of the defaults when stored is not valid). Pure.
    static settings::ADConfiguration readConfiguration(const IniFile &message, const settings::ADConfiguration &stored,
                                                       const QString &serial, const QDateTime &now,
                                                       QString *adName = nullptr);
    // readConfiguration on the configuration stored for serial, then stores
    // the result through settings::Settings. Time from common::Clock.
    static ConfigurationUpdate storeConfiguration(const IniFile &message, const QString &serial,
                                                  const QString &peer = QString());
    // One rule section (user, id, action, HOST*/RANGE*/NETWORK* entries).
    // Does not check that the rule has entries.
    static common::UserRule readRule(const IniFile &message, const QString &section);
    static QList<common::UserRule> readInitialUserList(const IniFile &message);
    static QList<common::NewUserRule> readUserDelta(const IniFile &message);
    // The acknowledgement of a message that expected `expected` entries;
    // receivedText is quoted in the error.
    static void checkAck(const IniFile &message, const QString &receivedText, qint32 expected);
    static void checkKeepAlive(const IniFile &message);
    static bool isKeepAlive(const IniFile &message);
    static bool isGoodbye(const IniFile &message);
    static QString goodbyeError(const IniFile &message);

    // --- agent to firewall ---
    static AgentMessage agentMessage(qint32 version);
    // One "Controller"/"Controller_<n>" line per result, "OK" or "KO".
    static AgentMessage resultMessage(const QList<bool> &controllersOk);
    // Tests every controller of config through an event source of its
    // ApiName; a source that cannot be created counts as "KO". In syslog
    // mode nothing is tested and every controller is "OK".
    static QList<bool> testControllers(const settings::ADConfiguration &config, bool syslogMode,
                                       const QString &peer = QString());
    // The Result for a stored Configuration: syslog mode is decided by the
    // configuration as it was before the message, the lines are one per
    // controller the firewall has just sent.
    static AgentMessage resultMessage(const ConfigurationUpdate &update, const QString &peer = QString());
    static AgentMessage ackMessage(qint32 entries);
    static AgentMessage aliveMessage();
    // "[Startup]" or "[Login]": one line per user key with its
    // "<remaining seconds>@<address>" items. Users with forbidden characters
    // are skipped and logged. Expects an Ack with the number of user lines.
    // included, when given, receives the positions in logons of those the
    // message carries, in the order of their address items in its lines.
    static AgentMessage loginMessage(const common::LogonList &logons, bool startup, qint32 protocolVersion,
                                     quint32 maxLogonTime, const QDateTime &now, const QString &peer = QString(),
                                     QVector<int> *included = nullptr);
    // The same with MaxLogonTime from the configuration stored for serial and
    // the time from common::Clock.
    static AgentMessage loginMessage(const common::LogonList &logons, bool startup, qint32 protocolVersion,
                                     const QString &serial, const QString &peer = QString(),
                                     QVector<int> *included = nullptr);
    // loginMessage for serial, cut by splitLogin into messages a firewall
    // reads whole; included, when given, gets per message the positions in
    // logons of the logons it carries.
    static QList<AgentMessage> loginMessages(const common::LogonList &logons, bool startup, qint32 protocolVersion,
                                             const QString &serial, const QString &peer = QString(),
                                             QVector<QVector<int>> *included = nullptr);
    // A "[Startup]" or "[Login]" cut into messages of at most maxLines lines
    // (header included) and maxBytes bytes on the wire (terminator included):
    // by default the limits the agent itself puts on a firewall's messages.
    // One that fits comes back as it is. A user's line moves whole to the
    // next message when it fits there; a line longer than any message is
    // spread over several, each with the same user key and part of its
    // addresses. Only the first message keeps "[Startup]"; each expects the
    // Ack of its own user lines. An address item that cannot fit even with
    // its key alone in a message is logged and left out. items, when given,
    // gets per message the indexes of the address items it carries, counted
    // over the whole login's lines in order.
    static QList<AgentMessage> splitLogin(const AgentMessage &login, const QString &peer = QString(),
                                          qint64 maxBytes = MessageFramer::MaxMessageBytes,
                                          int maxLines = MessageFramer::MaxMessageLines,
                                          QVector<QVector<int>> *items = nullptr);
    // Nothing (and no log line) when the user has forbidden characters or
    // there is no address.
    static std::optional<AgentMessage> logoutMessage(const common::Logoff &logoff, qint32 protocolVersion);
    static AgentMessage goodbyeMessage(const QString &reason);

    // The user key: "NETBIOS\user" below version 3, "fqdn\user" from 3 on.
    static QString userKey(const common::Logon &logon, qint32 protocolVersion);
    // A user name that could break a message line: blank, tab, double quote,
    // & ~ | = * < > ! ( ) \ $ % ? ' ` and control characters.
    static bool hasForbiddenChars(const QString &user);
    // The defaults a firewall's configuration starts from when none is stored.
    static settings::ADConfiguration defaultConfiguration(const QString &name);
};

} // namespace UtmConnect
