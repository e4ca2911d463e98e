#include "firewall/psksocket.h"

#include "firewall/pskserver.h"
#include "firewall/sslregistry.h"
#include "log/applicationdebug.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QVarLengthArray>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace {

constexpr qint64 defaultReadBufferLimit = 1 << 20;  // decrypted, unread plaintext
constexpr qint64 defaultWriteBufferLimit = 8 << 20; // written, unencrypted plaintext
constexpr qint64 innerReadBufferSize = 64 << 10;    // ciphertext Qt reads ahead
constexpr qint64 readBioLimit = 64 << 10;           // ciphertext waiting for OpenSSL
constexpr qint64 sendPendingLimit = 256 << 10;      // ciphertext waiting for the network
constexpr int maxWriteBlock = 16 << 10;             // one TLS record per SSL_write at most
constexpr int workBufferSize = 4096;

std::atomic<qint64> readLimit{defaultReadBufferLimit};
std::atomic<qint64> writeLimit{defaultWriteBufferLimit};

qint64 pendingIn(BIO *bio)
{
    return bio ? static_cast<qint64>(BIO_ctrl_pending(bio)) : 0;
}

} // namespace

unsigned int pskServerCallback(SSL *ssl, const char *identity, unsigned char *psk, unsigned int maxPskLen)
{
    PskSocket *socket = SslRegistry::socketFor(ssl);
    if (!socket)
        return 0;
    const QByteArray &key = socket->m_pskKey;
    qint64 length = key.indexOf('\0');
    if (length < 0)
        length = key.size();
    length = std::min<qint64>(length, maxPskLen);
    std::memcpy(psk, key.constData(), static_cast<size_t>(length));
    socket->m_pskIdentity = QByteArray(identity ? identity : "");
    return static_cast<unsigned int>(length);
}

PskSocket::PskSocket(QObject *parent) : QTcpSocket(parent)
{
    SslRegistry::initOpenSsl();
}

PskSocket::~PskSocket()
{
    if (m_plainSocket) {
        disconnect(m_plainSocket, nullptr, this, nullptr);
        delete m_plainSocket;
        m_plainSocket = nullptr;
    }
    freeSsl();
    // Keeps the base class from announcing a disconnection from a half-destroyed object.
    setSocketState(UnconnectedState);
}

qint64 PskSocket::readBufferLimit()
{
    return readLimit.load();
}

qint64 PskSocket::writeBufferLimit()
{
    return writeLimit.load();
}

void PskSocket::setBufferLimitsForTest(qint64 readLimitBytes, qint64 writeLimitBytes)
{
    readLimit.store(readLimitBytes > 0 ? readLimitBytes : defaultReadBufferLimit);
    writeLimit.store(writeLimitBytes > 0 ? writeLimitBytes : defaultWriteBufferLimit);
}

qint64 PskSocket::inboundCiphertextForTest() const
{
    return (m_plainSocket ? m_plainSocket->bytesAvailable() : 0) + pendingIn(m_readBio);
}

qint64 PskSocket::outboundCiphertextForTest() const
{
    return (m_plainSocket ? m_plainSocket->bytesToWrite() : 0) + pendingIn(m_writeBio);
}

// ---------------------------------------------------------------------------
// Plaintext view

qint64 PskSocket::bytesAvailable() const
{
    qint64 own = 0;
    if (tlsSide())
        own = m_readBuffer.size();
    else if (m_plainSocket)
        own = m_plainSocket->bytesAvailable();
    return QIODevice::bytesAvailable() + own;
}

qint64 PskSocket::bytesToWrite() const
{
    if (tlsSide())
        return m_writeBuffer.size();
    return m_plainSocket ? m_plainSocket->bytesToWrite() : 0;
}

bool PskSocket::canReadLine() const
{
    if (QIODevice::canReadLine())
        return true;
    if (tlsSide())
        return m_readBuffer.canReadLine();
    return m_plainSocket && m_plainSocket->canReadLine();
}

