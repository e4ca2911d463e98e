#include "firewall/server.h"

#include "common/clock.h"
#include "firewall/client.h"
#include "firewall/pskserver.h"
#include "firewall/psksocket.h"
#include "log/applicationdebug.h"
#include "settings/settings.h"

#include <QHostAddress>
#include <QTimerEvent>
#include <sys/socket.h>

namespace UtmConnect {

namespace {

Server *theInstance = nullptr;

void logLine(const QString &text)
{
    ApplicationDebug::logLow(QStringLiteral("[UtmConnect] %1").arg(text));
}

QString addressText(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

} // namespace

Server *Server::instance()
{
    if (!theInstance)
        theInstance = new Server();
    return theInstance;
}

void Server::destroy()
{
    delete theInstance;
    theInstance = nullptr;
}

Server::Server() : QObject(nullptr), pskServer(new PskServer(this))
{
    if (pskServer->initSslContext())
        connect(pskServer, &QTcpServer::newConnection, this, &Server::newConnection);
    else
        // Without a TLS context no connection can be served; do not let
        // accepted sockets pile up.
        connect(pskServer, &QTcpServer::newConnection, this, &Server::refuseConnections);
}

Server::~Server()
{
    const QList<Client *> copy = clients;
    clients.clear();
    for (Client *client : copy) {
        disconnect(client, nullptr, this, nullptr);
        client->sendGoodbye(QStringLiteral("service is closing"));
        delete client;
    }
    if (theInstance == this)
        theInstance = nullptr;
}

bool Server::start()
{
    if (pskServer->isListening())
        return true;
    const settings::GlobalConfiguration global = settings::Settings::instance()->globalConfiguration();
    if (!global.FirewallEnabled)
        return true;
    const qint32 port = settings::Settings::instance()->serverConfiguration().Port;
    if (port < 0 || port > 65535 || !pskServer->listen(QHostAddress::Any, quint16(port))) {
        ApplicationDebug::logLow(QStringLiteral("Unable to listen on port %1").arg(port));
        return false;
    }
    // Qt listens with a queue of 50; firewalls that all reconnect after a
    // restart would otherwise wait out SYN retries. Listening again on a
    // listening socket only resizes its queue.
    ::listen(int(pskServer->socketDescriptor()), SOMAXCONN);
    if (timerId == 0)
        timerId = startTimer(KeepAliveCheckMs, Qt::CoarseTimer);
    return true;
}

void Server::resume()
{
    start();
}

void Server::close()
{
    pskServer->close();
}

bool Server::isListening() const
{
    return pskServer->isListening();
}

quint16 Server::serverPort() const
{
    return pskServer->serverPort();
}

Client *Server::findClient(const QString &adName, const QString &fw) const
{
    for (Client *client : clients) {
        if (client->adName() == adName && client->serial() == fw)
            return client;
    }
    return nullptr;
}

void Server::newLogons(common::LogonList logons, QString adName, QString fw)
{
    if (Client *client = findClient(adName, fw))
        client->newLogons(logons);
}

void Server::newLogoff(common::Logoff logoff, QString adName, QString fw)
{
    if (Client *client = findClient(adName, fw))
        client->newLogoff(logoff);
}

void Server::newConnection()
{
    while (QTcpSocket *next = pskServer->nextPendingConnection()) {
        auto *socket = qobject_cast<PskSocket *>(next);
        if (!socket) {
            next->deleteLater();
            continue;
        }
        const QString peer = addressText(socket->peerAddress());
        ApplicationDebug::logLow(
            QStringLiteral("[UtmConnect] %1: %2").arg(peer, QStringLiteral("connection initiated")));

        const QList<Client *> copy = clients;
        for (Client *client : copy) {
            if (client->peerText() == peer) {
                logLine(QStringLiteral("New connection for %1, remove previous connection").arg(peer));
                if (PskSocket *old = client->socket())
                    old->close();
            }
        }

        // Read now, so that a changed key applies to every later connection.
        socket->setPskKey(settings::Settings::instance()->serverConfiguration().SSLKey.toUtf8());

        auto *client = new Client(socket);
        clients.append(client);
        connect(client, &QObject::destroyed, this, &Server::clientDestroyed);
        connect(client, &Client::initialRules, this, &Server::initialRules);
        connect(client, &Client::newRules, this, &Server::newRules);
    }
}

void Server::refuseConnections()
{
    while (QTcpSocket *socket = pskServer->nextPendingConnection()) {
        logLine(QStringLiteral("%1: no TLS context, connection refused").arg(addressText(socket->peerAddress())));
        socket->abort();
        socket->deleteLater();
    }
}

void Server::clientDestroyed(QObject *obj)
{
    // The object is no longer a Client here; compare addresses only.
    for (int i = 0; i < clients.size(); ++i) {
        if (static_cast<QObject *>(clients.at(i)) == obj) {
            clients.removeAt(i);
            return;
        }
    }
    logLine(QStringLiteral("unable to delete client"));
}

void Server::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != timerId)
        return;
    checkConnections();
}

void Server::checkConnections()
{
    const QDateTime now = common::Clock::now();
    const QList<Client *> copy = clients;
    for (Client *client : copy) {
        if (!clients.contains(client))
            continue;
        if (client->lastReceived().isValid()) {
            if (client->lastReceived().secsTo(now) > KeepAliveLimitSeconds)
                client->keepAliveExpired();
        } else if (client->state() == Client::TlsHandshake) {
            // Anyone who reaches the port could otherwise hold connections forever.
            if (client->acceptedAt().secsTo(now) > TlsHandshakeLimitSeconds)
                client->abortConnection(
                    QStringLiteral("TLS handshake not completed within %1 seconds, connection closed")
                        .arg(TlsHandshakeLimitSeconds));
        } else if (client->encryptedAt().isValid() && client->encryptedAt().secsTo(now) > KeepAliveLimitSeconds) {
            // TLS done but not a byte since: silent like any other firewall.
            client->keepAliveExpired();
        }
    }
}

} // namespace UtmConnect
