// The registry probe against a real Samba server on loopback (inside the
// test's own network namespace), through the real "net" and "rpcclient".
#include "logoff/registerprobe.h"
#include "logoff/remoteregistry.h"
#include "probetestsupport.h"
#include "sambaserver.h"
#include "settings/settings.h"
#include "support/dnsmasqserver.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <memory>

using logoffCollector::RegisterProbe;
using logoffCollector::RemoteRegistry;
using probetest::logonAt;
using probetest::ProbeRecorder;
using probetest::SambaServer;

namespace {

const QString Workstation = QString::fromLatin1(SambaServer::NetbiosName);

class RegisterProbeTest : public ::testing::Test
{
protected:
    void SetUp() override { SKIP_WITHOUT_NETNS(); }
    void TearDown() override
    {
        settings::Settings::destroy();
        RegisterProbe::setTimeLimitForTest(0);
        RemoteRegistry::setToolsForTest(QStringLiteral("net"), QStringLiteral("rpcclient"));
    }
    // A fresh configuration whose [Global] section holds these lines.
    void configure(const QString &globalLines)
    {
        settings::Settings::destroy();
        log.instance().writeFile(QStringLiteral("config.ini"), ("[Global]\n" + globalLines + "\n").toUtf8());
        settings::Settings::setDirectoryForTest(log.instance().path());
        settings::Settings::instance();
    }
    // Probes the logon with a fresh worker and returns what it emitted.
    QStringList probe(const common::ShdLogon &logon, quint32 pingTimeout = 200)
    {
        RegisterProbe probe(pingTimeout, QStringLiteral("dc"), 5);
        ProbeRecorder recorder(&probe);
        probe.probe(logon);
        EXPECT_TRUE(probe.isBusy());
        EXPECT_TRUE(recorder.waitCompleted(30000));
        EXPECT_FALSE(probe.isBusy());
        return recorder.events;
    }

