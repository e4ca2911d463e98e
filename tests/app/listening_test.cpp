// The agent executable, copied into a temporary install folder, serving the
// project's firewall peer: it listens on Port once started, stores the
// firewall's configuration in config.ini, stops listening while paused and
// says Goodbye to every firewall when it stops. config.ini stays whole on a
// full or read-only disk, and an edit it cannot use changes neither the key
// nor the stored firewalls.
#include "agentprocess.h"
#include "support/smalldisk.h"
#include "tools/firewallpeer.h"

#include <QFileInfo>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

const QByteArray Key = "listening test key";
const QString NotWritten = QStringLiteral("config.ini could not be written");
const QString FormatError = QStringLiteral("format error");

class AgentListening : public agenttest::AgentProcess
{
protected:
    void SetUp() override
    {
        AgentProcess::SetUp();
        m_instance.writeFile(QStringLiteral("config.ini"),
                             "[Global]\nVerboseLevel=high\nFirewallEnabled=true\n\n[WebServer]\nPort=" +
                                 QByteArray::number(m_port) + "\nSSLKey=" + Key + "\n");
    }
    void TearDown() override
    {
        m_peers.clear();
        AgentProcess::TearDown();
    }

    // Moves the install folder onto a small tmpfs of its own, and log/ onto
    // another, so that the log can still tell of a full disk. Empty, or why
    // the kernel refused the mount.
    QString moveToSmallDisk()
    {
        const qint64 room = QFileInfo(agentBinary()).size() + 1024 * 1024;
        m_disk = std::make_unique<testsupport::SmallDisk>(m_instance.path(), room);
        if (!m_disk->isMounted())
            return m_disk->error();
        m_logDisk = std::make_unique<testsupport::SmallDisk>(m_instance.filePath(QStringLiteral("log")), 4 << 20);
        if (!m_logDisk->isMounted())
            return m_logDisk->error();
        m_exe = m_instance.copyExecutable(agentBinary());
        QDir().mkpath(m_instance.filePath(QStringLiteral("tmp")));
        runAgentAs(m_as); // the new folders become the account's too
        return QString();
    }
    QByteArray configText() const { return m_instance.readFile(QStringLiteral("config.ini")); }
    bool waitForConfig(const QByteArrayList &parts)
    {
        return QTest::qWaitFor(
            [&] {
                const QByteArray text = configText();
                return std::all_of(parts.cbegin(), parts.cend(), [&](const QByteArray &p) { return text.contains(p); });
            },
            15000);
    }
    // Writes config.ini as an editor would: in place, or a new file renamed over it.
    void editConfig(const QByteArray &text, bool inPlace)
    {
        if (inPlace) {
            m_instance.writeFile(QStringLiteral("config.ini"), text);
            return;
        }
        m_instance.writeFile(QStringLiteral("config.ini.edit"), text);
        ASSERT_EQ(std::rename(QFile::encodeName(m_instance.filePath(QStringLiteral("config.ini.edit"))).constData(),
                              QFile::encodeName(m_instance.filePath(QStringLiteral("config.ini"))).constData()),
                  0);
    }
    // Whether a firewall with this key gets through the TLS handshake on Port;
    // one that does gives its configuration, as firewalls do.
    bool keyAccepted(const QByteArray &key, const QString &bind)
    {
        diag::FirewallPeer::Options options;
        options.port = m_port;
        options.key = key;
        options.serial = QStringLiteral("E2E-KEY-") + bind;
        options.bindAddress = QHostAddress(bind);
        diag::FirewallPeer peer(options);
        peer.start();
        const bool settled = QTest::qWaitFor(
            [&] { return peer.isEncrypted() || peer.isDisconnected() || !peer.errorText().isEmpty(); }, 15000);
        EXPECT_TRUE(settled) << "the handshake neither ended nor failed";
        const bool accepted = peer.isEncrypted();
        if (accepted) {
            EXPECT_TRUE(waitReady(&peer)) << "accepted but not served";
        }
        peer.close();
        return accepted;
    }

