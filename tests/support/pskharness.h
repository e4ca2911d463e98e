#pragma once

#include "firewall/pskserver.h"
#include "firewall/psksocket.h"

#include <QHostAddress>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <functional>
#include <memory>
#include <vector>

namespace testsupport {

// True once the spied signal came, waiting for it up to ten seconds.
inline bool signalled(QSignalSpy &spy)
{
    return spy.count() > 0 || spy.wait(10000);
}

// A PskServer listening on a loopback port that gives every accepted socket
// a key, the way the connection server does in its newConnection() slot,
// and records what each socket announces. Header-only.
class PskHarness
{
public:
    struct Accepted
    {
        QPointer<PskSocket> socket;
        QSignalSpy encrypted, errors, disconnected, readyRead;
        explicit Accepted(PskSocket *s)
            : socket(s), encrypted(s, &PskSocket::encrypted), errors(s, &QAbstractSocket::errorOccurred),
              disconnected(s, &QAbstractSocket::disconnected), readyRead(s, &QIODevice::readyRead)
        {}
    };

    // keyForNewSocket runs for every accepted socket; by default the fixed key.
    explicit PskHarness(const QByteArray &key, bool withContext = true,
                        const QHostAddress &address = QHostAddress::LocalHost)
    {
        m_contextReady = !withContext || server.initSslContext();
        m_listening = server.listen(address, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this, key] {
            while (auto *socket = qobject_cast<PskSocket *>(server.nextPendingConnection())) {
                socket->setPskKey(keyForNewSocket ? keyForNewSocket() : key);
                m_accepted.push_back(std::make_unique<Accepted>(socket));
                if (onAccepted)
                    onAccepted(socket);
            }
        });
    }

    bool isReady() const { return m_listening && m_contextReady; }
    quint16 port() const { return server.serverPort(); }

    // The n-th accepted connection, waiting for it; null when none came.
    Accepted *waitForAccepted(size_t n = 0)
    {
        (void)QTest::qWaitFor([&] { return m_accepted.size() > n; }, 10000);
        return m_accepted.size() > n ? m_accepted[n].get() : nullptr;
    }
    // The n-th accepted connection once encrypted; null when it was not.
    PskSocket *encryptedSocket(size_t n = 0)
    {
        Accepted *accepted = waitForAccepted(n);
        return accepted && signalled(accepted->encrypted) ? accepted->socket.data() : nullptr;
    }

    PskServer server;
    std::function<QByteArray()> keyForNewSocket;
    std::function<void(PskSocket *)> onAccepted;

private:
    bool m_contextReady = false;
    bool m_listening = false;
    std::vector<std::unique_ptr<Accepted>> m_accepted;
};

} // namespace testsupport