    probetest::LogCapture log;
    const QStringList present{QStringLiteral("success 5"), QStringLiteral("completed 5")};
    const QStringList registryError{QStringLiteral("completed 5")};
};

TEST_F(RegisterProbeTest, OutcomesAgainstARealServer)
{
    SambaServer samba;
    ASSERT_TRUE(samba.start(
        {QStringLiteral("Volatile Environment"), QStringLiteral("HKU\\S-1-5-21-1-2-3-4001")})) // a hive without the key
        << samba.error().toStdString();
    configure(QStringLiteral("RegistryAuthFile=%1").arg(samba.authFile(QString::fromLatin1(SambaServer::Password))));

    // The user's key is there: present.
    EXPECT_EQ(probe(logonAt(QStringLiteral("127.0.0.1"), QStringLiteral("root"), Workstation, samba.rootSid())),
              present);
    // Without a SID the workstation is asked for it, and the cache entry keeps it.
    const common::ShdLogon withoutSid = logonAt(QStringLiteral("127.0.0.1"), QStringLiteral("root"), Workstation);
    EXPECT_EQ(probe(withoutSid), present);
    EXPECT_EQ(withoutSid->sid(), samba.rootSid());
    // No key for that user (another SID, its hive there or not): the user has left.
    for (const char *sid : {"S-1-5-21-1-2-3-4001", "S-1-5-21-1-2-3-4002"})
        EXPECT_EQ(
            probe(logonAt(QStringLiteral("127.0.0.1"), QStringLiteral("bob"), Workstation, QString::fromLatin1(sid))),
            (QStringList{QStringLiteral("failure 5 register"), QStringLiteral("completed 5")}))
            << sid;
    // An account the workstation does not know, and a host where nothing listens: no logoff.
    EXPECT_EQ(probe(logonAt(QStringLiteral("127.0.0.1"), QStringLiteral("nobody"), Workstation)), registryError);
    EXPECT_EQ(probe(logonAt(QStringLiteral("127.0.0.2"), QStringLiteral("root"), Workstation, samba.rootSid())),
              registryError);
    // A host that does not answer pings is gone, whatever its registry.
    EXPECT_EQ(probe(logonAt(QStringLiteral("10.202.0.70"), QStringLiteral("root"), Workstation, samba.rootSid()), 20),
              (QStringList{QStringLiteral("failure 5 ping"), QStringLiteral("completed 5")}));

    const QString text = log.text();
    EXPECT_TRUE(text.contains(QStringLiteral("RegConnectRegistry: TESTWS (127.0.0.1)")));
    EXPECT_TRUE(text.contains(QStringLiteral("dc: RegOpenKey: error: NT_STATUS_NO_SUCH_DEVICE (error: 255) for TESTWS "
                                             "(127.0.0.1) sid: S-1-5-21-1-2-3-4002")));
    EXPECT_TRUE(text.contains(
        QStringLiteral("dc: LookupAccountName failed: NT_STATUS_NONE_MAPPED (error: 1) for TESTWS(127.0.0.1)")));
    EXPECT_TRUE(text.contains(QStringLiteral("dc: unable to connect to registry: NT_STATUS_CONNECTION_REFUSED "
                                             "(error: 255) for TESTWS (127.0.0.2)")));
}

TEST_F(RegisterProbeTest, CredentialsThatFailLogNobodyOff)
{
    SambaServer samba;
    ASSERT_TRUE(samba.start({QStringLiteral("Volatile Environment")})) << samba.error().toStdString();
    const common::ShdLogon logon =
        logonAt(QStringLiteral("127.0.0.1"), QStringLiteral("root"), Workstation, samba.rootSid());
    configure(QStringLiteral("RegistryAuthFile=%1").arg(samba.authFile(QStringLiteral("wrong"))));
    EXPECT_EQ(probe(logon), registryError);
    EXPECT_TRUE(log.text().contains(QStringLiteral("unable to connect to registry: NT_STATUS_LOGON_FAILURE")));

    // Without a file: Kerberos from the credential cache, which holds no ticket here.
    qputenv("KRB5CCNAME", QStringLiteral("FILE:%1/no-ccache").arg(samba.folder()).toLocal8Bit());
    configure(QString());
    EXPECT_EQ(probe(logon), registryError);
    qunsetenv("KRB5CCNAME");
    EXPECT_EQ(log.count(QStringLiteral("dc: unable to connect to registry: ")), 2);
}

// A workstation name found by reverse look-up is used and kept; none found
// means the registry cannot be asked, and the user counts as present.
TEST_F(RegisterProbeTest, WorkstationFoundByReverseLookUp)
{
    SambaServer samba;
    ASSERT_TRUE(samba.start({QStringLiteral("Volatile Environment")})) << samba.error().toStdString();
    testsupport::DnsmasqServer dns;
    ASSERT_TRUE(dns.start("127.0.0.1 testws.test\n")) << dns.error().toStdString();
    configure(QStringLiteral("Lookup=dns\nDnsServers=%1\nRegistryAuthFile=%2")
                  .arg(dns.endpoint(), samba.authFile(QString::fromLatin1(SambaServer::Password))));

    const common::ShdLogon named =
        logonAt(QStringLiteral("127.0.0.1"), QStringLiteral("root"), QString(), samba.rootSid());
    EXPECT_EQ(probe(named), present);
    EXPECT_EQ(named->workstation(), QStringLiteral("TESTWS"));
    EXPECT_TRUE(log.text().contains(QStringLiteral("RegConnectRegistry: TESTWS (127.0.0.1)")));

    const common::ShdLogon unnamed = logonAt(QStringLiteral("127.0.0.9"), QStringLiteral("root"));
    EXPECT_EQ(probe(unnamed), present);
    EXPECT_TRUE(unnamed->workstation().isEmpty());
    EXPECT_TRUE(log.text().contains(QStringLiteral(
        "dc: Unable to find computer name for root (127.0.0.9) so connection to registry is impossible")));
}

// Tools that are missing, hang or report a failure other than a missing key: no logoff.
TEST_F(RegisterProbeTest, ToolFailuresAreRegistryErrors)
{
    log.instance().writeFile(QStringLiteral("auth"), "username = ssoagent\npassword = x\ndomain = TESTWS\n");
    configure(QStringLiteral("RegistryAuthFile=%1").arg(log.instance().filePath(QStringLiteral("auth"))));
    const common::ShdLogon logon = logonAt(QStringLiteral("127.0.0.3"), QStringLiteral("root"), Workstation,
                                           QStringLiteral("S-1-5-21-1-2-3-1000"));

    RemoteRegistry::setToolsForTest(QStringLiteral("/nonexistent/net"), QStringLiteral("/nonexistent/rpcclient"));
    EXPECT_EQ(probe(logon), registryError);
    EXPECT_TRUE(log.text().contains(QStringLiteral("unable to connect to registry: /nonexistent/net: ")));

    // A server that takes the connection and never answers.
    RemoteRegistry::setToolsForTest(QStringLiteral("net"), QStringLiteral("rpcclient"));
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress(QStringLiteral("127.0.0.3")), 445));
    RegisterProbe::setTimeLimitForTest(500);
    EXPECT_EQ(probe(logon), registryError);
    EXPECT_TRUE(log.text().contains(QStringLiteral(
        "unable to connect to registry: net: no answer within 500 ms: Connection timed out (error: 110)")));

    // A stand-in for net that is refused the key.
    log.instance().writeFile(QStringLiteral("denied-net"),
                             "#!/bin/sh\necho 'registry_openkey failed: NT_STATUS_ACCESS_DENIED'\nexit 255\n");
    QFile::setPermissions(log.instance().filePath(QStringLiteral("denied-net")), QFile::ReadOwner | QFile::ExeOwner);
    RemoteRegistry::setToolsForTest(log.instance().filePath(QStringLiteral("denied-net")), QStringLiteral("rpcclient"));
    EXPECT_EQ(probe(logon), registryError);
    EXPECT_TRUE(log.text().contains(QStringLiteral("dc: unable to open registry key: NT_STATUS_ACCESS_DENIED "
                                                   "(error: 255) for TESTWS (127.0.0.3) sid: S-1-5-21-1-2-3-1000")));
}

