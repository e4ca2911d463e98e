#include "firewall/client.h"

#include "common/backgroundrelease.h"
#include "common/clock.h"
#include "firewall/protocol.h"
#include "firewall/psksocket.h"
#include "log/applicationdebug.h"
#include "settings/settings.h"

namespace UtmConnect {

namespace {

// Peers of a dual-stack listener arrive as IPv4-mapped IPv6 addresses; the
// log and the one-connection-per-address rule use the plain IPv4 form.
QHostAddress plainAddress(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4) : address;
}

constexpr qint64 defaultSendAheadBytes = 1 << 20;
constexpr qint64 defaultQueueLimitBytes = 64 << 20;
// Main thread only, like every client.
qint64 sendAhead = defaultSendAheadBytes;
qint64 queueLimit = defaultQueueLimitBytes;

} // namespace

qint64 Client::sendAheadBytes()
{
    return sendAhead;
}

qint64 Client::queueLimitBytes()
{
    return queueLimit;
}

void Client::setSendLimitsForTest(qint64 sendAheadLimit, qint64 queueLimitBytes)
{
    sendAhead = sendAheadLimit > 0 ? sendAheadLimit : defaultSendAheadBytes;
    queueLimit = queueLimitBytes > 0 ? queueLimitBytes : defaultQueueLimitBytes;
}

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

Client::Client(PskSocket *socket, QObject *parent)
    : QObject(parent), m_socket(socket), m_framer(std::make_unique<MessageFramer>())
{
    m_acceptedAt = common::Clock::now();
    if (!socket)
        return;
    socket->setParent(this);
    m_peerAddress = plainAddress(socket->peerAddress());
    m_peer = m_peerAddress.isNull() ? QString() : m_peerAddress.toString();
    connect(socket, &PskSocket::encrypted, this, &Client::socketEncrypted);
    connect(socket, &QAbstractSocket::errorOccurred, this, &Client::socketError);
    connect(socket, &QIODevice::readyRead, this, &Client::socketReadyRead);
    connect(socket, &QAbstractSocket::disconnected, this, &Client::socketDisconnected);
    // Queued: the socket announces progress from inside its own transmission.
    connect(socket, &QIODevice::bytesWritten, this, &Client::socketBytesWritten, Qt::QueuedConnection);
    // The handshake may have ended before we were connected to the signal.
    if (socket->isEncrypted())
        socketEncrypted();
}

Client::~Client()
{
    if (m_socket) {
        disconnect(m_socket, nullptr, this, nullptr);
        delete m_socket.data();
    }
    // A firewall told of hundreds of thousands of logons: freeing its table
    // would hold the main thread (or the process's exit) for a while.
    if (m_announced.size() >= common::BackgroundRelease::LargeEntries)
        common::BackgroundRelease::release(std::move(m_announced));
}

QHostAddress Client::peerAddress() const
{
    return m_peerAddress;
}

QString Client::peerText() const
{
    return m_peer;
}

void Client::logLow(const QString &text) const
{
    if (m_peer.isEmpty())
        ApplicationDebug::logLow(QStringLiteral("[UtmConnect] %1").arg(text));
    else
        ApplicationDebug::logLow(QStringLiteral("[UtmConnect] %1: %2").arg(m_peer, text));
}

void Client::logHigh(const QString &text) const
{
    if (m_peer.isEmpty())
        ApplicationDebug::logHigh(QStringLiteral("[UtmConnect] %1").arg(text));
    else
        ApplicationDebug::logHigh(QStringLiteral("[UtmConnect] %1: %2").arg(m_peer, text));
}

// ------------------------------------------------------------ socket side

void Client::socketEncrypted()
{
    if (m_state != TlsHandshake)
        return;
    logHigh(QStringLiteral("SSL handshake successful"));
    m_encryptedAt = common::Clock::now();
    m_state = WaitHandshake;
}

void Client::socketError(QAbstractSocket::SocketError)
{
    if (m_socket)
        logHigh(m_socket->errorString());
}

void Client::socketReadyRead()
{
    // The socket may announce more data while we read or write; the loop
    // below picks it up.
    if (m_reading || !m_socket)
        return;
    if (m_busy) {
        // A message is being handled (the socket announced data while we
        // wrote); read once that is done.
        m_readPending = true;
        return;
    }
    m_reading = true;
    try {
        while (m_socket && !m_closing && m_socket->bytesAvailable() > 0) {
            m_framer->append(m_socket->readAll());
            QString text;
            while (!m_closing && m_framer->takeMessage(&text)) {
                m_receivedText = text;
                m_message.parse(m_receivedText);
                m_messageWaiting = true;
                process();
            }
        }
    } catch (const ProtocolException &e) {
        // The framer refused an oversized message: a line of the connection, naming its peer.
        sendGoodbye(e.reason());
        logLow(QString::fromLatin1(e.what()));
        closeSocket();
    }
    m_lastReceived = common::Clock::now();
    m_reading = false;
}