    diag::FirewallPeer *connectPeer(const QString &serial, const QString &bind)
    {
        diag::FirewallPeer::Options options;
        options.port = m_port;
        options.key = Key;
        options.serial = serial;
        options.bindAddress = QHostAddress(bind);
        options.controllers = QStringList{QStringLiteral("192.0.2.5")};
        m_peers.push_back(std::make_unique<diag::FirewallPeer>(options));
        diag::FirewallPeer *peer = m_peers.back().get();
        peer->start();
        return peer;
    }
    static bool waitReady(diag::FirewallPeer *peer)
    {
        return QTest::qWaitFor([&] { return peer->rulesSent() && peer->count(QStringLiteral("Ack")) >= 2; }, 15000);
    }
    static bool waitGoodbye(diag::FirewallPeer *peer)
    {
        const QString reason = QStringLiteral("\"service is closing\"");
        return QTest::qWaitFor(
            [&] {
                return peer->first(QStringLiteral("Goodbye")).value(QStringLiteral("error")) == reason &&
                       peer->isDisconnected();
            },
            15000);
    }
    bool portAccepts()
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        const bool connected = socket.waitForConnected(3000);
        socket.abort();
        return connected;
    }

    std::vector<std::unique_ptr<diag::FirewallPeer>> m_peers;
    std::unique_ptr<testsupport::SmallDisk> m_disk;
    std::unique_ptr<testsupport::SmallDisk> m_logDisk; // mounted inside m_disk: goes first
};

TEST_F(AgentListening, ConsoleAgentServesFirewallsAndSaysGoodbyeWhenItStops)
{
    QProcess *agent = start({QStringLiteral("-e")});
    ASSERT_TRUE(waitForLog(QStringLiteral("Ferrowinden SSO Agent 3.0 started"))) << log().toStdString();

    diag::FirewallPeer *first = connectPeer(QStringLiteral("E2E-ONE"), QStringLiteral("127.0.0.1"));
    diag::FirewallPeer *second = connectPeer(QStringLiteral("E2E-TWO"), QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(waitReady(first)) << log().toStdString();
    ASSERT_TRUE(waitReady(second)) << log().toStdString();
    EXPECT_EQ(first->first(QStringLiteral("Agent")).value(QStringLiteral("version")), QStringLiteral("3"));

    // Stored configurations reach the file within a second.
    const auto config = [&] { return QString::fromUtf8(m_instance.readFile(QStringLiteral("config.ini"))); };
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return config().contains(QStringLiteral("[AD-E2E-ONE]")) &&
                   config().contains(QStringLiteral("[AD-E2E-TWO]"));
        },
        5000))
        << config().toStdString();
    // The firewall's rules reached its user filter.
    EXPECT_TRUE(waitForLog(QStringLiteral("192.0.2.5: E2E-ONE: initial rules: 1: pass: any on (0.0.0.0/0,::/0)")))
        << log().toStdString();

    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
    EXPECT_TRUE(waitGoodbye(first));
    EXPECT_TRUE(waitGoodbye(second));
    EXPECT_EQ(finish(agent), 0);
}

TEST_F(AgentListening, ServiceStopsListeningWhilePaused)
{
    testsupport::DatagramListener notify(socketPath("notify"));
    ASSERT_TRUE(notify.isValid());
    QProcess *agent = startService(notify);
    ASSERT_FALSE(notify.waitFor("READY=1", 15000).isEmpty());
    ASSERT_TRUE(waitForLog(QStringLiteral("Ferrowinden SSO Agent 3.0 started")));

    diag::FirewallPeer *before = connectPeer(QStringLiteral("E2E-P"), QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(waitReady(before));

    ASSERT_EQ(run({QStringLiteral("-p")}).exitCode, 0);
    ASSERT_FALSE(notify.waitFor("STATUS=paused", 10000).isEmpty());
    EXPECT_FALSE(portAccepts());
    // The established firewall stays connected and answered.
    before->sendText(diag::PeerProtocol::keepAlive());
    EXPECT_TRUE(QTest::qWaitFor([&] { return before->count(QStringLiteral("Alive")) == 1; }, 10000));

    ASSERT_EQ(run({QStringLiteral("-r")}).exitCode, 0);
    ASSERT_FALSE(notify.waitFor("STATUS=running", 10000).isEmpty());
    diag::FirewallPeer *after = connectPeer(QStringLiteral("E2E-R"), QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(waitReady(after));

    ASSERT_EQ(run({QStringLiteral("-t")}).exitCode, 0);
    EXPECT_TRUE(waitGoodbye(before));
    EXPECT_TRUE(waitGoodbye(after));
    EXPECT_EQ(finish(agent), 0);
}

TEST_F(AgentListening, PortInUseStopsTheAgent)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, m_port));
    EXPECT_EQ(finish(start({QStringLiteral("-e")})), 1);
    EXPECT_TRUE(log().contains(QStringLiteral("Unable to listen on port %1").arg(m_port))) << log().toStdString();
    EXPECT_FALSE(log().contains(QStringLiteral("3.0 started")));
}

