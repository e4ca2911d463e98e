#pragma once

#include "common/exception.h"
#include "common/logon.h"
#include "common/userrule.h"
#include "firewall/psksocket.h"
#include "settings/inifile.h"

#include <QAbstractSocket>
#include <QDateTime>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QQueue>
#include <QString>
#include <memory>

namespace UtmConnect {

class MessageFramer;

// The agent's side of one firewall's connection: a state machine that takes
// the firewall's handshake, Configuration and rules, sends the logons and
// logoffs routed to it, matches every message it sends against the
// firewall's acknowledgements and answers keep-alives. Any protocol error
// ends the connection with a Goodbye. The message formats are in
// firewall/protocol.h.
//
// The client owns its socket and deletes itself (deleteLater) once the
// socket has disconnected; the server learns of it through destroyed().
// Lives on the main thread's event loop, like its socket.
class Client : public QObject
{
    Q_OBJECT
public:
    // A firewall message that breaks the protocol. The connection logs the
    // text, sends a Goodbye with reason() and closes.
    class ProtocolException : public common::Exception
    {
    public:
        enum Code : qint32 {
            NetworkError = 0,
            ProtocolError = 1,
            VersionUnsupported = 2,
            BadAck = 3,
        };

        ProtocolException(qint32 code, const QString &text) : common::Exception(text), m_code(code) {}

        qint32 code() const { return m_code; }
        QString className() const override { return QStringLiteral("Client::ProtocolException"); }
        // The reason the agent's Goodbye carries for this code.
        QString reason() const { return reasonFor(m_code); }
        static QString reasonFor(qint32 code);

    private:
        qint32 m_code;
    };

    // Queued messages go to the socket while less than sendAheadBytes() wait
    // there for the peer; the rest follow as it reads. A peer that leaves
    // more than queueLimitBytes() queued has its connection closed as on a
    // failed write.
    static qint64 sendAheadBytes();
    static qint64 queueLimitBytes();
    // Tests: smaller limits to reach them quickly; 0 restores the defaults.
    static void setSendLimitsForTest(qint64 sendAhead, qint64 queueLimit);

    // Conversation states.
    enum State : qint32 {
        TlsHandshake = 0,      // TCP accepted, TLS not finished
        WaitHandshake = 1,     // TLS up, waiting for the firewall's "[UTM]"
        WaitConfiguration = 2, // "[Agent]" sent
        WaitInitialRules = 4,  // Configuration stored, "[Result]" sent
        Startup = 5,           // initial rules handed over; next logons go as "[Startup]"
        Established = 6,       // logons as "[Login]", logoffs as "[Logout]"
    };

    // Takes ownership of socket (it becomes the client's child).
    explicit Client(PskSocket *socket, QObject *parent = nullptr);
    ~Client() override;

    // The server's timer found the firewall silent for too long.
    void keepAliveExpired();
    // Writes a "[Goodbye]" with reason and flushes it at once.
    void sendGoodbye(const QString &reason);
    // Closes the connection without a Goodbye (the TLS handshake never ended).
    void abortConnection(const QString &reason);

    QHostAddress peerAddress() const;
    // The peer address as the log shows it; empty without a socket.
    QString peerText() const;

    qint32 state() const { return m_state; }
    const QString &adName() const { return m_adName; }
    const QString &serial() const { return m_serial; }
    const QString &model() const { return m_model; }
    const QString &firmware() const { return m_firmware; }
    qint32 protocolVersion() const { return m_protocolVersion; }
    // Invalid until the first data arrived after the TLS handshake.
    const QDateTime &lastReceived() const { return m_lastReceived; }
    // When the connection was accepted and when its TLS handshake ended
    // (invalid until then), for the server's time limits.
    const QDateTime &acceptedAt() const { return m_acceptedAt; }
    const QDateTime &encryptedAt() const { return m_encryptedAt; }
    int pendingAckCount() const { return m_pendingAcks.size(); }

    // What this connection has told its firewall since it connected.
    struct Counters
    {
        quint64 logonsSent = 0;
        quint64 logonsAcknowledged = 0;
        quint64 logoffsSent = 0;
        quint64 logoffsAcknowledged = 0;
    };
    const Counters &counters() const { return m_counters; }
    // Whether the user was announced at the address in a Login or Startup
    // (and not logged out since), and whether the firewall acknowledged it.
    enum class Told { No, Sent, Acknowledged };
    Told told(const QHostAddress &address, const QString &user) const { return toldIn(m_announced, address, user); }
    // The user announced last at each address; a copy may be read in another thread.
    struct Announced
    {
        QString user;
        bool acknowledged = false;
    };
    using Announcements = QHash<QHostAddress, Announced>;
    const Announcements &announcements() const { return m_announced; }
    static Told toldIn(const Announcements &announcements, const QHostAddress &address, const QString &user);
    // Messages waiting to be handed to the socket.
    int queuedCount() const { return m_sendQueue.size(); }
    PskSocket *socket() const { return m_socket; }

signals:
    void initialRules(QString ad, QString fw, QList<common::UserRule> rules);
    void newRules(QString ad, QString fw, QList<common::NewUserRule> rules);

public slots:
    void newLogons(common::LogonList logons);
    void newLogoff(common::Logoff logoff);

private slots:
    void socketEncrypted();
    void socketError(QAbstractSocket::SocketError error);
    void socketReadyRead();
    void socketDisconnected();
    void socketBytesWritten();

private:
    // A user at an address, as a Login or a Logout names it.
    struct Subject
    {
        QHostAddress address;
        QString user;
    };
    struct Outgoing
    {
        QByteArray frame; // as it goes on the wire
        qint32 expectedEntries = -1;
        QList<Subject> logons;  // announced by this message
        QList<Subject> logoffs; // logged out by it
    };
    struct PendingAck
    {
        qint32 expectedEntries = -1;
        QList<Subject> logons;
        int logoffs = 0;
    };

    void process();
    void handleMessage();
    void sendQueued();
    void acknowledge();
    void enqueue(const QStringList &lines, qint32 expectedEntries, const QList<Subject> &logons = {},
                 const QList<Subject> &logoffs = {});
    void recordSent(const Outgoing &item);
    void recordAcknowledged(const PendingAck &ack);
    void writeNow(const QByteArray &frame);
    void logSending(const QByteArray &frame) const;
    void closeSocket();
    void logLow(const QString &text) const;
    void logHigh(const QString &text) const;

    QPointer<PskSocket> m_socket;
    qint32 m_state = TlsHandshake;
    QString m_receivedText;
    IniFile m_message;
    bool m_messageWaiting = false; // a complete message is parsed and not handled yet
    QString m_adName;
    QString m_model;
    QString m_firmware;
    QString m_serial;
    QDateTime m_lastReceived;
    bool m_busy = false;
    QQueue<Outgoing> m_sendQueue;
    qint64 m_queuedBytes = 0; // frames in m_sendQueue
    QQueue<PendingAck> m_pendingAcks;
    Counters m_counters;
    Announcements m_announced; // the user announced last at each address
    qint32 m_protocolVersion = 0;

    std::unique_ptr<MessageFramer> m_framer;
    QString m_peer; // peer address text, kept for log lines after the socket is gone
    QHostAddress m_peerAddress;
    QDateTime m_acceptedAt;
    QDateTime m_encryptedAt;
    bool m_reading = false;     // socketReadyRead is running
    bool m_readPending = false; // data announced while process() ran
    bool m_closing = false;     // the connection is being closed: handle and send nothing more
};

} // namespace UtmConnect