bool PskSocket::atEnd() const
{
    if (!QIODevice::atEnd())
        return false;
    if (tlsSide())
        return m_readBuffer.isEmpty();
    return !m_plainSocket || m_plainSocket->atEnd();
}

qint64 PskSocket::readData(char *data, qint64 maxlen)
{
    qint64 n = 0;
    if (!tlsSide()) {
        n = m_plainSocket ? m_plainSocket->read(data, maxlen) : -1;
    } else {
        n = m_readBuffer.read(data, maxlen);
        if (n == 0 && maxlen > 0 && state() != ConnectedState && !m_ssl)
            n = -1;
    }
    resumeReading();
    return n;
}

qint64 PskSocket::readLineData(char *data, qint64 maxlen)
{
    if (!tlsSide())
        return QTcpSocket::readLineData(data, maxlen);
    const qint64 n = m_readBuffer.readLine(data, maxlen);
    resumeReading();
    return n;
}

void PskSocket::resumeReading()
{
    // Reading made room: pick up what waits in the inner socket or in
    // OpenSSL. Queued, so that readyRead() never fires inside a read.
    if (m_ssl && !m_readFailed && m_readBuffer.size() < readLimit.load() &&
        ((m_plainSocket && m_plainSocket->bytesAvailable() > 0) || pendingIn(m_readBio) > 0 || SSL_pending(m_ssl) > 0))
        scheduleTransmit();
}

qint64 PskSocket::writeData(const char *data, qint64 len)
{
    if (!tlsSide())
        return m_plainSocket ? m_plainSocket->write(data, len) : -1;

    if (state() != ConnectedState || (!m_ssl && m_mode != 0)) {
        setSocketError(UnknownSocketError);
        setErrorString(QStringLiteral("Unable to write data: %1").arg(QStringLiteral("the connection is closed")));
        return -1;
    }
    if (m_writeBuffer.size() + len > writeLimit.load()) {
        // The peer does not take what we send: refuse rather than grow without bound.
        setSocketError(UnknownSocketError);
        setErrorString(QStringLiteral("Unable to write data: %1")
                           .arg(QStringLiteral("%1 bytes already wait for the peer").arg(m_writeBuffer.size())));
        return -1;
    }
    m_writeBuffer.append(data, len);
    // Before the handshake completes the bytes wait; transmit sends them then.
    if (m_isEncrypted && !m_flushQueued) {
        m_flushQueued = true;
        QMetaObject::invokeMethod(this, "flushWriteBuffer", Qt::QueuedConnection);
    }
    return len;
}

void PskSocket::close()
{
    if (m_ssl && m_isEncrypted && !m_readFailed && m_plainSocket && m_plainSocket->state() == ConnectedState) {
        // Say what was written and end the TLS session cleanly before the
        // connection goes.
        if (encryptPending()) {
            ERR_clear_error();
            SSL_shutdown(m_ssl);
            ERR_clear_error();
            sendPendingNow();
        }
    }
    if (m_plainSocket)
        m_plainSocket->close();
    // The inner socket announces the disconnection (now or once its pending
    // bytes are out); the base class must not announce a second one.
    if (state() != UnconnectedState)
        setSocketState(UnconnectedState);
    QTcpSocket::close();
    m_writeBuffer.clear();
    m_readBuffer.clear();
}

void PskSocket::abort()
{
    m_writeBuffer.clear();
    if (m_plainSocket)
        m_plainSocket->abort(); // the inner socket announces the disconnection
    if (state() != UnconnectedState)
        setSocketState(UnconnectedState);
    QTcpSocket::close();
    m_readBuffer.clear();
}

void PskSocket::disconnectFromHost()
{
    if (!m_plainSocket)
        return;
    if (m_ssl && m_isEncrypted && !m_readFailed && m_plainSocket->state() == ConnectedState && encryptPending()) {
        ERR_clear_error();
        SSL_shutdown(m_ssl);
        ERR_clear_error();
        sendPendingNow();
    }
    m_plainSocket->disconnectFromHost();
}

