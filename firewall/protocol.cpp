#include "firewall/protocol.h"

#include "common/clock.h"
#include "eventsource/iactivedirectoryeventcollector.h"
#include "log/applicationdebug.h"
#include "settings/settings.h"

#include <QHash>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSet>
#include <memory>

namespace UtmConnect {

using Exception = Client::ProtocolException;

namespace {

const QString InitialListError = QStringLiteral("The initial user list message is not well formed");
const QString DeltaError = QStringLiteral("The user delta message is not well formed");

void logLine(const QString &peer, const QString &text)
{
    if (peer.isEmpty())
        ApplicationDebug::logLow(QStringLiteral("[UtmConnect] %1").arg(text));
    else
        ApplicationDebug::logLow(QStringLiteral("[UtmConnect] %1: %2").arg(peer, text));
}

// "Key", then "Key_2", "Key_3", ... up to the first missing or empty one.
QStringList numberedValues(const IniFile &message, const QString &section, const QString &key)
{
    QStringList values;
    for (int i = 1;; ++i) {
        const QString name = i == 1 ? key : QStringLiteral("%1_%2").arg(key).arg(i);
        const QString value = message.value(section, name);
        if (value.isEmpty())
            break;
        values.append(value);
    }
    return values;
}

// Unsigned configuration values: a negative number would wrap to a huge one
// (a logon that never expires), so it counts as missing.
quint32 unsignedValue(const IniFile &message, const QString &key, quint32 defaultValue)
{
    const qint32 value = message.intValue(QStringLiteral("Configuration"), key, -1);
    return value < 0 ? defaultValue : quint32(value);
}

bool isControlChar(QChar c)
{
    return c.unicode() < 0x20 || c.unicode() == 0x7f;
}

// The domain part of a user key must not end the key early, start a section
// header or break the line.
bool keyPrefixBreaksLine(const QString &prefix)
{
    if (prefix.startsWith(QLatin1Char('[')) || prefix.contains(QLatin1Char('=')))
        return true;
    for (QChar c : prefix)
        if (isControlChar(c))
            return true;
    return false;
}

// The part of the user key before the backslash.
const QString &keyDomain(const common::Logon &logon, qint32 protocolVersion)
{
    return protocolVersion < 3 ? logon.domain() : logon.fqdn();
}

// Bytes of text in UTF-8; never less than what toUtf8() makes of it.
qint64 utf8Size(const QString &text)
{
    qint64 size = 0;
    const QChar *c = text.constData();
    const QChar *end = c + text.size();
    for (; c != end; ++c) {
        const ushort u = c->unicode();
        if (u < 0x80)
            size += 1;
        else if (u < 0x800)
            size += 2;
        else if (c->isHighSurrogate() && c + 1 != end && (c + 1)->isLowSurrogate()) {
            size += 4;
            ++c;
        } else
            size += 3;
    }
    return size;
}

// Fills login messages line by line within a firewall's read limits.
class LoginPacker
{
public:
    // items, when given, gets per message the indexes of its address items.
    LoginPacker(const QString &firstHeader, qint64 maxBytes, int maxLines, QVector<QVector<int>> *items)
        : m_maxBytes(maxBytes), m_maxLines(maxLines), m_items(items)
    {
        if (m_items)
            m_items->clear();
        start(firstHeader);
    }

    // Whether a line of lineBytes fits in the message under way.
    bool fits(qint64 lineBytes) const
    {
        return m_current.lines.size() < m_maxLines && m_bytes + 2 + lineBytes <= m_maxBytes;
    }
    // Whether it would fit in a "[Login]" of its own.
    bool fitsAlone(qint64 lineBytes) const
    {
        return m_maxLines >= 2 && LoginBytes + Framing + 2 + lineBytes <= m_maxBytes;
    }
    bool hasUsers() const { return m_current.lines.size() > 1; }

