#include "firewall/pskserver.h"

#include "firewall/psksocket.h"
#include "firewall/sslregistry.h"

#include <QtGlobal>
#include <openssl/ssl.h>
#include <unistd.h>

PskServer::PskServer(QObject *parent) : QTcpServer(parent)
{
    SslRegistry::initOpenSsl();
}

PskServer::~PskServer()
{
    // Sockets still alive hold their own reference on the context.
    SSL_CTX_free(ctx);
}

const QStringList &PskServer::cipherList()
{
    static const QStringList ciphers{
        QStringLiteral("DHE-PSK-AES128-GCM-SHA256"),
        QStringLiteral("ECDHE-PSK-CHACHA20-POLY1305"),
        QStringLiteral("DHE-PSK-CHACHA20-POLY1305"),
        QStringLiteral("DHE-PSK-AES256-GCM-SHA384"),
    };
    return ciphers;
}

bool PskServer::initSslContext()
{
    if (ctx)
        return false;

    ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        qCritical("PskServer::initSslContext(): cannot create a SSL context");
        return false;
    }

    SSL_CTX_set_options(ctx, SSL_OP_ALL);
    SSL_CTX_set_dh_auto(ctx, 1);
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);

    const QByteArray ciphers = cipherList().join(QLatin1Char(':')).toLatin1();
    const bool cipherListSet = SSL_CTX_set_cipher_list(ctx, ciphers.constData()) == 1;
    const bool suitesSet = SSL_CTX_set_ciphersuites(ctx, "") == 1;
    if (!cipherListSet || !suitesSet) {
        qCritical("PskServer::initSslContext(): cannot set any of the specified ciphers to the openssl context");
        return false;
    }
    return true;
}

void PskServer::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new PskSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState, QIODevice::ReadWrite)) {
        delete socket;
        ::close(static_cast<int>(socketDescriptor)); // nobody else owns it now
        return;
    }
    // The base class emits newConnection() once this returns; the handshake
    // cannot reach the key exchange before the owner has set the key there.
    addPendingConnection(socket);
    socket->startServerEncryption();
}