bool PskSocket::setSocketDescriptor(qintptr socketDescriptor, SocketState socketState, OpenMode openMode)
{
    if (!m_plainSocket)
        setupPlainSocket();
    const bool ok = m_plainSocket->setSocketDescriptor(socketDescriptor, socketState, openMode);
    setSocketError(m_plainSocket->error());
    setErrorString(m_plainSocket->errorString());
    setSocketState(m_plainSocket->state());
    setOpenMode(m_plainSocket->openMode());
    setLocalPort(m_plainSocket->localPort());
    setLocalAddress(m_plainSocket->localAddress());
    setPeerPort(m_plainSocket->peerPort());
    setPeerAddress(m_plainSocket->peerAddress());
    setPeerName(m_plainSocket->peerName());
    return ok;
}

bool PskSocket::flush()
{
    bool written = false;
    if (m_isEncrypted) {
        transmit();
        written = m_flushedInTransmit; // transmit already handed its ciphertext over
    }
    const bool innerWritten = m_plainSocket ? m_plainSocket->flush() : false;
    return written || innerWritten;
}

// ---------------------------------------------------------------------------
// TLS

void PskSocket::startServerEncryption()
{
    if (m_mode != 0)
        return;
    m_mode = 2;
    if (!initSsl())
        return;
    startHandshake();
    transmit();
}

bool PskSocket::initSsl()
{
    auto *server = qobject_cast<PskServer *>(parent());
    SSL_CTX *ctx = server ? server->sslContext() : nullptr;
    if (!ctx)
        return false;

    m_ssl = SSL_new(ctx);
    if (!m_ssl)
        return false;
    SslRegistry::registerSocket(m_ssl, this);

    SSL_clear(m_ssl);
    m_readBio = BIO_new(BIO_s_mem());
    m_writeBio = BIO_new(BIO_s_mem());
    if (!m_readBio || !m_writeBio) {
        BIO_free(m_readBio);
        BIO_free(m_writeBio);
        m_readBio = m_writeBio = nullptr;
        freeSsl();
        return false;
    }
    SSL_set_bio(m_ssl, m_readBio, m_writeBio);

    SSL_set_psk_server_callback(m_ssl, pskServerCallback);
    SSL_set_accept_state(m_ssl);
    return true;
}

bool PskSocket::startHandshake()
{
    if (!m_ssl)
        return false;
    ERR_clear_error();
    const int result = SSL_accept(m_ssl);
    if (result == 1) {
        m_isEncrypted = true;
        emit encrypted();
        return true;
    }
    const int kind = SSL_get_error(m_ssl, result);
    if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE)
        return false;

    const QString text = QStringLiteral("SSL handshake error: %1").arg(SslRegistry::errorText());
    // Let the peer see OpenSSL's alert before the connection is cut.
    sendPendingNow();
    emitError(SslHandshakeFailedError, text);
    if (m_plainSocket)
        m_plainSocket->abort();
    close();
    return false;
}

void PskSocket::transmit()
{
    if (m_inTransmit) {
        // Called from a slot of our own readyRead(): finish the outer run first.
        scheduleTransmit();
        return;
    }
    if (m_readFailed)
        return;
    m_inTransmit = true;
    m_sentInTransmit = false;
    m_flushedInTransmit = false;
    while (m_ssl && transmitPass() == Pass::Moved) {
    }
    m_inTransmit = false;
    // Hand the ciphertext to the kernel now rather than on the next turn of
    // the event loop: a handshake flight then costs one loop iteration less.
    if (m_sentInTransmit && m_plainSocket)
        m_flushedInTransmit = m_plainSocket->flush();
}

