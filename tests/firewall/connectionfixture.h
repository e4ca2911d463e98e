#pragma once

// The connection server running on loopback in the test's own event loop,
// with config.ini and the log in a temporary folder, and firewall peers to
// talk to it. Header-only, shared by the connection tests.
#include "common/clock.h"
#include "firewall/client.h"
#include "firewall/server.h"
#include "log/applicationdebug.h"
#include "settings/settings.h"
#include "support/tempinstance.h"
#include "tools/firewallpeer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace testsupport {

const QByteArray TestKey = "connection test key";

class ConnectionFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        writeConfig(true, testsupport::freeTcpPort());
        settings::Settings::setDirectoryForTest(m_dir.path());
        ApplicationDebug::create(m_dir.filePath(QStringLiteral("log")));
        settings::Settings::instance();
    }

    void TearDown() override
    {
        m_peers.clear();
        UtmConnect::Server::destroy();
        // Let deleteLater'd clients and sockets go.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        settings::Settings::destroy();
        settings::Settings::setDirectoryForTest(QString());
        ApplicationDebug::destroy();
        common::Clock::resetForTest();
    }

    void writeConfig(bool firewallEnabled, int port, const QByteArray &key = TestKey)
    {
        QFile file(m_dir.filePath(QStringLiteral("config.ini")));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[Global]\nVerboseLevel=high\nADObsolescenceTimeout=604800\nFirewallEnabled=" +
                   QByteArray(firewallEnabled ? "true" : "false") +
                   "\nMaxThreadPool=64\n\n[WebServer]\nPort=" + QByteArray::number(port) + "\nSSLKey=" + key + "\n");
    }

    UtmConnect::Server *startServer()
    {
        UtmConnect::Server *server = UtmConnect::Server::instance();
        EXPECT_TRUE(server->start());
        EXPECT_TRUE(server->isListening());
        return server;
    }
    // The connection of that firewall, or null.
    UtmConnect::Client *client(const char *adName = "127.0.0.1", const char *serial = "FW0001") const
    {
        return UtmConnect::Server::instance()->findClient(QString::fromLatin1(adName), QString::fromLatin1(serial));
    }
    // Sends the logons of these users to the connection of that firewall.
    void sendLogons(const QStringList &users, const char *adName = "127.0.0.1", const char *serial = "FW0001")
    {
        UtmConnect::Server::instance()->newLogons(logons(users), QString::fromLatin1(adName),
                                                  QString::fromLatin1(serial));
    }

    // A peer of that serial, from that loopback address (127.0.0.1 by default).
    diag::FirewallPeer::Options peerOptions(const QString &serial = QStringLiteral("FW0001"),
                                            const char *bind = nullptr)
    {
        diag::FirewallPeer::Options options;
        options.port = UtmConnect::Server::instance()->serverPort();
        options.key = TestKey;
        options.serial = serial;
        if (bind)
            options.bindAddress = QHostAddress(QString::fromLatin1(bind));
        return options;
    }

    diag::FirewallPeer *addPeer(const diag::FirewallPeer::Options &options)
    {
        m_peers.push_back(std::make_unique<diag::FirewallPeer>(options));
        m_peers.back()->start();
        return m_peers.back().get();
    }

    // A peer that only does what the test sends.
    diag::FirewallPeer *manualPeer(const char *bind = nullptr)
    {
        diag::FirewallPeer::Options options = peerOptions(QStringLiteral("FW0001"), bind);
        options.autopilot = false;
        diag::FirewallPeer *peer = addPeer(options);
        EXPECT_TRUE(QTest::qWaitFor([peer] { return peer->isEncrypted(); }, 10000));
        return peer;
    }

    // A peer that ran the conversation up to its initial rules, acknowledged.
    diag::FirewallPeer *readyPeer(diag::FirewallPeer::Options options)
    {
        diag::FirewallPeer *peer = addPeer(options);
        EXPECT_TRUE(
            QTest::qWaitFor([peer] { return peer->rulesSent() && peer->count(QStringLiteral("Ack")) >= 2; }, 10000))
            << logText().toStdString();
        return peer;
    }

    static bool waitForMessages(diag::FirewallPeer *peer, const QString &header, int count = 1)
    {
        return QTest::qWaitFor([&] { return peer->count(header) >= count; }, 10000);
    }
    static bool waitForDisconnect(diag::FirewallPeer *peer)
    {
        return QTest::qWaitFor([&] { return peer->isDisconnected(); }, 10000);
    }
    // The peer got a Goodbye with that reason and was disconnected.
    static bool waitForGoodbye(diag::FirewallPeer *peer, const QString &reason)
    {
        return waitForMessages(peer, QStringLiteral("Goodbye")) &&
               peer->first(QStringLiteral("Goodbye")).value(QStringLiteral("error")) == '"' + reason + '"' &&
               waitForDisconnect(peer);
    }
    static QStringList headers(const diag::FirewallPeer *peer)
    {
        QStringList list;
        for (const diag::PeerMessage &message : peer->messages())
            list.append(message.header);
        return list;
    }

    QString logText() const { return testsupport::logFolderText(m_dir.path()); }
    bool waitForLog(const QString &needle) const
    {
        return QTest::qWaitFor([&] { return logText().contains(needle); }, 10000);
    }

    common::LogonList logons(const QStringList &users) const
    {
        common::LogonList list;
        for (const QString &user : users)
            list.append(common::Logon(user, QHostAddress(QStringLiteral("10.0.0.5")), common::Clock::now(),
                                      QStringLiteral("WS1"), QStringLiteral("CORP"), QStringLiteral("S-1-5-21-1"),
                                      QStringLiteral("corp.example")));
        return list;
    }

    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<diag::FirewallPeer>> m_peers;
};

} // namespace testsupport
