#pragma once

#include "firewall/pskserver.h"
#include "firewall/psksocket.h"

#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <functional>
#include <memory>
#include <vector>

namespace testsupport {

// A PskServer listening on a loopback port that gives every accepted socket
// a key, the way the connection server does in its newConnection() slot,
// and records what each socket announces. Header-only.
class PskHarness
{
public:
    struct Accepted
    {
        QPointer<PskSocket> socket;
        std::unique_ptr<QSignalSpy> encrypted;
        std::unique_ptr<QSignalSpy> errors;
        std::unique_ptr<QSignalSpy> disconnected;
        std::unique_ptr<QSignalSpy> readyRead;
    };

    // keyForNewSocket runs for every accepted socket; by default the fixed key.
    explicit PskHarness(const QByteArray &key, bool withContext = true,
                        const QHostAddress &address = QHostAddress::LocalHost)
        : m_key(key)
    {
        if (withContext)
            m_contextReady = server.initSslContext();
        m_listening = server.listen(address, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (auto *socket = qobject_cast<PskSocket *>(server.nextPendingConnection())) {
                socket->setPskKey(keyForNewSocket ? keyForNewSocket() : m_key);
                auto accepted = std::make_unique<Accepted>();
                accepted->socket = socket;
                accepted->encrypted = std::make_unique<QSignalSpy>(socket, &PskSocket::encrypted);
                accepted->errors = std::make_unique<QSignalSpy>(socket, &QAbstractSocket::errorOccurred);
                accepted->disconnected = std::make_unique<QSignalSpy>(socket, &QAbstractSocket::disconnected);
                accepted->readyRead = std::make_unique<QSignalSpy>(socket, &QIODevice::readyRead);
                if (onAccepted)
                    onAccepted(socket);
                m_accepted.push_back(std::move(accepted));
            }
        });
    }

    bool isReady() const { return m_listening && m_contextReady; }
    bool isListening() const { return m_listening; }
    quint16 port() const { return server.serverPort(); }

    // The n-th accepted connection, waiting for it up to timeoutMs; null when none came.
    Accepted *waitForAccepted(size_t n = 0, int timeoutMs = 10000)
    {
        (void)QTest::qWaitFor([&] { return m_accepted.size() > n; }, timeoutMs);
        return m_accepted.size() > n ? m_accepted[n].get() : nullptr;
    }
    size_t acceptedCount() const { return m_accepted.size(); }

    PskServer server;
    std::function<QByteArray()> keyForNewSocket;
    std::function<void(PskSocket *)> onAccepted;

private:
    QByteArray m_key;
    bool m_contextReady = false;
    bool m_listening = false;
    std::vector<std::unique_ptr<Accepted>> m_accepted;
};

} // namespace testsupport