PskSocket::Pass PskSocket::transmitPass()
{
    bool moved = false;

    // Encrypt what the user wrote.
    if (m_isEncrypted && !m_writeBuffer.isEmpty()) {
        const qint64 before = m_writeBuffer.size();
        if (!encryptPending())
            return Pass::Stop;
        moved = m_writeBuffer.size() != before;
    }

    // Send ciphertext.
    if (sendPending()) {
        moved = true;
        m_sentInTransmit = true;
    }

    // Receive ciphertext, no more than OpenSSL may hold at once.
    while (m_ssl && m_plainSocket && m_plainSocket->bytesAvailable() > 0) {
        const qint64 room = readBioLimit - pendingIn(m_readBio);
        if (room <= 0)
            break; // decrypting below makes room for the next pass
        const qint64 wanted = std::min(m_plainSocket->bytesAvailable(), room);
        QVarLengthArray<char, workBufferSize> work(static_cast<int>(wanted));
        const qint64 peeked = m_plainSocket->peek(work.data(), wanted);
        if (peeked <= 0)
            break;
        const int accepted = BIO_write(m_readBio, work.constData(), static_cast<int>(peeked));
        if (accepted <= 0)
            return Pass::Stop;
        m_plainSocket->skip(accepted);
        moved = true;
    }

    // Handshake.
    if (!m_isEncrypted) {
        if (startHandshake())
            moved = true;
        else if (!m_plainSocket || m_plainSocket->state() != ConnectedState)
            return Pass::Stop;
    }

    // Decrypt, no further than the user is behind.
    while (m_ssl && m_isEncrypted && m_readBuffer.size() < readLimit.load()) {
        char work[workBufferSize];
        ERR_clear_error();
        const int n = SSL_read(m_ssl, work, sizeof work);
        if (n > 0) {
            m_readBuffer.append(work, n);
            moved = true;
            emit readyRead();
            continue;
        }
        const int kind = SSL_get_error(m_ssl, n);
        if (kind == SSL_ERROR_SSL || kind == SSL_ERROR_SYSCALL) {
            const QString reason = SslRegistry::errorText();
            m_readFailed = true;
            sendPendingNow(); // OpenSSL's alert tells the peer why nothing more happens
            ApplicationDebug::logHigh(
                QStringLiteral("[UtmConnect] %1: %2")
                    .arg(peerAddress().toString(), QStringLiteral("TLS error while reading: %1").arg(reason)));
            return Pass::Stop;
        }
        if (kind == SSL_ERROR_ZERO_RETURN) {
            peerClosed();
            return Pass::Stop;
        }
        break;
    }
    return moved ? Pass::Moved : Pass::Idle;
}

bool PskSocket::encryptPending()
{
    qint64 taken = 0;
    bool ok = true;
    while (m_ssl && !m_writeBuffer.isEmpty() &&
           (m_plainSocket ? m_plainSocket->bytesToWrite() : 0) + pendingIn(m_writeBio) < sendPendingLimit) {
        const int block = static_cast<int>(std::min<qint64>(m_writeBuffer.nextDataBlockSize(), maxWriteBlock));
        ERR_clear_error();
        const int written = SSL_write(m_ssl, m_writeBuffer.readPointer(), block);
        if (written <= 0) {
            const int kind = SSL_get_error(m_ssl, written);
            if (kind != SSL_ERROR_WANT_READ && kind != SSL_ERROR_WANT_WRITE) {
                emitError(UnknownSocketError, QStringLiteral("Unable to write data: %1").arg(SslRegistry::errorText()));
                ok = false;
            }
            // Otherwise OpenSSL waits for the peer; try again on the next data.
            break;
        }
        m_writeBuffer.free(written);
        taken += written;
        if (written < block)
            break;
    }
    // Plaintext left the write buffer: a writer held back by bytesToWrite() may go on.
    if (ok && taken > 0)
        emit bytesWritten(taken);
    return ok;
}

bool PskSocket::sendPending()
{
    bool sent = false;
    while (m_writeBio && m_plainSocket && m_plainSocket->isValid()) {
        const qint64 pending = pendingIn(m_writeBio);
        if (pending <= 0)
            break;
        QVarLengthArray<char, workBufferSize> work(static_cast<int>(pending));
        const int n = BIO_read(m_writeBio, work.data(), static_cast<int>(pending));
        if (n <= 0)
            break;
        m_plainSocket->write(work.constData(), n);
        sent = true;
    }
    return sent;
}