// Editing Port moves the listener (the old port closes once the new one is
// bound; established firewalls stay); a Port that cannot be bound keeps the
// old one, and a Port that is no port stops the service with a failure.
TEST_F(AgentListening, EditedPortMovesTheListenerAndABadOneStopsTheService)
{
    testsupport::DatagramListener notify(socketPath("notify"));
    ASSERT_TRUE(notify.isValid());
    QProcess *agent = startService(notify);
    ASSERT_FALSE(notify.waitFor("READY=1", 15000).isEmpty());
    diag::FirewallPeer *before = connectPeer(QStringLiteral("E2E-PORT"), QStringLiteral("127.0.0.1"));
    ASSERT_TRUE(waitReady(before));

    const auto edit = [&](const QByteArray &port) {
        QByteArray text = m_instance.readFile(QStringLiteral("config.ini"));
        const int at = text.indexOf("Port=");
        text.replace(at, text.indexOf('\n', at) - at, "Port=" + port);
        m_instance.writeFile(QStringLiteral("config.ini.edit"), text);
        ASSERT_EQ(::rename(QFile::encodeName(m_instance.filePath(QStringLiteral("config.ini.edit"))).constData(),
                           QFile::encodeName(m_instance.filePath(QStringLiteral("config.ini"))).constData()),
                  0);
    };
    const quint16 oldPort = m_port;
    m_port = testsupport::freeTcpPort();
    edit(QByteArray::number(m_port));
    ASSERT_TRUE(waitForLog(QStringLiteral("listening on port %1 instead of %2").arg(m_port).arg(oldPort)))
        << log().toStdString();
    EXPECT_TRUE(portAccepts());
    before->sendText(diag::PeerProtocol::keepAlive());
    EXPECT_TRUE(QTest::qWaitFor([&] { return before->count(QStringLiteral("Alive")) == 1; }, 10000));
    diag::FirewallPeer *after = connectPeer(QStringLiteral("E2E-NEWPORT"), QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(waitReady(after));
    const quint16 newPort = m_port;
    m_port = oldPort;
    EXPECT_FALSE(portAccepts());
    m_port = newPort;

    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, 0));
    edit(QByteArray::number(occupant.serverPort()));
    ASSERT_TRUE(waitForLog(QStringLiteral("still listening on port %1").arg(m_port))) << log().toStdString();
    EXPECT_TRUE(portAccepts());
    EXPECT_EQ(agent->state(), QProcess::Running);

    edit("99999");
    EXPECT_EQ(finish(agent), 1);
    const QByteArray reason = "Unable to listen on port 99999 (error: Port must be a number from 1 to 65535)";
    EXPECT_FALSE(notify.waitFor("STATUS=" + reason, 5000).isEmpty());
    EXPECT_TRUE(log().contains(QString::fromUtf8(reason)));
    EXPECT_TRUE(waitGoodbye(before));
}

