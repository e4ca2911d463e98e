#include "tools/firewallpeer.h"

#include <cstring>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace diag {

namespace {

SSL_CTX *clientContext()
{
    // One context for every connection of the process; never freed.
    static SSL_CTX *ctx = [] {
        OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
        SSL_CTX *c = SSL_CTX_new(TLS_client_method());
        if (!c)
            return c;
        SSL_CTX_set_max_proto_version(c, TLS1_2_VERSION);
        SSL_CTX_set_cipher_list(c, "DHE-PSK-AES128-GCM-SHA256:ECDHE-PSK-CHACHA20-POLY1305:"
                                   "DHE-PSK-CHACHA20-POLY1305:DHE-PSK-AES256-GCM-SHA384");
        SSL_CTX_set_verify(c, SSL_VERIFY_NONE, nullptr);
        return c;
    }();
    return ctx;
}

QString opensslErrors()
{
    QStringList errors;
    while (const unsigned long code = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        errors.append(QString::fromLatin1(text));
    }
    return errors.join(QStringLiteral(", "));
}

} // namespace

// ------------------------------------------------------------ messages

QString PeerMessage::value(const QString &key) const
{
    for (const auto &line : lines) {
        if (line.first == key)
            return line.second;
    }
    return QString();
}

QByteArray PeerProtocol::frame(const QString &text)
{
    return (text + QStringLiteral("\r\n.\r\n")).toUtf8();
}

QString PeerProtocol::handshake(int version, const QString &model, const QString &firmware, const QString &serial)
{
    return QStringLiteral("[UTM]\r\nversion=%1\r\nmodel=%2\r\nfirmware=%3\r\nserial=%4")
        .arg(version)
        .arg(model, firmware, serial);
}

QString PeerProtocol::configuration(const QStringList &controllers, const QStringList &ignores,
                                    const QList<QPair<QString, QString>> &keys)
{
    QStringList lines{QStringLiteral("[Configuration]")};
    for (int i = 0; i < controllers.size(); ++i)
        lines.append(QStringLiteral("%1=%2").arg(
            i == 0 ? QStringLiteral("Controller") : QStringLiteral("Controller_%1").arg(i + 1), controllers.at(i)));
    for (int i = 0; i < ignores.size(); ++i)
        lines.append(QStringLiteral("%1=%2").arg(
            i == 0 ? QStringLiteral("Ignore") : QStringLiteral("Ignore_%1").arg(i + 1), ignores.at(i)));
    for (const auto &key : keys)
        lines.append(QStringLiteral("%1=%2").arg(key.first, key.second));
    return lines.join(QStringLiteral("\r\n"));
}

QString PeerProtocol::ack(int entries)
{
    return QStringLiteral("[Ack]\r\nentries=%1").arg(entries);
}

QString PeerProtocol::keepAlive()
{
    return QStringLiteral("[Keep-Alive]");
}

QString PeerProtocol::goodbye(const QString &reason)
{
    return QStringLiteral("[Goodbye]\r\nerror=\"%1\"").arg(reason);
}

QString PeerProtocol::defaultRules()
{
    return QStringLiteral("[Network]\r\nuser=any\r\nid=1\r\naction=pass\r\nNETWORK=0.0.0.0/0\r\nNETWORK_2=::/0");
}

void PeerMessageReader::append(const QByteArray &data)
{
    m_buffer.append(data);
}

bool PeerMessageReader::take(PeerMessage *message)
{
    for (;;) {
        const int end = m_buffer.indexOf('\n', m_pos);
        if (end < 0) {
            m_buffer.remove(0, m_pos);
            m_pos = 0;
            // (Two bytes may still be the start of the terminator line.)
            if (!m_dropping && m_buffer.size() > 2 && m_bytes + m_buffer.size() > MaxMessageBytes) {
                ++m_overflowed;
                m_dropping = true;
                m_lines.clear();
            }
            if (m_dropping && m_buffer.size() > 2) {
                m_buffer.clear(); // up to the terminator, nothing of it is kept
                m_inDroppedLine = true;
            }
            return false;
        }
        QByteArray line = m_buffer.mid(m_pos, end + 1 - m_pos);
        m_pos = end + 1;
        const bool lineTail = m_inDroppedLine;
        m_inDroppedLine = false;
        if (!lineTail && (line == ".\r\n" || line == ".\n")) {
            const QStringList lines = m_lines;
            const bool dropped = m_dropping;
            m_lines.clear();
            m_bytes = 0;
            m_dropping = false;
            if (lines.isEmpty() || dropped)
                continue;
            PeerMessage parsed;
            parsed.text = lines.join(QLatin1Char('\n'));
            for (const QString &l : lines) {
                if (l.startsWith(QLatin1Char('[')) && l.endsWith(QLatin1Char(']'))) {
                    if (parsed.header.isEmpty())
                        parsed.header = l.mid(1, l.size() - 2);
                    continue;
                }
                const int eq = l.indexOf(QLatin1Char('='));
                if (eq > 0)
                    parsed.lines.append({l.left(eq), l.mid(eq + 1)});
            }
            *message = parsed;
            return true;
        }
        if (m_dropping)
            continue;
        m_bytes += line.size();
        if (m_bytes > MaxMessageBytes || m_lines.size() >= MaxMessageLines) {
            ++m_overflowed;
            m_dropping = true;
            m_lines.clear();
            continue;
        }
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        m_lines.append(QString::fromUtf8(line));
    }
}

