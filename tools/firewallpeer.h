#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTcpSocket>
#include <QTimer>
#include <QVector>
#include <openssl/types.h>

namespace diag {

// One message of the agent as the firewall sees it: "[Header]" and its
// key=value lines.
struct PeerMessage
{
    QString header; // without brackets, e.g. "Login"
    QVector<QPair<QString, QString>> lines;
    QString text; // the lines as received (CR LF stripped), joined with LF

    int entryCount() const { return lines.size(); }
    // The first value of key (case counts), or the empty text.
    QString value(const QString &key) const;
};

// The firewall's side of the wire format: framing, the agent's messages
// parsed, the firewall's messages built. Stateless helpers.
class PeerProtocol
{
public:
    // Text lines joined with CR LF plus the ".\r\n" terminator line.
    static QByteArray frame(const QString &text);
    static QString handshake(int version, const QString &model, const QString &firmware, const QString &serial);
    // "[Configuration]" with Controller, Controller_2, ..., Ignore, Ignore_2,
    // ... and the extra key=value lines as given.
    static QString configuration(const QStringList &controllers, const QStringList &ignores,
                                 const QList<QPair<QString, QString>> &keys);
    static QString ack(int entries);
    static QString keepAlive();
    static QString goodbye(const QString &reason);
    // One rule admitting every user from every address.
    static QString defaultRules();
};

// Cuts the agent's byte stream into messages: lines end at LF, the line
// "." ends a message. A message may hold at most 1 MiB and 10,000 lines
// (what the agent itself reads from a firewall).
class PeerMessageReader
{
public:
    static constexpr qint64 MaxMessageBytes = 1024 * 1024;
    static constexpr int MaxMessageLines = 10000;

    void append(const QByteArray &data);
    // False when no complete message waits; throws nothing, drops the whole
    // of a message above a limit and counts it in overflowed().
    bool take(PeerMessage *message);
    int overflowed() const { return m_overflowed; }

private:
    QByteArray m_buffer; // not yet cut into lines from m_pos on
    int m_pos = 0;
    QStringList m_lines;
    qint64 m_bytes = 0;
    bool m_dropping = false;      // the message under way went over a limit
    bool m_inDroppedLine = false; // the start of the current line was dropped
    int m_overflowed = 0;
};

// A TLS 1.2 PSK client over a QTcpSocket, OpenSSL driven through memory
// BIOs so that many connections share one thread and event loop with
// whatever else runs there (the agent's server in tests).
class TlsPskClient : public QObject
{
    Q_OBJECT
public:
    explicit TlsPskClient(QObject *parent = nullptr);
    ~TlsPskClient() override;

    // bindAddress: source address (any loopback address serves to look like
    // distinct firewalls); null for the system's choice.
    void connectToAgent(const QString &host, quint16 port, const QByteArray &key, const QByteArray &identity,
                        const QHostAddress &bindAddress = QHostAddress());
    // Plaintext; held back until the handshake is done.
    void send(const QByteArray &data);
    // Sends the TLS close notification and closes; later sends are dropped.
    void close();
    void abort();
    // A firewall that stops reading: what arrives stays in the network
    // (TCP flow control holds the agent back) until reading resumes.
    void setReadingPaused(bool paused);
    bool isEncrypted() const { return m_encrypted; }
    QTcpSocket &socket() { return m_socket; }
    QAbstractSocket::SocketState socketState() const { return m_socket.state(); }
    QString errorText() const { return m_error; }

signals:
    void encrypted();
    void received(const QByteArray &plaintext);
    void failed(const QString &error);
    void disconnected();

private:
    void onConnected();
    void onReadyRead();
    void pump();
    void flushCiphertext();
    void fail(const QString &error);
    static unsigned int pskCallback(SSL *ssl, const char *hint, char *identity, unsigned int maxIdentityLength,
                                    unsigned char *psk, unsigned int maxPskLength);

    QTcpSocket m_socket;
    SSL *m_ssl = nullptr;
    BIO *m_readBio = nullptr;
    BIO *m_writeBio = nullptr;
    QByteArray m_key;
    QByteArray m_identity;
    QByteArray m_pendingPlain;
    bool m_encrypted = false;
    bool m_failed = false;
    bool m_closing = false;
    bool m_paused = false;
    QString m_error;
};

// A firewall for operators and tests. With autopilot on it runs the usual
// conversation: handshake, Configuration, Ack of the Result, the initial
// user list, an Ack with the right count for every "[Startup]", "[Login]"
// and "[Logout]", and keep-alives every keepAliveMs once the Result is
// acknowledged. Every message of the agent is announced by
// messageReceived; raw bytes can be sent at any time.
class FirewallPeer : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QString host = QStringLiteral("127.0.0.1");
        quint16 port = 1301;
        QByteArray key;
        QByteArray identity = "firewall";
        QHostAddress bindAddress;
        int version = 3;
        QString model = QStringLiteral("peer");
        QString firmware = QStringLiteral("1.0");
        QString serial = QStringLiteral("FW0001");
        QStringList controllers{QStringLiteral("127.0.0.1")};
        QStringList ignores;
        // Further Configuration keys in order, e.g. {"LogonTime", "28800"}.
        QList<QPair<QString, QString>> configuration{{QStringLiteral("LogonTime"), QStringLiteral("28800")}};
        QString rules;       // initial user list text; empty: PeerProtocol::defaultRules()
        int keepAliveMs = 0; // 0: no keep-alives
        bool autopilot = true;
    };

    explicit FirewallPeer(const Options &options, QObject *parent = nullptr);

    void start();
    void sendText(const QString &text) { sendRaw(PeerProtocol::frame(text)); }
    void sendRaw(const QByteArray &bytes) { m_tls.send(bytes); }
    // Ends the session: no more keep-alives, the TLS close notification, close.
    void close();

    const QList<PeerMessage> &messages() const { return m_messages; }
    // Messages with this header received so far (kept as they arrive, no scan).
    int count(const QString &header) const { return m_counts.value(header); }
    // The first message with this header, or an empty one.
    PeerMessage first(const QString &header) const;
    bool isConnected() const { return m_tls.socketState() == QAbstractSocket::ConnectedState; }
    bool isEncrypted() const { return m_tls.isEncrypted(); }
    bool isDisconnected() const { return m_disconnected; }
    // Messages of the agent dropped for going over the reader's limits.
    int overflowed() const { return m_reader.overflowed(); }
    // True once the Result was acknowledged and the rules sent.
    bool rulesSent() const { return m_rulesSent; }
    QString errorText() const { return m_tls.errorText(); }
    TlsPskClient &tls() { return m_tls; }

signals:
    void encrypted();
    void messageReceived(const diag::PeerMessage &message);
    void ready(); // the rules went out
    void disconnected();
    void failed(const QString &error);

private:
    void onEncrypted();
    void onReceived(const QByteArray &plaintext);
    void answer(const PeerMessage &message);

    Options m_options;
    TlsPskClient m_tls;
    PeerMessageReader m_reader;
    QList<PeerMessage> m_messages;
    QHash<QString, int> m_counts; // by header
    QTimer m_keepAlive;
    bool m_rulesSent = false;
    bool m_disconnected = false;
};

} // namespace diag