    // The line carries itemCount address items from index firstItem on.
    void add(const QString &line, qint64 lineBytes, int firstItem, int itemCount)
    {
        m_current.lines.append(line);
        m_bytes += 2 + lineBytes;
        for (int i = 0; m_items && i < itemCount; ++i)
            m_currentItems.append(firstItem + i);
    }
    // Closes the message under way and opens a "[Login]".
    void next()
    {
        finish();
        start(QStringLiteral("[Login]"));
    }
    QList<AgentMessage> take()
    {
        // A last message without users is only sent when it is the only one.
        if (hasUsers() || m_done.isEmpty())
            finish();
        return m_done;
    }

private:
    static constexpr qint64 Framing = 5; // CR LF "." CR LF
    static constexpr qint64 LoginBytes = 7;

    void start(const QString &header)
    {
        m_current = AgentMessage{{header}, 0};
        m_currentItems.clear();
        m_bytes = utf8Size(header) + Framing;
    }
    void finish()
    {
        m_current.expectedEntries = m_current.lines.size() - 1;
        m_done.append(m_current);
        if (m_items)
            m_items->append(m_currentItems);
    }

    const qint64 m_maxBytes;
    const int m_maxLines;
    AgentMessage m_current;
    qint64 m_bytes = 0; // of m_current on the wire, terminator included
    QList<AgentMessage> m_done;
    QVector<QVector<int>> *m_items;
    QVector<int> m_currentItems;
};

} // namespace

// ---------------------------------------------------------------- messages

QString AgentMessage::text() const
{
    return lines.join(QStringLiteral("\r\n"));
}

QByteArray AgentMessage::frame() const
{
    return (text() + QStringLiteral("\r\n.\r\n")).toUtf8();
}

// ----------------------------------------------------------------- framing

void MessageFramer::append(const QByteArray &data)
{
    m_buffer.append(data);
}

bool MessageFramer::takeMessage(QString *text)
{
    for (;;) {
        const int end = m_buffer.indexOf('\n', m_pos);
        if (end < 0) {
            m_buffer.remove(0, m_pos);
            m_pos = 0;
            if (m_messageBytes + m_buffer.size() > MaxMessageBytes) {
                clear();
                throw Exception(Exception::ProtocolError,
                                QStringLiteral("Message from the UTM longer than %1 bytes").arg(MaxMessageBytes));
            }
            return false;
        }
        const int length = end + 1 - m_pos;
        const char *line = m_buffer.constData() + m_pos;
        m_pos = end + 1;

        if (length == 3 && line[0] == '.' && line[1] == '\r') {
            const QString message = m_lines.join(QLatin1Char('\n'));
            m_lines.clear();
            m_messageBytes = 0;
            // Blank lines alone make no message.
            if (message.trimmed().isEmpty())
                continue;
            // Keep the buffer small when many messages arrive in one read.
            if (m_pos > 4096 && m_pos * 2 > m_buffer.size()) {
                m_buffer.remove(0, m_pos);
                m_pos = 0;
            }
            *text = message;
            return true;
        }

        m_messageBytes += length;
        if (m_messageBytes > MaxMessageBytes || m_lines.size() >= MaxMessageLines) {
            const bool tooLong = m_messageBytes > MaxMessageBytes;
            clear();
            throw Exception(Exception::ProtocolError,
                            tooLong ? QStringLiteral("Message from the UTM longer than %1 bytes").arg(MaxMessageBytes)
                                    : QStringLiteral("Message from the UTM longer than %1 lines").arg(MaxMessageLines));
        }
        m_lines.append(QString::fromUtf8(line, length).trimmed());
    }
}

bool MessageFramer::hasPartialMessage() const
{
    return !m_lines.isEmpty() || m_buffer.size() > m_pos;
}

void MessageFramer::clear()
{
    m_buffer.clear();
    m_pos = 0;
    m_lines.clear();
    m_messageBytes = 0;
}

// ----------------------------------------------------------- message kinds

bool Protocol::isOfType(const IniFile &message, const QString &type)
{
    const QStringList names = message.sectionNames();
    return names.size() == 1 && names.first() == type;
}

int Protocol::entryCount(const IniFile &message)
{
    return message.keyLineCount();
}

QString Protocol::dump(const QString &text)
{
    return dumpLines(text).join(QStringLiteral("\r\n"));
}

QStringList Protocol::dumpLines(const QString &text)
{
    QString t = text.trimmed();
    if (t.endsWith(QLatin1Char('.'))) {
        t.chop(1);
        t = t.trimmed();
    }
    QStringList lines = t.split(QLatin1Char('\n'));
    for (QString &line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        line.prepend(QStringLiteral("    "));
    }
    return lines;
}

bool Protocol::isKeepAlive(const IniFile &message)
{
    return isOfType(message, QStringLiteral("Keep-Alive"));
}

bool Protocol::isGoodbye(const IniFile &message)
{
    return isOfType(message, QStringLiteral("Goodbye"));
}

QString Protocol::goodbyeError(const IniFile &message)
{
    return message.value(QStringLiteral("Goodbye"), QStringLiteral("error"));
}

// --------------------------------------------------------- firewall's side

Handshake Protocol::readHandshake(const IniFile &message)
{
    const QString section = QStringLiteral("UTM");
    if (!isOfType(message, section))
        throw Exception(Exception::ProtocolError,
                        QStringLiteral("Expected a handshake message but got something else"));
    Handshake handshake;
    const qint32 version = message.intValue(section, QStringLiteral("version"), -1);
    if (version != MinVersion && version != MaxVersion)
        throw Exception(Exception::VersionUnsupported, QStringLiteral("UTM protocol version not managed"));
    handshake.protocolVersion = version;
    handshake.model = message.value(section, QStringLiteral("model"));
    handshake.firmware = message.value(section, QStringLiteral("firmware"));
    handshake.serial = message.value(section, QStringLiteral("serial"));
    return handshake;
}

settings::ADConfiguration Protocol::defaultConfiguration(const QString &name)
{
    settings::ADConfiguration config(name);
    config.setServers({QStringLiteral("127.0.0.1")});
    config.setIgnoreList({QStringLiteral("Administrator")});
    config.setMaxLogonTime(28800);
    config.setCollectInterval(5);
    config.setMethod(settings::ADConfiguration::ProbePing);
    config.setDnsInterval(60);
    config.setProbeTimeout(600);
    config.setCacheTimeout(86400);
    config.setMaxConcurrent(20);
    config.setUserCheckFrequency(6);
    config.setEnabled(false);
    config.setProbeEnabled(true);
    config.setDnsEnabled(true);
    config.setPingTimeout(1000);
    config.setMaxSecondToRead(900);
    config.setSyslogState(false);
    config.setSyslogPort(514);
    config.setSyslogAddr(QStringLiteral("any"));
    return config;
}

settings::ADConfiguration Protocol::readConfiguration(const IniFile &message, const settings::ADConfiguration &stored,
                                                      const QString &serial, const QDateTime &now, QString *adName)
{
    const QString section = QStringLiteral("Configuration");
    if (!isOfType(message, section))
        throw Exception(Exception::ProtocolError,
                        QStringLiteral("Expected a configuration message but got something else"));

    const QStringList controllers = numberedValues(message, section, QStringLiteral("Controller"));
    for (const QString &controller : controllers) {
        QHostAddress address;
        if (!address.setAddress(controller))
            throw Exception(Exception::ProtocolError, QStringLiteral("Controller should be an IP address"));
    }
    if (controllers.isEmpty())
        throw Exception(Exception::ProtocolError, QStringLiteral("No domain controller received"));
    if (adName)
        *adName = settings::ADConfiguration::adNameOf(controllers);

    settings::ADConfiguration config = stored.isValid() ? stored : defaultConfiguration(serial);
    config.setIgnoreList(numberedValues(message, section, QStringLiteral("Ignore")));
    config.setFirewallName(serial);
    config.setServers(controllers);
    config.setEnabled(true);

    config.setSyslogState(message.boolValue(section, QStringLiteral("SyslogState"), false));
    config.setSyslogPort(unsignedValue(message, QStringLiteral("SyslogPort"), 514));
    config.setSyslogAddr(message.value(section, QStringLiteral("SyslogAddr"), QStringLiteral("any")));
    config.setSyslogAddrPattern(message.value(section, QStringLiteral("SyslogAddrPattern")));
    config.setSyslogUserPattern(message.value(section, QStringLiteral("SyslogUserPattern")));
    config.setSyslogMsgPattern(message.value(section, QStringLiteral("SyslogMsgPattern")));
    config.setMaxLogonTime(unsignedValue(message, QStringLiteral("LogonTime"), 0));
    const bool probe = message.boolValue(section, QStringLiteral("Probe"), false);
    config.setProbeEnabled(probe);
    config.setFqdn(message.value(section, QStringLiteral("Fqdn")));
    config.setNetbios(message.value(section, QStringLiteral("Netbios")));
    config.setDnsEnabled(message.boolValue(section, QStringLiteral("DnsEnabled"), true));
    if (probe) {
        config.setProbeTimeout(unsignedValue(message, QStringLiteral("ProbeTime"), 0));
        const QString method = message.value(section, QStringLiteral("ProbeMethod"));
        if (method == QLatin1String("ping"))
            config.setMethod(settings::ADConfiguration::ProbePing);
        else if (method == QLatin1String("registery"))
            config.setMethod(settings::ADConfiguration::ProbeRegister);
    }
    config.setLastUtmConnection(now);
    return config;
}

ConfigurationUpdate Protocol::storeConfiguration(const IniFile &message, const QString &serial, const QString &peer)
{
    settings::Settings *settings = settings::Settings::instance();
    ConfigurationUpdate update;
    update.previous = settings->adConfiguration(serial);
    update.current = readConfiguration(message, update.previous, serial, common::Clock::now(), &update.adName);
    if (!update.current.isValid()) {
        // The settings refuse it silently; say why collection does not start.
        logLine(peer, QStringLiteral("configuration of %1 not stored: LogonTime missing or 0").arg(serial));
    }
    settings->setADConfiguration(update.current);
    return update;
}

common::UserRule Protocol::readRule(const IniFile &message, const QString &section)
{
    common::UserRule rule;
    rule.user = message.value(section, QStringLiteral("user"));
    if (rule.user.isEmpty())
        throw Exception(Exception::ProtocolError,
                        QStringLiteral("The all users message is not well formed, user is missing"));
    rule.id = message.intValue(section, QStringLiteral("id"), 0);
    if (rule.id == 0)
        throw Exception(Exception::ProtocolError,
                        QStringLiteral("The all users message is not well formed, id is missing or = 0"));
    const QString action = message.value(section, QStringLiteral("action")).toLower();
    if (action != QLatin1String("pass") && action != QLatin1String("block"))
        throw Exception(Exception::ProtocolError,
                        QStringLiteral("The all users message is not well formed, action is missing"));
    rule.pass = action == QLatin1String("pass");

    // Each address line counts with its own value, so that a key written
    // twice adds both entries. Entries that do not parse are skipped.
    const auto lines = message.keyValues(section);
    for (const auto &line : lines) {
        const QString key = line.first.toUpper();
        if (key.startsWith(QLatin1String("HOST")) || key.startsWith(QLatin1String("RANGE")) ||
            key.startsWith(QLatin1String("NETWORK")))
            rule.addEntry(line.second);
    }
    return rule;
}

QList<common::UserRule> Protocol::readInitialUserList(const IniFile &message)
{
    const QStringList &order = message.sectionOrder();
    QList<common::UserRule> rules;
    QSet<qint32> ids;
    for (int i = 1; i <= order.size(); ++i) {
        const QString expected = i == 1 ? QStringLiteral("NETWORK") : QStringLiteral("NETWORK_%1").arg(i);
        if (order.at(i - 1) != expected)
            throw Exception(Exception::ProtocolError, InitialListError);
        const common::UserRule rule = readRule(message, order.at(i - 1));
        if (!rule.isValid() || ids.contains(rule.id) || rule.id > order.size())
            throw Exception(Exception::ProtocolError, InitialListError);
        ids.insert(rule.id);
        rules.append(rule);
    }
    return rules;
}

QList<common::NewUserRule> Protocol::readUserDelta(const IniFile &message)
{
    static const QRegularExpression add(QStringLiteral("^(?:Adduser(_\\d+)?)$"),
                                        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression del(QStringLiteral("^(?:Deluser(_\\d+)?)$"),
                                        QRegularExpression::CaseInsensitiveOption);
    QList<common::NewUserRule> rules;
    QSet<QString> seen;
    for (const QString &section : message.sectionOrder()) {
        // A section written twice would silently lose its first rule.
        if (seen.contains(section))
            throw Exception(Exception::ProtocolError, DeltaError);
        seen.insert(section);
        const common::UserRule rule = readRule(message, section);
        if (!rule.isValid())
            throw Exception(Exception::ProtocolError, DeltaError);
        if (add.match(section).hasMatch())
            rules.append(common::NewUserRule(rule, common::NewUserRule::Add));
        else if (del.match(section).hasMatch())
            rules.append(common::NewUserRule(rule, common::NewUserRule::Delete));
        else
            throw Exception(Exception::ProtocolError, DeltaError);
    }
    return rules;
}

void Protocol::checkAck(const IniFile &message, const QString &receivedText, qint32 expected)
{
    if (!isOfType(message, QStringLiteral("Ack")))
        throw Exception(Exception::ProtocolError,
                        QStringLiteral("Expected an ack message but got something else: %1")
                            .arg(ApplicationDebug::printable(receivedText))); // a NUL would end the exception's text
    if (message.intValue(QStringLiteral("Ack"), QStringLiteral("entries"), -1) != expected)
        throw Exception(Exception::BadAck, QStringLiteral("Not the good ack"));
}

void Protocol::checkKeepAlive(const IniFile &message)
{
    if (!isKeepAlive(message))
        throw Exception(Exception::ProtocolError,
                        QStringLiteral("Expected a keep alive message but got something else"));
}

// ------------------------------------------------------------ agent's side

AgentMessage Protocol::agentMessage(qint32 version)
{
    return {{QStringLiteral("[Agent]"), QStringLiteral("version=%1").arg(version)}, -1};
}

AgentMessage Protocol::resultMessage(const QList<bool> &controllersOk)
{
    AgentMessage message{{QStringLiteral("[Result]")}, controllersOk.size()};
    for (int i = 0; i < controllersOk.size(); ++i) {
        const QString key = i == 0 ? QStringLiteral("Controller") : QStringLiteral("Controller_%1").arg(i + 1);
        message.lines.append(
            QStringLiteral("%1=%2").arg(key, controllersOk.at(i) ? QStringLiteral("OK") : QStringLiteral("KO")));
    }
    return message;
}

QList<bool> Protocol::testControllers(const settings::ADConfiguration &config, bool syslogMode, const QString &peer)
{
    QList<bool> results;
    for (const QString &controller : config.servers()) {
        if (syslogMode) {
            results.append(true);
            continue;
        }
        std::unique_ptr<userCollector::IActiveDirectoryEventCollector> source;
        try {
            source.reset(userCollector::IActiveDirectoryEventCollector::create(
                config.apiName(), controller, QStringList(), TestReadWindow, QString(), QString()));
        } catch (const common::Exception &e) {
            logLine(peer, QStringLiteral("no event source \"%1\" to test %2 (%3)")
                              .arg(config.apiName(), controller, e.className()));
        }
        results.append(source && source->testConnection());
    }
    return results;
}

AgentMessage Protocol::resultMessage(const ConfigurationUpdate &update, const QString &peer)
{
    return resultMessage(testControllers(update.current, update.previous.syslogState(), peer));
}

AgentMessage Protocol::ackMessage(qint32 entries)
{
    return {{QStringLiteral("[Ack]"), QStringLiteral("entries=%1").arg(entries)}, -1};
}

AgentMessage Protocol::aliveMessage()
{
    return {{QStringLiteral("[Alive]")}, -1};
}

bool Protocol::hasForbiddenChars(const QString &user)
{
    static const QString forbidden = QStringLiteral("\"\t&~|=*<>!()\\$%?'` ");
    for (QChar c : user)
        if (forbidden.contains(c) || isControlChar(c))
            return true;
    return false;
}

QString Protocol::userKey(const common::Logon &logon, qint32 protocolVersion)
{
    return protocolVersion < 3 ? logon.netbiosUser() : logon.fqdnUser();
}

AgentMessage Protocol::loginMessage(const common::LogonList &logons, bool startup, qint32 protocolVersion,
                                    quint32 maxLogonTime, const QDateTime &now, const QString &peer,
                                    QVector<int> *included)
{
    // Keys are grouped ignoring case: the firewall reads keys ignoring case
    // and would keep only the first of two lines differing in case.
    QStringList keys;
    QHash<QString, int> index; // upper-cased key -> position in keys/items
    QVector<QString> items;
    QVector<QVector<int>> positions; // per key, of its items
    const qint64 nowMSecs = now.isValid() ? now.toMSecsSinceEpoch() : 0;
    for (int position = 0; position < logons.size(); ++position) {
        const common::Logon &logon = logons.at(position);
        const QString key = userKey(logon, protocolVersion);
        if (hasForbiddenChars(logon.user()) || keyPrefixBreaksLine(keyDomain(logon, protocolVersion))) {
            logLine(peer, QStringLiteral("User %1 contain forbidden chars").arg(logon.user()));
            continue;
        }
        if (logon.ip().isNull()) {
            logLine(peer, QStringLiteral("User %1 has no address, not sent").arg(key));
            continue;
        }
        const quint32 left =
            now.isValid() ? logon.remainingSeconds(maxLogonTime, nowMSecs) : logon.remainingSeconds(maxLogonTime, now);
        const QString item = QStringLiteral("%1@%2").arg(left).arg(logon.ip().toString());
        const QString upper = key.toUpper();
        const auto it = index.constFind(upper);
        if (it == index.constEnd()) {
            index.insert(upper, keys.size());
            keys.append(key);
            items.append(item);
            if (included)
                positions.append(QVector<int>{position});
        } else {
            QString &value = items[it.value()];
            value += QLatin1Char(',');
            value += item;
            if (included)
                positions[it.value()].append(position);
        }
    }
    if (included) {
        for (const QVector<int> &ofKey : qAsConst(positions))
            *included += ofKey;
    }

    AgentMessage message;
    message.lines.reserve(keys.size() + 1);
    message.lines.append(startup ? QStringLiteral("[Startup]") : QStringLiteral("[Login]"));
    for (int i = 0; i < keys.size(); ++i)
        message.lines.append(keys.at(i) + QLatin1Char('=') + items.at(i));
    message.expectedEntries = keys.size();
    return message;
}

AgentMessage Protocol::loginMessage(const common::LogonList &logons, bool startup, qint32 protocolVersion,
                                    const QString &serial, const QString &peer, QVector<int> *included)
{
    const settings::ADConfiguration config = settings::Settings::instance()->adConfiguration(serial);
    return loginMessage(logons, startup, protocolVersion, config.maxLogonTime(), common::Clock::now(), peer, included);
}

QList<AgentMessage> Protocol::loginMessages(const common::LogonList &logons, bool startup, qint32 protocolVersion,
                                            const QString &serial, const QString &peer, QVector<QVector<int>> *included)
{
    QVector<int> positions;
    const AgentMessage whole =
        loginMessage(logons, startup, protocolVersion, serial, peer, included ? &positions : nullptr);
    const QList<AgentMessage> messages =
        splitLogin(whole, peer, MessageFramer::MaxMessageBytes, MessageFramer::MaxMessageLines, included);
    if (included) {
        for (QVector<int> &ofMessage : *included)
            for (int &item : ofMessage)
                item = positions.at(item);
    }
    return messages;
}

QList<AgentMessage> Protocol::splitLogin(const AgentMessage &login, const QString &peer, qint64 maxBytes, int maxLines,
                                         QVector<QVector<int>> *items)
{
    LoginPacker packer(login.lines.first(), maxBytes, maxLines, items);
    int item = 0; // index of the line's first address item over the whole login
    for (int i = 1; i < login.lines.size(); ++i) {
        const QString &line = login.lines.at(i);
        const qint64 lineBytes = utf8Size(line);
        const int itemCount = items ? int(line.count(QLatin1Char(','))) + 1 : 0;
        if (packer.fits(lineBytes)) {
            packer.add(line, lineBytes, item, itemCount);
            item += itemCount;
            continue;
        }
        if (packer.hasUsers() && packer.fitsAlone(lineBytes)) {
            packer.next();
            packer.add(line, lineBytes, item, itemCount);
            item += itemCount;
            continue;
        }
        // More addresses than one message holds: the user goes on in the
        // next message, under the same key.
        const int equals = line.indexOf(QLatin1Char('='));
        const QString key = line.left(equals + 1);
        const qint64 keyBytes = utf8Size(key);
        QString part;
        qint64 partBytes = 0;
        int partFirst = item; // the part's first address item
        for (const QString &address : line.mid(equals + 1).split(QLatin1Char(','))) {
            const qint64 itemBytes = utf8Size(address);
            if (!part.isEmpty() && packer.fits(partBytes + 1 + itemBytes)) {
                part += QLatin1Char(',');
                part += address;
                partBytes += 1 + itemBytes;
                ++item;
                continue;
            }
            if (!part.isEmpty()) {
                packer.add(part, partBytes, partFirst, item - partFirst);
                part.clear();
            }
            if (!packer.fits(keyBytes + itemBytes)) {
                if (!packer.fitsAlone(keyBytes + itemBytes)) {
                    logLine(
                        peer,
                        QStringLiteral("User %1 too long for a message, not sent").arg(line.left(qMin(equals, 64))));
                    ++item;
                    continue;
                }
                packer.next();
            }
            part = key + address;
            partBytes = keyBytes + itemBytes;
            partFirst = item++;
        }
        if (!part.isEmpty())
            packer.add(part, partBytes, partFirst, item - partFirst);
    }
    return packer.take();
}

std::optional<AgentMessage> Protocol::logoutMessage(const common::Logoff &logoff, qint32 protocolVersion)
{
    if (hasForbiddenChars(logoff.user()) || keyPrefixBreaksLine(keyDomain(logoff, protocolVersion)) ||
        logoff.ip().isNull())
        return std::nullopt;
    return AgentMessage{
        {QStringLiteral("[Logout]"), userKey(logoff, protocolVersion) + QLatin1Char('=') + logoff.ip().toString()}, 1};
}

AgentMessage Protocol::goodbyeMessage(const QString &reason)
{
    return {{QStringLiteral("[Goodbye]"), QStringLiteral("error=\"%1\"").arg(reason)}, -1};
}

} // namespace UtmConnect