// A save that finds the disk full leaves the previous config.ini whole and
// says so; after a restart the agent still wants its own key, not the default.
TEST_F(AgentListening, FullDiskLeavesConfigIniWholeAndTheKeyAcrossARestart)
{
    const QString refused = moveToSmallDisk();
    if (!refused.isEmpty())
        GTEST_SKIP() << refused.toStdString();
    // Enough firewalls already stored that a save needs more than the room left.
    QByteArray text =
        "[Global]\nVerboseLevel=high\nFirewallEnabled=true\n\n[WebServer]\nPort=" + QByteArray::number(m_port) +
        "\nSSLKey=" + Key + "\n";
    QStringList stored;
    for (int i = 1; i <= 12; ++i) {
        const QByteArray name = "E2E-STORED-" + QByteArray::number(i);
        stored << QStringLiteral("AD-") + QString::fromLatin1(name);
        text += "\n[AD-" + name + "]\nFirewallName=" + name + "\nEnabled=false\nServers\\1\\ips=127.0.0.1\n" +
                "Servers\\size=1\n";
        for (int u = 1; u <= 12; ++u)
            text += "IgnoreList\\" + QByteArray::number(u) + "\\user=service-account-" + QByteArray::number(u) + "\n";
        text += "IgnoreList\\size=12\n";
    }
    m_instance.writeFile(QStringLiteral("config.ini"), text);

    QProcess *agent = start({QStringLiteral("-e")});
    ASSERT_TRUE(waitForLog(QStringLiteral("3.0 started"))) << log().toStdString();
    ASSERT_TRUE(waitReady(connectPeer(QStringLiteral("E2E-BEFORE"), QStringLiteral("127.0.0.1"))));
    ASSERT_TRUE(waitForConfig({"[AD-E2E-BEFORE]"})) << configText().toStdString();
    // Larger than the room the disk will have left, smaller than one write
    // buffer: the size a save that checks its writes but not the last flush gets wrong.
    ASSERT_GT(configText().size(), 8192 + 2048);
    ASSERT_LT(configText().size(), 16384 - 2048);
    stored << QStringLiteral("AD-E2E-BEFORE");

    ASSERT_TRUE(m_disk->fill(8192));
    ASSERT_TRUE(waitReady(connectPeer(QStringLiteral("E2E-FULL"), QStringLiteral("127.0.0.2"))));
    EXPECT_TRUE(waitForLog(NotWritten)) << log().toStdString();
    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
    finish(agent);
    EXPECT_EQ(log().count(NotWritten), 2) << "the save, and the stop's own try to write what is pending";

    const QString path = m_instance.filePath(QStringLiteral("config.ini"));
    EXPECT_TRUE(configText().endsWith('\n')) << "cut short at " << configText().size() << " bytes";
    {
        QSettings file(path, QSettings::IniFormat);
        EXPECT_EQ(file.status(), QSettings::NoError);
        EXPECT_EQ(file.value(QStringLiteral("WebServer/SSLKey")).toString().toStdString(), Key.toStdString());
        EXPECT_EQ(file.value(QStringLiteral("WebServer/Port")).toInt(), m_port);
        const QStringList groups = file.childGroups();
        for (const QString &group : qAsConst(stored))
            EXPECT_TRUE(groups.contains(group)) << group.toStdString();
    }
    EXPECT_TRUE(QDir(m_instance.path()).entryList({QStringLiteral(".config.ini*")}, QDir::Hidden).isEmpty());

    m_disk->release();
    QFile::remove(m_instance.filePath(QStringLiteral("log/ferrowinden-sso-agent.log")));
    agent = start({QStringLiteral("-e")});
    ASSERT_TRUE(waitForLog(QStringLiteral("3.0 started"))) << log().toStdString();
    EXPECT_FALSE(keyAccepted("nil key", QStringLiteral("127.0.0.3")));
    EXPECT_TRUE(keyAccepted(Key, QStringLiteral("127.0.0.4")));
    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
    EXPECT_EQ(finish(agent), 0);
}

// An edit the agent cannot use (no SSLKey under a mistyped [WebServer], or
// garbage) leaves the running key in force and the file as the administrator
// left it; once the edit is mended, the firewalls stored meanwhile join
// those already in the file.
TEST_F(AgentListening, UnusableEditsKeepTheKeyAndTheStoredFirewalls)
{
    QProcess *agent = start({QStringLiteral("-e")});
    ASSERT_TRUE(waitForLog(QStringLiteral("3.0 started"))) << log().toStdString();
    ASSERT_TRUE(waitReady(connectPeer(QStringLiteral("E2E-KEEP"), QStringLiteral("127.0.0.1"))));
    ASSERT_TRUE(waitForConfig({"[AD-E2E-KEEP]"})) << configText().toStdString();

    const struct
    {
        const char *what;
        bool inPlace;
        bool garbage;
    } cases[] = {
        {"[WebServer] renamed by a typo, rewritten in place", true, false},
        {"garbage renamed over it", false, true},
    };
    int round = 0;
    for (const auto &c : cases) {
        ++round;
        const QByteArray good = configText();
        static const char garbage[] = "\x7f"
                                      "ELF\x02\x01\x01\0\0garbage [half a section\n\xff\xfe=\n";
        const QByteArray edit =
            c.garbage ? QByteArray(garbage, sizeof garbage - 1) : QByteArray(good).replace("[WebServer]", "[WebSever]");
        const int before = log().size();
        editConfig(edit, c.inPlace);
        // Noticed: refused with a reason, or (wrongly) taken.
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                const QString tail = log().mid(before);
                return tail.contains(QStringLiteral("config.ini was changed but")) ||
                       tail.contains(QStringLiteral("Config file changed"));
            },
            15000))
            << c.what << "\n"
            << log().toStdString();
        const QString base = QStringLiteral("127.0.0.%1").arg(10 * round);
        EXPECT_FALSE(keyAccepted("nil key", base + QLatin1Char('1'))) << c.what;
        const QString serial = QStringLiteral("E2E-EDIT-%1").arg(round);
        EXPECT_TRUE(waitReady(connectPeer(serial, base + QLatin1Char('2')))) << c.what;
        EXPECT_EQ(configText(), edit) << c.what << ": the edit was written over";

        editConfig(good, false);
        EXPECT_TRUE(waitForConfig({"[AD-E2E-KEEP]", "[AD-" + serial.toLatin1() + "]", "SSLKey=" + Key}))
            << c.what << "\n"
            << configText().toStdString();
    }
    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
    EXPECT_EQ(finish(agent), 0);
}