// ------------------------------------------------------------ TLS client

TlsPskClient::TlsPskClient(QObject *parent) : QObject(parent)
{
    connect(&m_socket, &QTcpSocket::connected, this, &TlsPskClient::onConnected);
    connect(&m_socket, &QTcpSocket::readyRead, this, &TlsPskClient::onReadyRead);
    connect(&m_socket, &QTcpSocket::disconnected, this, &TlsPskClient::disconnected);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::RemoteHostClosedError)
            fail(m_socket.errorString());
    });
}

TlsPskClient::~TlsPskClient()
{
    m_socket.disconnect(this);
    if (m_ssl)
        SSL_free(m_ssl); // frees both BIOs
}

void TlsPskClient::connectToAgent(const QString &host, quint16 port, const QByteArray &key, const QByteArray &identity,
                                  const QHostAddress &bindAddress)
{
    m_key = key;
    m_identity = identity;
    SSL_CTX *ctx = clientContext();
    if (!ctx || !(m_ssl = SSL_new(ctx))) {
        fail(QStringLiteral("cannot create a TLS client: %1").arg(opensslErrors()));
        return;
    }
    m_readBio = BIO_new(BIO_s_mem());
    m_writeBio = BIO_new(BIO_s_mem());
    SSL_set_bio(m_ssl, m_readBio, m_writeBio);
    SSL_set_app_data(m_ssl, this);
    SSL_set_psk_client_callback(m_ssl, &TlsPskClient::pskCallback);
    SSL_set_connect_state(m_ssl);
    if (!bindAddress.isNull())
        m_socket.bind(bindAddress, 0);
    m_socket.connectToHost(host, port);
}

unsigned int TlsPskClient::pskCallback(SSL *ssl, const char *, char *identity, unsigned int maxIdentityLength,
                                       unsigned char *psk, unsigned int maxPskLength)
{
    auto *self = static_cast<TlsPskClient *>(SSL_get_app_data(ssl));
    if (!self || unsigned(self->m_identity.size()) >= maxIdentityLength || unsigned(self->m_key.size()) > maxPskLength)
        return 0;
    std::memcpy(identity, self->m_identity.constData(), size_t(self->m_identity.size()));
    identity[self->m_identity.size()] = '\0';
    std::memcpy(psk, self->m_key.constData(), size_t(self->m_key.size()));
    return unsigned(self->m_key.size());
}

void TlsPskClient::onConnected()
{
    pump();
}

void TlsPskClient::setReadingPaused(bool paused)
{
    m_paused = paused;
    // A small read buffer that nobody empties stops the socket reading.
    m_socket.setReadBufferSize(paused ? 4096 : 0);
    if (!paused)
        onReadyRead();
}

void TlsPskClient::onReadyRead()
{
    if (m_paused)
        return;
    const QByteArray data = m_socket.readAll();
    if (!m_ssl || m_failed)
        return;
    int offset = 0;
    while (offset < data.size()) {
        const int written = BIO_write(m_readBio, data.constData() + offset, data.size() - offset);
        if (written <= 0)
            break;
        offset += written;
    }
    pump();
}

void TlsPskClient::pump()
{
    if (!m_ssl || m_failed)
        return;
    if (!m_encrypted) {
        ERR_clear_error();
        const int result = SSL_do_handshake(m_ssl);
        if (result == 1) {
            m_encrypted = true;
            flushCiphertext();
            emit encrypted();
            if (!m_pendingPlain.isEmpty()) {
                const QByteArray pending = m_pendingPlain;
                m_pendingPlain.clear();
                send(pending);
            }
        } else {
            const int error = SSL_get_error(m_ssl, result);
            if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
                flushCiphertext(); // the alert, if any
                fail(QStringLiteral("TLS handshake failed: %1").arg(opensslErrors()));
                return;
            }
        }
    }
    if (m_encrypted && m_ssl) {
        QByteArray plain;
        char buffer[16384];
        for (;;) {
            const int n = SSL_read(m_ssl, buffer, sizeof buffer);
            if (n > 0) {
                plain.append(buffer, n);
                continue;
            }
            const int error = SSL_get_error(m_ssl, n);
            if (error == SSL_ERROR_ZERO_RETURN) {
                // The agent ended the session cleanly: nothing more to send.
                m_closing = true;
                m_socket.disconnectFromHost();
            }
            break;
        }
        if (!plain.isEmpty())
            emit received(plain);
    }
    flushCiphertext();
}

