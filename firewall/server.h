#pragma once

#include "common/logon.h"
#include "common/userrule.h"

#include <QList>
#include <QObject>
#include <QString>

class PskServer;
class QTimerEvent;

namespace UtmConnect {

class Client;

// The endpoint firewalls connect to: listens on the configured Port of all
// local addresses through a PskServer, gives every new connection the
// current SSLKey and a Client, keeps one connection per firewall address
// (a newcomer replaces the previous connection of its address once it has
// completed the TLS handshake, so that nobody without the key evicts a firewall),
// routes logons and logoffs to the firewall they are addressed to, relays
// the firewalls' rules, and closes connections that fell silent (no data for
// more than 240 seconds) or never finished their TLS handshake (30 seconds).
//
// One instance per process (instance()/destroy()); lives on the main
// thread's event loop with all its connections. Destroying it says Goodbye
// ("service is closing") to every firewall.
class Server : public QObject
{
    Q_OBJECT
public:
    static constexpr int KeepAliveCheckMs = 1000;
    static constexpr qint64 KeepAliveLimitSeconds = 240;
    static constexpr qint64 TlsHandshakeLimitSeconds = 30;

    static Server *instance();
    static void destroy();

    // Listens when FirewallEnabled is set: on Port when not listening, or on
    // the new Port when it changed (the old port is closed once the new one
    // is bound; when it cannot be bound the old one stays and this returns
    // true). False, after the log line "Unable to listen on port <n> (error:
    // <why>)", when Port is outside 1 to 65535 or nothing listens because it
    // cannot be bound; true otherwise, also when FirewallEnabled is false.
    bool start();
    // The last "Unable to listen ..." line; empty after a successful start.
    const QString &errorText() const { return m_errorText; }
    void resume();
    // Stops listening; established connections stay.
    void close();

    // The connected firewall with this adName and serial, or null.
    Client *findClient(const QString &adName, const QString &fw) const;

    bool isListening() const;
    quint16 serverPort() const;
    const QList<Client *> &clientList() const { return clients; }
    // Runs the periodic time-limit check now (tests drive it with injected time).
    void checkConnectionsForTest() { checkConnections(); }

signals:
    void initialRules(QString ad, QString fw, QList<common::UserRule> rules);
    void newRules(QString ad, QString fw, QList<common::NewUserRule> rules);

public slots:
    void newLogons(common::LogonList logons, QString adName, QString fw);
    void newLogoff(common::Logoff logoff, QString adName, QString fw);

private slots:
    void newConnection();
    void refuseConnections();
    void clientDestroyed(QObject *obj);

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    Server();
    ~Server() override;
    void checkConnections();
    void replacePreviousConnections(Client *newcomer);

    QList<Client *> clients;
    PskServer *pskServer = nullptr;
    int timerId = 0;
    QString m_errorText;
};

} // namespace UtmConnect
