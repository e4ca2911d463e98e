#pragma once

// The connection server running on loopback in the test's own event loop,
// with config.ini and the log in a temporary folder, and firewall peers to
// talk to it. Header-only, shared by the connection tests.
#include "common/clock.h"
#include "firewall/client.h"
#include "firewall/server.h"
#include "log/applicationdebug.h"
#include "settings/settings.h"
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
        writeConfig(true, 0);
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

    diag::FirewallPeer::Options peerOptions(const QString &serial = QStringLiteral("FW0001"))
    {
        diag::FirewallPeer::Options options;
        options.port = UtmConnect::Server::instance()->serverPort();
        options.key = TestKey;
        options.serial = serial;
        return options;
    }

    diag::FirewallPeer *addPeer(const diag::FirewallPeer::Options &options)
    {
        m_peers.push_back(std::make_unique<diag::FirewallPeer>(options));
        m_peers.back()->start();
        return m_peers.back().get();
    }

    // A peer that only does what the test sends.
    diag::FirewallPeer *manualPeer(const QHostAddress &bind = QHostAddress())
    {
        diag::FirewallPeer::Options options = peerOptions();
        options.autopilot = false;
        options.bindAddress = bind;
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

    static bool waitForMessages(diag::FirewallPeer *peer, const QString &header, int count = 1, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return peer->count(header) >= count; }, timeoutMs);
    }
    static bool waitForDisconnect(diag::FirewallPeer *peer, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([&] { return peer->isDisconnected(); }, timeoutMs);
    }
    static QStringList headers(const diag::FirewallPeer *peer)
    {
        QStringList list;
        for (const diag::PeerMessage &message : peer->messages())
            list.append(message.header);
        return list;
    }

    QString logText() const
    {
        QDir dir(m_dir.filePath(QStringLiteral("log")));
        QString text;
        for (const QString &name : dir.entryList({QStringLiteral("*.log")}, QDir::Files)) {
            QFile file(dir.filePath(name));
            if (file.open(QIODevice::ReadOnly))
                text += QString::fromUtf8(file.readAll());
        }
        return text;
    }
    bool waitForLog(const QString &needle, int timeoutMs = 10000) const
    {
        return QTest::qWaitFor([&] { return logText().contains(needle); }, timeoutMs);
    }

    common::LogonList logons(const QStringList &users, const QString &address = QStringLiteral("10.0.0.5")) const
    {
        common::LogonList list;
        for (const QString &user : users)
            list.append(common::Logon(user, QHostAddress(address), common::Clock::now(), QStringLiteral("WS1"),
                                      QStringLiteral("CORP"), QStringLiteral("S-1-5-21-1"),
                                      QStringLiteral("corp.example")));
        return list;
    }

    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<diag::FirewallPeer>> m_peers;
};

} // namespace testsupport