void TlsPskClient::flushCiphertext()
{
    if (!m_writeBio)
        return;
    char buffer[16384];
    while (BIO_ctrl_pending(m_writeBio) > 0) {
        const int n = BIO_read(m_writeBio, buffer, sizeof buffer);
        if (n <= 0)
            break;
        if (m_socket.state() == QAbstractSocket::ConnectedState)
            m_socket.write(buffer, n);
    }
}

void TlsPskClient::send(const QByteArray &data)
{
    // After our own close there is no session to write to; that is no failure.
    if (m_closing)
        return;
    if (!m_encrypted) {
        m_pendingPlain.append(data);
        return;
    }
    if (!m_ssl || m_failed)
        return;
    int offset = 0;
    while (offset < data.size()) {
        const int n = SSL_write(m_ssl, data.constData() + offset, data.size() - offset);
        if (n <= 0) {
            fail(QStringLiteral("TLS write failed: %1").arg(opensslErrors()));
            return;
        }
        offset += n;
    }
    flushCiphertext();
}

void TlsPskClient::close()
{
    if (m_closing)
        return;
    m_closing = true;
    m_pendingPlain.clear();
    if (m_ssl && m_encrypted && !m_failed) {
        SSL_shutdown(m_ssl);
        flushCiphertext();
    }
    m_socket.disconnectFromHost();
}

void TlsPskClient::abort()
{
    m_socket.abort();
}

void TlsPskClient::fail(const QString &error)
{
    if (m_failed)
        return;
    m_failed = true;
    m_error = error;
    emit failed(error);
    m_socket.disconnectFromHost();
}

// ---------------------------------------------------------------- peer

FirewallPeer::FirewallPeer(const Options &options, QObject *parent) : QObject(parent), m_options(options)
{
    connect(&m_tls, &TlsPskClient::encrypted, this, &FirewallPeer::onEncrypted);
    connect(&m_tls, &TlsPskClient::received, this, &FirewallPeer::onReceived);
    connect(&m_tls, &TlsPskClient::failed, this, &FirewallPeer::failed);
    connect(&m_tls, &TlsPskClient::disconnected, this, [this] {
        m_disconnected = true;
        m_keepAlive.stop();
        emit disconnected();
    });
    connect(&m_keepAlive, &QTimer::timeout, this, [this] { sendText(PeerProtocol::keepAlive()); });
}

void FirewallPeer::close()
{
    m_keepAlive.stop();
    m_tls.close();
}

void FirewallPeer::start()
{
    m_tls.connectToAgent(m_options.host, m_options.port, m_options.key, m_options.identity, m_options.bindAddress);
}

PeerMessage FirewallPeer::first(const QString &header) const
{
    for (const PeerMessage &message : m_messages) {
        if (message.header == header)
            return message;
    }
    return PeerMessage();
}

void FirewallPeer::onEncrypted()
{
    emit encrypted();
    if (m_options.autopilot)
        sendText(PeerProtocol::handshake(m_options.version, m_options.model, m_options.firmware, m_options.serial));
}

void FirewallPeer::onReceived(const QByteArray &plaintext)
{
    m_reader.append(plaintext);
    PeerMessage message;
    while (m_reader.take(&message)) {
        m_messages.append(message);
        ++m_counts[message.header];
        emit messageReceived(message);
        if (m_options.autopilot)
            answer(message);
    }
}

void FirewallPeer::answer(const PeerMessage &message)
{
    if (message.header == QLatin1String("Agent")) {
        sendText(PeerProtocol::configuration(m_options.controllers, m_options.ignores, m_options.configuration));
    } else if (message.header == QLatin1String("Result")) {
        sendText(PeerProtocol::ack(message.entryCount()));
        sendText(m_options.rules.isEmpty() ? PeerProtocol::defaultRules() : m_options.rules);
        m_rulesSent = true;
        if (m_options.keepAliveMs > 0)
            m_keepAlive.start(m_options.keepAliveMs);
        emit ready();
    } else if (message.header == QLatin1String("Startup") || message.header == QLatin1String("Login") ||
               message.header == QLatin1String("Logout")) {
        sendText(PeerProtocol::ack(message.entryCount()));
    }
}

} // namespace diag