void PskSocket::sendPendingNow()
{
    // Written to the inner socket alone, the bytes would wait for its write
    // notification, and a closing socket with its disconnection for them: one
    // more turn of the event loop for every connection that ends.
    sendPending();
    if (m_plainSocket)
        m_plainSocket->flush();
}

void PskSocket::peerClosed()
{
    // Answer the close notification, then let the connection go; the inner
    // socket reports the disconnection.
    ERR_clear_error();
    SSL_shutdown(m_ssl);
    ERR_clear_error();
    sendPendingNow();
    if (m_plainSocket)
        m_plainSocket->disconnectFromHost();
}

void PskSocket::freeSsl()
{
    if (!m_ssl)
        return;
    SslRegistry::unregisterSocket(m_ssl, this);
    SSL_free(m_ssl); // frees both BIOs with it
    m_ssl = nullptr;
    m_readBio = nullptr;
    m_writeBio = nullptr;
}

void PskSocket::scheduleTransmit()
{
    if (m_transmitQueued)
        return;
    m_transmitQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_transmitQueued = false;
            transmit();
        },
        Qt::QueuedConnection);
}

void PskSocket::emitError(SocketError code, const QString &text)
{
    setSocketError(code);
    setErrorString(text);
    emit errorOccurred(code);
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    emit error(code);
    QT_WARNING_POP
}

// ---------------------------------------------------------------------------
// Inner socket

void PskSocket::setupPlainSocket()
{
    setOpenMode(openMode());
    setSocketState(UnconnectedState);
    setSocketError(UnknownSocketError);
    setLocalPort(0);
    setPeerPort(0);
    setLocalAddress(QHostAddress());
    setPeerAddress(QHostAddress());
    setPeerName(QString());

    m_plainSocket = new QTcpSocket(this);
    // Qt stops reading from the kernel when this much waits: TCP flow control
    // then holds back a peer that sends faster than we decrypt.
    m_plainSocket->setReadBufferSize(innerReadBufferSize);
    connect(m_plainSocket, &QTcpSocket::connected, this, &PskSocket::plainConnected);
    connect(m_plainSocket, &QTcpSocket::disconnected, this, &PskSocket::plainDisconnected);
    connect(m_plainSocket, &QTcpSocket::readyRead, this, &PskSocket::plainReadyRead);
    connect(m_plainSocket, &QTcpSocket::stateChanged, this, &PskSocket::plainStateChanged);
    connect(m_plainSocket, &QTcpSocket::errorOccurred, this, &PskSocket::plainError);
    connect(m_plainSocket, &QTcpSocket::bytesWritten, this, &PskSocket::plainBytesWritten);
}

void PskSocket::plainConnected()
{
    setLocalPort(m_plainSocket->localPort());
    setLocalAddress(m_plainSocket->localAddress());
    setPeerPort(m_plainSocket->peerPort());
    setPeerAddress(m_plainSocket->peerAddress());
    setPeerName(m_plainSocket->peerName());
    emit connected();
}

void PskSocket::plainDisconnected()
{
    freeSsl();
    emit disconnected();
}

void PskSocket::plainReadyRead()
{
    transmit();
}

void PskSocket::plainStateChanged(QAbstractSocket::SocketState socketState)
{
    setSocketState(socketState);
    emit stateChanged(socketState);
}

void PskSocket::plainError(QAbstractSocket::SocketError socketError)
{
    setSocketError(m_plainSocket->error());
    setErrorString(m_plainSocket->errorString());
    emit errorOccurred(socketError);
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    emit error(socketError);
    QT_WARNING_POP
}

void PskSocket::plainBytesWritten(qint64)
{
    // Encryption paused while the network was behind; it has caught up.
    if (m_isEncrypted && !m_writeBuffer.isEmpty())
        scheduleTransmit();
}

void PskSocket::flushWriteBuffer()
{
    m_flushQueued = false;
    if (m_writeBuffer.isEmpty())
        return;
    if (m_isEncrypted)
        transmit();
    if (m_plainSocket)
        m_plainSocket->flush();
}