TEST(RemoteRegistryTest, ToolOutputs)
{
    using Outcome = RemoteRegistry::Outcome;
    const struct
    {
        int status;
        const char *output;
        Outcome outcome;
        const char *reason;
    } keys[] = {
        {0, "", Outcome::Found, ""},
        {255, "registry_openkey failed: NT_STATUS_NO_SUCH_DEVICE\n", Outcome::NotFound,
         "NT_STATUS_NO_SUCH_DEVICE (error: 255)"},
        {255, "registry_openkey failed: NT_STATUS_OBJECT_NAME_NOT_FOUND\n", Outcome::NotFound,
         "NT_STATUS_OBJECT_NAME_NOT_FOUND (error: 255)"},
        {255, "registry_openkey failed: NT_STATUS_ACCESS_DENIED\n", Outcome::Error,
         "NT_STATUS_ACCESS_DENIED (error: 255)"},
        {255, "registry_openkey failed: NT_STATUS_PIPE_BROKEN\n", Outcome::Error, "NT_STATUS_PIPE_BROKEN (error: 255)"},
        {255, "Could not connect to server 10.1.1.1\nConnection failed: NT_STATUS_IO_TIMEOUT\n", Outcome::ConnectError,
         "NT_STATUS_IO_TIMEOUT (error: 255)"},
        {255, "Could not connect to server TESTWS\n", Outcome::ConnectError,
         "Could not connect to server TESTWS (error: 255)"},
        {1, "ERROR: Unable to open credentials file!\n", Outcome::Error,
         "ERROR: Unable to open credentials file! (error: 1)"},
        {1, "", Outcome::Error, "no output (error: 1)"},
    };
    for (const auto &c : keys) {
        const RemoteRegistry::Answer answer = RemoteRegistry::keyAnswer(c.status, QString::fromLatin1(c.output));
        EXPECT_EQ(answer.outcome, c.outcome) << c.output;
        EXPECT_EQ(answer.reason, QString::fromLatin1(c.reason)) << c.output;
    }
    const struct
    {
        int status;
        const char *output;
        Outcome outcome;
        const char *sid;
    } sids[] = {
        {0, "TESTWS\\root S-1-5-21-207249914-96827975-2078158409-1000 (User: 1)\n", Outcome::Found,
         "S-1-5-21-207249914-96827975-2078158409-1000"},
        {1, "result was NT_STATUS_NONE_MAPPED\n", Outcome::Error, ""},
        {1, "Cannot connect to server.  Error was NT_STATUS_CONNECTION_REFUSED\n", Outcome::ConnectError, ""},
        {0, "garbage\n", Outcome::Error, ""},
    };
    for (const auto &c : sids) {
        const RemoteRegistry::Answer answer = RemoteRegistry::sidAnswer(c.status, QString::fromLatin1(c.output));
        EXPECT_EQ(answer.outcome, c.outcome) << c.output;
        EXPECT_EQ(answer.sid, QString::fromLatin1(c.sid)) << c.output;
    }
}

// Names that would pass for options or break out of the tool's quoting never reach a command line.
TEST(RemoteRegistryTest, UnfitNamesAreRefusedWithoutRunningATool)
{
    RemoteRegistry registry;
    const QHostAddress address(QStringLiteral("127.0.0.1"));
    const std::pair<QString, QString> cases[] = {
        {QStringLiteral("-Afile"), QStringLiteral("CORP\\alice")},
        {QStringLiteral("PC07"), QStringLiteral("CORP\\al\"ice")},
        {QStringLiteral("PC07"), QStringLiteral("CORP\\a;shutdown")},
        {QStringLiteral("PC 07"), QStringLiteral("CORP\\alice")},
    };
    for (const auto &[workstation, account] : cases) {
        std::unique_ptr<RemoteRegistry::Answer> answer;
        registry.lookupSid(workstation, address, account, [&](const RemoteRegistry::Answer &a) {
            answer = std::make_unique<RemoteRegistry::Answer>(a);
        });
        EXPECT_FALSE(registry.isRunning());
        ASSERT_TRUE(QTest::qWaitFor([&] { return answer != nullptr; }, 5000));
        EXPECT_EQ(answer->outcome, RemoteRegistry::Outcome::Error);
    }
    std::unique_ptr<RemoteRegistry::Answer> answer;
    registry.checkUserKey(
        QStringLiteral("PC07"), address, QStringLiteral("S-1-5-21-1 -x"), QStringLiteral("Volatile Environment"),
        [&](const RemoteRegistry::Answer &a) { answer = std::make_unique<RemoteRegistry::Answer>(a); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return answer != nullptr; }, 5000));
    EXPECT_EQ(answer->reason, QStringLiteral("name unfit for a command line (error: 22)"));
}

} // namespace
