#pragma once

#include "firewall/ringbuffer.h"

#include <QByteArray>
#include <QTcpSocket>
#include <openssl/types.h>

class PskServer;

// A TCP socket that speaks TLS 1.2 with a pre-shared key as the server.
//
// To its user it is a plain QTcpSocket: read lines or bytes, write bytes,
// readyRead(), disconnected(), errorOccurred()/error(). Underneath, an inner
// QTcpSocket moves the ciphertext and OpenSSL runs the record layer through
// two memory BIOs. Every PskSocket of the agent is created by PskServer for
// an accepted connection, which also starts the handshake.
//
// Lifecycle: created on the accepted descriptor (connected, mode 0: bytes
// pass through unencrypted) -> startServerEncryption (mode 2, handshake
// driven by incoming ciphertext) -> encrypted() -> data phase -> the inner
// socket disconnects (SSL object freed, disconnected() emitted once) or
// close().
//
// Errors: a failed handshake (wrong key, no common cipher, malformed data)
// sets error 13 (SslHandshakeFailedError) with the text
// "SSL handshake error: <OpenSSL errors>", emits the error, aborts the
// connection and closes the socket. A failed encryption sets error -1 with
// "Unable to write data: <reason>". Fatal TLS errors while reading stop
// all processing of the connection without a signal; the owner's keep-alive
// closes it. Errors are announced through errorOccurred() and the older
// error() signal, as Qt's own sockets do.
//
// Memory is bounded when a peer floods or stops reading:
// - at most readBufferLimit() bytes of decrypted plaintext wait for the
//   user (decryption pauses above it and resumes when the user reads);
// - at most 64 KiB of ciphertext wait in the inner socket and in OpenSSL's
//   read BIO each, so TCP flow control stops the peer;
// - encryption pauses while 256 KiB of ciphertext wait to be sent, and
//   write() refuses (returns -1, error -1) once writeBufferLimit() bytes of
//   plaintext would wait for the peer.
//
// bytesWritten() announces plaintext taken from the write buffer for
// encryption. It is emitted from inside transmit(): connect it queued
// before writing more from the slot.
//
// Destroying a connected socket cuts the connection without emitting
// disconnected() (the object is half gone by then); watch destroyed().
//
// Thread: lives in one thread (the agent's main event loop); not thread-safe.
class PskSocket : public QTcpSocket
{
    Q_OBJECT
public:
    explicit PskSocket(QObject *parent = nullptr);
    ~PskSocket() override;

    // Plaintext view of the stream. While mode is 0 these pass straight to
    // the inner socket; from startServerEncryption on they use the ring
    // buffers (before encrypted(), reads find nothing and writes wait).
    qint64 bytesAvailable() const override;
    qint64 bytesToWrite() const override;
    bool canReadLine() const override;
    bool atEnd() const override;
    // Sends what was written and the TLS close notification, then closes the
    // inner socket and this one and drops both buffers. disconnected() is
    // emitted once, when the inner socket is gone.
    void close() override;
    // Cuts the connection at once: nothing pending is sent, the buffers are
    // dropped, disconnected() is emitted once if it was connected. Hides the
    // non-virtual QAbstractSocket::abort, which through a base pointer ends
    // in close() instead (an orderly close).
    void abort();
    // Sends what was written and the TLS close notification, then lets the
    // inner socket disconnect; reading what already arrived stays possible.
    void disconnectFromHost() override;
    // Creates the inner socket if needed, hands it the descriptor and copies
    // its error, state, open mode, addresses, ports and peer name.
    bool setSocketDescriptor(qintptr socketDescriptor, SocketState state = ConnectedState,
                             OpenMode openMode = ReadWrite) override;

    // Encrypts and sends what is pending, then flushes the inner socket.
    // True when bytes went to the network (false without an inner socket). Hides the
    // non-virtual QAbstractSocket::flush: call it through a PskSocket.
    bool flush();

    // Starts the server side of the handshake; does nothing when already
    // started. Called by PskServer right after the connection is accepted.
    void startServerEncryption();
    // Moves data between the plaintext buffers, OpenSSL and the network
    // until nothing moves. Runs by itself on network activity.
    void transmit();

    bool isEncrypted() const { return m_isEncrypted; }
    quint8 mode() const { return m_mode; }
    // The identity the peer presented in its handshake (any is accepted).
    QByteArray pskIdentity() const { return m_pskIdentity; }
    QByteArray pskKey() const { return m_pskKey; }
    // The key used up to its first zero byte, cut to what OpenSSL accepts
    // (512 bytes). Must be set before the peer's key exchange arrives.
    void setPskKey(const QByteArray &key) { m_pskKey = key; }

    static qint64 readBufferLimit();
    static qint64 writeBufferLimit();
    // Tests: smaller limits to reach them quickly; 0 restores the defaults.
    static void setBufferLimitsForTest(qint64 readLimit, qint64 writeLimit);
    // Tests: plaintext and ciphertext held by this socket and its inner socket.
    qint64 readBufferSizeForTest() const { return m_readBuffer.size(); }
    qint64 inboundCiphertextForTest() const;  // unread by the inner socket and in the read BIO
    qint64 outboundCiphertextForTest() const; // unsent by the inner socket and in the write BIO
    bool hasSslForTest() const { return m_ssl != nullptr; }
    bool readFailedForTest() const { return m_readFailed; }

signals:
    void encrypted();

protected:
    qint64 readData(char *data, qint64 maxlen) override;
    qint64 readLineData(char *data, qint64 maxlen) override;
    qint64 writeData(const char *data, qint64 len) override;

private slots:
    void plainConnected();
    void plainDisconnected();
    void plainReadyRead();
    void plainStateChanged(QAbstractSocket::SocketState state);
    void plainError(QAbstractSocket::SocketError error);
    void plainBytesWritten(qint64 bytes);
    void flushWriteBuffer();

private:
    friend unsigned int pskServerCallback(SSL *ssl, const char *identity, unsigned char *psk, unsigned int maxPskLen);

    bool initSsl();
    bool startHandshake();
    void setupPlainSocket();
    void freeSsl();
    void scheduleTransmit();
    void resumeReading();
    void emitError(SocketError code, const QString &text);
    enum class Pass { Moved, Idle, Stop };
    Pass transmitPass();
    bool encryptPending(); // false after a write failure (already signalled)
    bool sendPending();    // true when ciphertext went to the inner socket
    // sendPending, and the bytes handed to the kernel at once: the connection is about to end.
    void sendPendingNow();
    void peerClosed();
    bool tlsSide() const { return m_mode != 0 || m_isEncrypted; }

    QTcpSocket *m_plainSocket = nullptr;
    quint8 m_mode = 0;
    bool m_isEncrypted = false;
    SSL *m_ssl = nullptr;
    BIO *m_readBio = nullptr;  // owned by m_ssl once attached
    BIO *m_writeBio = nullptr; // owned by m_ssl once attached
    RingBuffer m_writeBuffer;
    RingBuffer m_readBuffer;
    QByteArray m_pskIdentity;
    QByteArray m_pskKey;
    bool m_inTransmit = false;
    bool m_transmitQueued = false;
    bool m_sentInTransmit = false;
    bool m_flushedInTransmit = false;
    bool m_flushQueued = false;
    bool m_readFailed = false; // a fatal TLS error while reading stops all processing
};