void Client::socketDisconnected()
{
    logLow(QStringLiteral("disconnected"));
    m_closing = true;
    deleteLater();
    if (m_adName.isEmpty())
        return;
    settings::Settings *config = settings::Settings::instance();
    settings::ADConfiguration ad = config->adConfiguration(m_serial);
    if (ad.isValid()) {
        ad.setLastUtmConnection(common::Clock::now());
        config->setADConfiguration(ad);
    }
}

void Client::socketBytesWritten()
{
    if (!m_sendQueue.isEmpty())
        process();
}

// -------------------------------------------------------- routed records

void Client::newLogons(common::LogonList logons)
{
    if (m_closing || (m_state != Startup && m_state != Established))
        return;
    const bool startup = m_state == Startup;
    m_state = Established;
    // A large batch leaves as several messages, each within what a firewall reads.
    QVector<QVector<int>> included;
    const QList<AgentMessage> messages =
        Protocol::loginMessages(logons, startup, m_protocolVersion, m_serial, m_peer, &included);
    for (int i = 0; i < messages.size(); ++i) {
        QList<Subject> announced;
        announced.reserve(included.at(i).size());
        for (const int position : qAsConst(included.at(i)))
            announced.append({logons.at(position).ip(), logons.at(position).user()});
        enqueue(messages.at(i).lines, messages.at(i).expectedEntries, announced);
    }
    process();
}

void Client::newLogoff(common::Logoff logoff)
{
    if (m_closing || m_state != Established)
        return;
    const std::optional<AgentMessage> message = Protocol::logoutMessage(logoff, m_protocolVersion);
    if (!message)
        return;
    enqueue(message->lines, message->expectedEntries, {}, {{logoff.ip(), logoff.user()}});
    process();
}

// ----------------------------------------------------------- conversation

void Client::enqueue(const QStringList &lines, qint32 expectedEntries, const QList<Subject> &logons,
                     const QList<Subject> &logoffs)
{
    const AgentMessage message{lines, expectedEntries};
    m_sendQueue.enqueue({message.frame(), expectedEntries, logons, logoffs});
    m_queuedBytes += m_sendQueue.last().frame.size();
}

Client::Told Client::toldIn(const Announcements &announcements, const QHostAddress &address, const QString &user)
{
    const auto it = announcements.constFind(address);
    if (it == announcements.cend() || it->user.compare(user, Qt::CaseInsensitive) != 0)
        return Told::No;
    return it->acknowledged ? Told::Acknowledged : Told::Sent;
}

void Client::recordSent(const Outgoing &item)
{
    m_counters.logonsSent += quint64(item.logons.size());
    m_counters.logoffsSent += quint64(item.logoffs.size());
    for (const Subject &logon : item.logons)
        m_announced.insert(logon.address, {logon.user, false});
    for (const Subject &logoff : item.logoffs) {
        const auto it = m_announced.find(logoff.address);
        if (it != m_announced.end() && it->user.compare(logoff.user, Qt::CaseInsensitive) == 0)
            m_announced.erase(it);
    }
}

void Client::recordAcknowledged(const PendingAck &ack)
{
    m_counters.logonsAcknowledged += quint64(ack.logons.size());
    m_counters.logoffsAcknowledged += quint64(ack.logoffs);
    for (const Subject &logon : ack.logons) {
        const auto it = m_announced.find(logon.address);
        // A later Login or Logout of that address has its own acknowledgement.
        if (it != m_announced.end() && it->user == logon.user)
            it->acknowledged = true;
    }
}

void Client::process()
{
    if (m_busy)
        return;
    m_busy = true;
    try {
        if (m_messageWaiting) {
            handleMessage();
            if (m_closing) {
                m_busy = false;
                return;
            }
        }
        sendQueued();
    } catch (const ProtocolException &e) {
        m_messageWaiting = false;
        m_receivedText.clear();
        sendGoodbye(e.reason());
        ApplicationDebug::logLow(QString::fromLatin1(e.what()));
        closeSocket();
    }
    m_busy = false;
    if (m_readPending) {
        m_readPending = false;
        QMetaObject::invokeMethod(this, &Client::socketReadyRead, Qt::QueuedConnection);
    }
}