// A save that fails is logged once; the good save after it logs no failure.
TEST_F(AgentListening, FailedSaveIsLoggedOnceAndTheGoodOneAfterItIsNot)
{
    const QString refused = moveToSmallDisk();
    if (!refused.isEmpty())
        GTEST_SKIP() << refused.toStdString();
    m_instance.writeFile(QStringLiteral("config.ini"), "[Global]\nVerboseLevel=high\nFirewallEnabled=true\n\n"
                                                       "[WebServer]\nPort=" +
                                                           QByteArray::number(m_port) + "\nSSLKey=" + Key + "\n");
    QProcess *agent = start({QStringLiteral("-e")});
    ASSERT_TRUE(waitForLog(QStringLiteral("3.0 started"))) << log().toStdString();
    ASSERT_TRUE(waitReady(connectPeer(QStringLiteral("E2E-GOOD"), QStringLiteral("127.0.0.1"))));
    ASSERT_TRUE(waitForConfig({"[AD-E2E-GOOD]"}));

    ASSERT_TRUE(m_disk->setReadOnly(true)) << std::strerror(errno);
    ASSERT_TRUE(waitReady(connectPeer(QStringLiteral("E2E-FAILED"), QStringLiteral("127.0.0.2"))));
    EXPECT_TRUE(waitForLog(NotWritten)) << log().toStdString();
    ASSERT_TRUE(m_disk->setReadOnly(false)) << std::strerror(errno);

    ASSERT_TRUE(waitReady(connectPeer(QStringLiteral("E2E-AFTER"), QStringLiteral("127.0.0.3"))));
    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
    EXPECT_EQ(finish(agent), 0);
    EXPECT_TRUE(waitForConfig({"[AD-E2E-GOOD]", "[AD-E2E-FAILED]", "[AD-E2E-AFTER]"})) << configText().toStdString();
    EXPECT_EQ(log().count(NotWritten), 1) << log().toStdString();
}

// A file that cannot be read is reported; the valid edit after it is not.
TEST_F(AgentListening, ValidEditAfterAnUnreadableOneReportsNoFormatError)
{
    QProcess *agent = start({QStringLiteral("-e")});
    ASSERT_TRUE(waitForLog(QStringLiteral("3.0 started"))) << log().toStdString();
    const QByteArray good = configText();

    editConfig(QByteArray(good).replace("[WebServer]", "[WebServer"), true);
    ASSERT_TRUE(waitForLog(FormatError)) << log().toStdString();
    const int before = log().size();
    editConfig(QByteArray(good).replace("VerboseLevel=high", "VerboseLevel=high\nADObsolescenceTimeout=700000"), false);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return log().mid(before).contains(QStringLiteral("Config file changed")); }, 15000))
        << log().toStdString();
    EXPECT_FALSE(log().mid(before).contains(FormatError)) << log().mid(before).toStdString();
    EXPECT_TRUE(log().mid(before).contains(QStringLiteral("AD Obsolescence Timeout: 700000")));
    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
    EXPECT_EQ(finish(agent), 0);
}

} // namespace
