#include "firewall/server.h"

#include "common/clock.h"
#include "firewall/client.h"
#include "firewall/pskserver.h"
#include "firewall/psksocket.h"
#include "log/applicationdebug.h"
#include "settings/settings.h"

#include <QHostAddress>
#include <QTimerEvent>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

// A listening socket on every local address (IPv6 and IPv4 on one socket,
// IPv4 alone where IPv6 is missing), with a queue long enough for firewalls
// that all reconnect after a restart. -1 with the reason in *error.
int listeningSocket(quint16 port, QString *error)
{
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const bool v6 = fd >= 0;
    if (!v6)
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return -1;
    }
    const int on = 1;
    const int off = 0;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int result;
    if (v6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(port);
        result = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(port);
        result = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    if (result != 0 || ::listen(fd, SOMAXCONN) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return -1;
    }
    return fd;
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
    const settings::GlobalConfiguration global = settings::Settings::instance()->globalConfiguration();
    if (!global.FirewallEnabled)
        return true;
    const qint32 port = settings::Settings::instance()->serverConfiguration().Port;
    const bool listening = pskServer->isListening();
    if (listening && port == qint32(pskServer->serverPort()))
        return true;

    if (port < 1 || port > 65535) {
        m_errorText =
            QStringLiteral("Unable to listen on port %1 (error: Port must be a number from 1 to 65535)").arg(port);
        ApplicationDebug::logLow(m_errorText);
        return false;
    }
    QString error;
    const int fd = listeningSocket(quint16(port), &error);
    if (fd < 0) {
        m_errorText = QStringLiteral("Unable to listen on port %1 (error: %2)").arg(port).arg(error);
        ApplicationDebug::logLow(m_errorText);
        // A changed Port that is in use leaves the old one serving.
        if (listening) {
            ApplicationDebug::logLow(QStringLiteral("still listening on port %1").arg(pskServer->serverPort()));
            return true;
        }
        return false;
    }
    // The old port closes only now that the new one is bound.
    const quint16 previous = listening ? pskServer->serverPort() : 0;
    pskServer->close();
    if (!pskServer->setSocketDescriptor(fd)) {
        ::close(fd);
        m_errorText = QStringLiteral("Unable to listen on port %1 (error: %2)").arg(port).arg(pskServer->errorString());
        ApplicationDebug::logLow(m_errorText);
        return false;
    }
    if (previous != 0)
        ApplicationDebug::logLow(QStringLiteral("listening on port %1 instead of %2").arg(port).arg(previous));
    m_errorText.clear();
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

        // Read now, so that a changed key applies to every later connection.
        socket->setPskKey(settings::Settings::instance()->serverConfiguration().SSLKey.toUtf8());

        auto *client = new Client(socket);
        clients.append(client);
        // Only a newcomer that proved the key replaces the firewall of its address.
        connect(socket, &PskSocket::encrypted, this, [this, client] { replacePreviousConnections(client); });
        connect(client, &QObject::destroyed, this, &Server::clientDestroyed);
        connect(client, &Client::initialRules, this, &Server::initialRules);
        connect(client, &Client::newRules, this, &Server::newRules);
    }
}

void Server::replacePreviousConnections(Client *newcomer)
{
    const QString peer = newcomer->peerText();
    const QList<Client *> copy = clients;
    for (Client *client : copy) {
        if (client == newcomer || client->peerText() != peer || !clients.contains(client))
            continue;
        logLine(QStringLiteral("New connection for %1, remove previous connection").arg(peer));
        if (PskSocket *old = client->socket())
            old->close();
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