void Client::handleMessage()
{
    logHigh(QStringLiteral("received"));
    if (ApplicationDebug::isOn(ApplicationDebug::LevelHigh))
        ApplicationDebug::logHighLines(Protocol::dumpLines(m_receivedText));

    if (Protocol::isGoodbye(m_message)) {
        logLow(QStringLiteral("Connexion closed by UTM (%1)").arg(Protocol::goodbyeError(m_message)));
        m_messageWaiting = false;
        m_receivedText.clear();
        closeSocket();
        return;
    }

    if (!m_pendingAcks.isEmpty()) {
        if (Protocol::isKeepAlive(m_message)) {
            enqueue(Protocol::aliveMessage().lines, -1);
        } else {
            const PendingAck pending = m_pendingAcks.dequeue();
            Protocol::checkAck(m_message, m_receivedText, pending.expectedEntries);
            recordAcknowledged(pending);
        }
    } else {
        switch (m_state) {
        case WaitHandshake: {
            const Handshake handshake = Protocol::readHandshake(m_message);
            m_protocolVersion = handshake.protocolVersion;
            m_model = handshake.model;
            m_firmware = handshake.firmware;
            m_serial = handshake.serial;
            enqueue(Protocol::agentMessage(m_protocolVersion).lines, -1);
            m_state = WaitConfiguration;
            break;
        }
        case WaitConfiguration: {
            const ConfigurationUpdate update = Protocol::storeConfiguration(m_message, m_serial, m_peer);
            m_adName = update.adName;
            const AgentMessage result = Protocol::resultMessage(update, m_peer);
            enqueue(result.lines, result.expectedEntries);
            m_state = WaitInitialRules;
            acknowledge();
            break;
        }
        case WaitInitialRules:
            if (Protocol::isKeepAlive(m_message)) {
                enqueue(Protocol::aliveMessage().lines, -1);
            } else {
                const QList<common::UserRule> rules = Protocol::readInitialUserList(m_message);
                m_state = Startup;
                emit initialRules(m_adName, m_serial, rules);
                acknowledge();
            }
            break;
        case Startup:
        case Established:
            if (Protocol::isKeepAlive(m_message)) {
                enqueue(Protocol::aliveMessage().lines, -1);
            } else {
                const QList<common::NewUserRule> rules = Protocol::readUserDelta(m_message);
                emit newRules(m_adName, m_serial, rules);
                acknowledge();
            }
            break;
        default:
            // Nothing is readable before the TLS handshake ends.
            break;
        }
    }
    m_messageWaiting = false;
    m_receivedText.clear();
}

void Client::acknowledge()
{
    const QByteArray frame = Protocol::ackMessage(Protocol::entryCount(m_message)).frame();
    logSending(frame);
    writeNow(frame);
}

void Client::sendQueued()
{
    while (!m_sendQueue.isEmpty() && !m_closing) {
        // The socket holds a bounded amount for a slow reader; bytesWritten() resumes.
        if (m_socket && m_socket->bytesToWrite() >= sendAhead)
            break;
        const Outgoing item = m_sendQueue.dequeue();
        m_queuedBytes -= item.frame.size();
        logSending(item.frame);
        writeNow(item.frame);
        recordSent(item);
        if (item.expectedEntries >= 0)
            m_pendingAcks.enqueue({item.expectedEntries, item.logons, item.logoffs.size()});
    }
    if (m_queuedBytes > queueLimit)
        throw ProtocolException(ProtocolException::NetworkError,
                                QStringLiteral("Unable to write on the socket: %1 bytes wait for the UTM")
                                    .arg(m_queuedBytes + (m_socket ? m_socket->bytesToWrite() : 0)));
}

void Client::logSending(const QByteArray &frame) const
{
    logHigh(QStringLiteral("sending"));
    // The dump is only built when someone reads it.
    if (ApplicationDebug::isOn(ApplicationDebug::LevelHigh))
        ApplicationDebug::logHighLines(Protocol::dumpLines(QString::fromUtf8(frame)));
}

void Client::writeNow(const QByteArray &frame)
{
    if (!m_socket || m_socket->write(frame) != frame.size())
        throw ProtocolException(ProtocolException::NetworkError, QStringLiteral("Unable to write on the socket"));
}

void Client::sendGoodbye(const QString &reason)
{
    if (!m_socket)
        return;
    const QByteArray frame = Protocol::goodbyeMessage(reason).frame();
    logSending(frame);
    m_socket->write(frame);
    m_socket->flush();
}

void Client::keepAliveExpired()
{
    if (!m_socket)
        return;
    const QString reason = QStringLiteral("no keep alive received for a too long period");
    sendGoodbye(reason);
    logHigh(reason);
    closeSocket();
}

void Client::abortConnection(const QString &reason)
{
    if (!m_socket)
        return;
    logLow(reason);
    m_closing = true;
    m_socket->abort();
}

void Client::closeSocket()
{
    m_closing = true;
    m_sendQueue.clear();
    m_queuedBytes = 0;
    if (m_socket)
        m_socket->close();
}

} // namespace UtmConnect
