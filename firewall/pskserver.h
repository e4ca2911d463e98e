#pragma once

#include <QStringList>
#include <QTcpServer>
#include <openssl/types.h>

// TCP listening server of the firewall link that turns every accepted
// connection into a PskSocket acting as a TLS 1.2 PSK server.
//
// It owns the TLS server context shared by all its connections: built once
// by initSslContext (TLS 1.2 only, the four PSK cipher suites in cipherList()
// order, no TLS 1.3 suite, automatic Diffie-Hellman parameters, no peer
// verification, no identity hint). Without a context accepted sockets never
// complete a handshake.
//
// Accepted sockets are children of the server. They are queued as pending
// connections and announced by newConnection() once per connection, as the
// base class does; the TLS handshake has already been started at that point,
// but the key is only needed once the peer's key exchange arrives, so a slot
// connected directly to newConnection() must give each socket its key
// (PskSocket::setPskKey) before returning to the event loop.
//
// Lives in one thread (the main event loop in the agent).
class PskServer : public QTcpServer
{
    Q_OBJECT
public:
    explicit PskServer(QObject *parent = nullptr);
    ~PskServer() override;

    // Builds the context. False when it already exists (the first one is
    // kept) or cannot be built; failures write a critical diagnostic.
    bool initSslContext();
    // Null until initSslContext has succeeded at least in creating it.
    SSL_CTX *sslContext() const { return ctx; }

    // "DHE-PSK-AES128-GCM-SHA256", "ECDHE-PSK-CHACHA20-POLY1305",
    // "DHE-PSK-CHACHA20-POLY1305", "DHE-PSK-AES256-GCM-SHA384".
    static const QStringList &cipherList();

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    SSL_CTX *ctx = nullptr;
};
