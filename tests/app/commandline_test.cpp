// The agent's command line, run as the real executable (see agentprocess.h).
#include "agentprocess.h"

#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <csignal>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/stat.h>

namespace {

using agenttest::Result;

const QByteArray NotInstalled = "The service Ferrowinden SSO Agent could not be installed\n";
const QByteArray CouldNotStart = "The service Ferrowinden SSO Agent could not start\n";

class AgentCommandLine : public agenttest::AgentProcess
{
protected:
    // The log's texts in order, without the time stamps.
    QStringList logTexts() const
    {
        QStringList texts;
        for (const QString &line : log().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
            texts.append(line.mid(line.indexOf(QStringLiteral(": ")) + 2));
        return texts;
    }
    QString unitPath() const { return m_units.filePath(QStringLiteral("ferrowinden-sso-agent.service")); }
    QString unitText() const
    {
        QFile file(unitPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    bool unitHasLine(const QString &line) const { return unitText().split(QLatin1Char('\n')).contains(line); }
    QString controlPath() const { return m_runtime.filePath(QStringLiteral("control")); }
};

TEST_F(AgentCommandLine, HelpPrintsTheUsageWithTheProgramPathAsTyped)
{
    for (const char *option : {"-h", "-help"}) {
        const Result result = run({QString::fromLatin1(option)});
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_TRUE(result.out.startsWith("\n" + m_exe.toLatin1() + " -[i|u|e|t|p|r|c|v|h]\n"));
        EXPECT_TRUE(result.out.contains("\t-c(ommand) num\t: Send command code num to the service.\n"));
        EXPECT_TRUE(result.out.endsWith("\tNo arguments\t: Start the service.\n"));
    }
}

TEST_F(AgentCommandLine, InstallWritesTheUnitOnceAndUninstallRemovesIt)
{
    Result result = run({QStringLiteral("-uninstall")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "The service Ferrowinden SSO Agent is not installed\n");

    const QString exe = QFileInfo(m_exe).canonicalFilePath();
    result = run({QStringLiteral("-i")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "The service Ferrowinden SSO Agent has been installed under: " + exe.toLatin1() + "\n");
    for (const QString &expected :
         {QStringLiteral("ExecStart=\"%1\"").arg(exe), QStringLiteral("User=root"),
          QStringLiteral("Restart=on-failure"),
          QStringLiteral("Description=Survey Active Directory events and forward authentications to Ferrowinden "
                         "appliances (3.0.2)")})
        EXPECT_TRUE(unitHasLine(expected)) << expected.toStdString() << "\n" << unitText().toStdString();
    EXPECT_EQ(QDir(m_units.path()).entryList(QDir::Files | QDir::Hidden).size(), 1) << "temporary file left";

    const QString before = unitText();
    result = run({QStringLiteral("-install"), QStringLiteral("nobody")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "The service Ferrowinden SSO Agent is already installed\n");
    EXPECT_EQ(unitText(), before);

    result = run({QStringLiteral("-u")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "The service Ferrowinden SSO Agent has been uninstalled.\n");
    EXPECT_FALSE(QFileInfo::exists(unitPath()));

    // The description follows a French locale.
    QProcessEnvironment french = m_env;
    french.insert(QStringLiteral("LC_ALL"), QStringLiteral("fr_FR.UTF-8"));
    ASSERT_EQ(run({QStringLiteral("-i")}, french).exitCode, 0);
    EXPECT_TRUE(unitHasLine(QStringLiteral("Description=Sonde les évenements Active Directory et transmet les "
                                           "requetes d'authentifications aux firewalls Ferrowinden (3.0.2)")))
        << unitText().toStdString();
}

// The account rules themselves are unitfile_test's; here: the password is
// dropped, and a refused account leaves no unit behind.
TEST_F(AgentCommandLine, InstallAccounts)
{
    const struct
    {
        QStringList arguments;
        const char *user; // nullptr: refused
    } cases[] = {
        {{"-i", ".\\LocalSystem"}, "root"},
        {{"-i", "nobody", "password"}, "nobody"},
        {{"-i", "nobody\nExecStartPre=/bin/sh -c id"}, nullptr},
        {{"-i", "nosuchuser_sso_test"}, nullptr},
    };
    for (const auto &c : cases) {
        const std::string what = c.arguments.join(QLatin1Char(' ')).toStdString();
        const Result result = run(c.arguments);
        EXPECT_EQ(result.exitCode, c.user ? 0 : 255) << what;
        if (c.user) {
            EXPECT_TRUE(unitHasLine(QStringLiteral("User=") + QLatin1String(c.user))) << what;
            EXPECT_FALSE(unitText().contains(QStringLiteral("password")));
            // The install folder is root's: an account hears how to fix that, root hears nothing.
            const QByteArray folder = QFileInfo(m_exe).canonicalPath().toLocal8Bit();
            const QByteArray warning = QByteArray("Warning: the service runs as ") + c.user + ", who cannot write " +
                                       folder + ", " + folder + "/config.ini.\n";
            EXPECT_EQ(result.err.startsWith(warning), qstrcmp(c.user, "root") != 0) << result.err.toStdString();
            EXPECT_EQ(result.err.endsWith("\n  chown nobody: " + folder + " " + folder + "/config.ini\n"),
                      qstrcmp(c.user, "root") != 0)
                << result.err.toStdString();
            ASSERT_EQ(run({QStringLiteral("-u")}).exitCode, 0);
        } else {
            EXPECT_TRUE(result.err.endsWith(NotInstalled)) << result.err.toStdString();
            EXPECT_TRUE(QDir(m_units.path()).isEmpty()) << what;
        }
    }
}

TEST_F(AgentCommandLine, InstallIntoAnUnwritableUnitFolderFailsWithoutTrace)
{
    QProcessEnvironment environment = m_env;
    // A plain file where the folder should be: root cannot write there either.
    const QString blocker = m_units.filePath(QStringLiteral("notafolder"));
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    for (const QString &folder : {blocker, m_units.filePath(QStringLiteral("missing"))}) {
        environment.insert(QStringLiteral("SSO_AGENT_UNIT_DIR"), folder);
        const Result result = run({QStringLiteral("-i")}, environment);
        EXPECT_EQ(result.exitCode, 255);
        EXPECT_TRUE(result.err.endsWith(NotInstalled));
    }
    EXPECT_EQ(QFileInfo(blocker).size(), 0);
    EXPECT_FALSE(QFileInfo::exists(m_units.filePath(QStringLiteral("missing"))));
}

TEST_F(AgentCommandLine, OutsideTheServiceManagerTheServiceCouldNotStart)
{
    QFile::remove(m_instance.filePath(QStringLiteral("config.ini")));
    // Options are case-sensitive: "-I" and "-Help" are no options and take the service path.
    for (const QStringList &arguments :
         {QStringList{}, QStringList{"-I"}, QStringList{"-Help"}, QStringList{"--install"}, QStringList{"-x"}}) {
        const Result result = run(arguments);
        EXPECT_EQ(result.exitCode, 252) << arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_EQ(result.err, CouldNotStart);
    }
    EXPECT_FALSE(QFileInfo::exists(unitPath()));
    EXPECT_FALSE(QFileInfo::exists(m_instance.filePath(QStringLiteral("config.ini"))));
}

TEST_F(AgentCommandLine, ServiceInstallRunPauseResumeCommandStopUninstall)
{
    ASSERT_EQ(run({QStringLiteral("-i")}).exitCode, 0);
    EXPECT_EQ(run({QStringLiteral("-v")}).out,
              "The service\n\tFerrowinden SSO Agent\n\t" + m_exe.toLatin1() + "\n\nis installed and not running\n\n");
    // Without the service: stopping warns, pause, resume and commands fail silently.
    const Result early = run({QStringLiteral("-terminate")});
    EXPECT_EQ(early.exitCode, 0);
    EXPECT_TRUE(early.err.contains("stopping") && early.err.contains("The service could not be stopped."));
    for (const char *option : {"-p", "-r", "-c"}) {
        const Result silent = run({QString::fromLatin1(option)});
        EXPECT_EQ(silent.exitCode, 0) << option;
        EXPECT_TRUE(silent.err.isEmpty() && silent.out.isEmpty()) << option;
    }

    testsupport::DatagramListener notify(socketPath("notify"));
    ASSERT_TRUE(notify.isValid());
    QProcess *service = startService(notify);
    EXPECT_FALSE(notify.waitFor("STATUS=start pending", 15000).isEmpty());
    ASSERT_FALSE(notify.waitFor("READY=1", 15000).isEmpty());
    EXPECT_TRUE(waitForLog(QStringLiteral("Ferrowinden SSO Agent 3.0 started")));
    EXPECT_TRUE(run({QStringLiteral("-version")}).out.endsWith("is installed and running\n\n"));

    EXPECT_EQ(run({QStringLiteral("-p")}).exitCode, 0);
    EXPECT_FALSE(notify.waitFor("STATUS=pause pending", 5000).isEmpty());
    EXPECT_FALSE(notify.waitFor("STATUS=paused", 5000).isEmpty());
    EXPECT_EQ(run({QStringLiteral("-pause")}).exitCode, 0); // already paused: nothing happens
    EXPECT_EQ(run({QStringLiteral("-r")}).exitCode, 0);
    EXPECT_FALSE(notify.waitFor("STATUS=continue pending", 5000).isEmpty());
    EXPECT_FALSE(notify.waitFor("STATUS=running", 5000).isEmpty());
    EXPECT_EQ(run({QStringLiteral("-c"), QStringLiteral("5")}).exitCode, 0);
    EXPECT_EQ(service->state(), QProcess::Running);

    const Result stop = run({QStringLiteral("-t")});
    EXPECT_EQ(stop.exitCode, 0);
    EXPECT_TRUE(stop.err.isEmpty()) << stop.err.toStdString();
    EXPECT_FALSE(notify.waitFor("STOPPING=1", 5000).isEmpty());
    EXPECT_EQ(finish(service), 0);
    EXPECT_FALSE(QFileInfo::exists(controlPath()));
    EXPECT_EQ(logTexts(), (QStringList{"Ferrowinden SSO Agent 3.0.2 2022-01-07 16:05 loaded",
                                       "Ferrowinden SSO Agent 3.0 starting...",
                                       "Warning: the pre-shared key (SSLKey) is the default \"nil key\", which anyone "
                                       "can use to connect as a firewall: set your own with -k",
                                       "Ferrowinden SSO Agent 3.0 started", "Ferrowinden SSO Agent 3.0  pausing...",
                                       "Ferrowinden SSO Agent 3.0  paused.", "Ferrowinden SSO Agent 3.0 resuming...",
                                       "Ferrowinden SSO Agent 3.0 resumed", "Ferrowinden SSO Agent 3.0 stopping...",
                                       "Ferrowinden SSO Agent 3.0 stopped"}));
    EXPECT_TRUE(run({QStringLiteral("-v")}).out.endsWith("is installed and not running\n\n"));
}

TEST_F(AgentCommandLine, CommandCodesBecomeUserControls)
{
    testsupport::FakeControlServer server(controlPath(), [](const QByteArray &) { return QByteArray("ok running"); });
    ASSERT_TRUE(server.isListening());
    const struct
    {
        QStringList arguments;
        const char *control; // nullptr: nothing is sent
    } cases[] = {
        {{"-c", "5"}, "control 133"},    {{"-command", "0"}, "control 128"},
        {{"-c", "127"}, "control 255"},  {{"-c"}, "control 128"},
        {{"-c", "five"}, "control 128"}, {{"-c", "200"}, nullptr},
        {{"-c", "128"}, nullptr},        {{"-c", "-5"}, nullptr},
    };
    int expected = 0;
    for (const auto &c : cases) {
        EXPECT_EQ(run(c.arguments).exitCode, 0);
        QList<QByteArray> controls = server.requests();
        controls.removeAll("interrogate");
        expected += c.control ? 1 : 0;
        ASSERT_EQ(controls.size(), expected) << c.arguments.join(QLatin1Char(' ')).toStdString();
        if (c.control) {
            EXPECT_EQ(controls.last(), QByteArray(c.control));
        }
    }
}

TEST_F(AgentCommandLine, StaleControlSocketIsReplacedAndASecondInstanceRefused)
{
    ASSERT_TRUE(testsupport::leaveStaleSocket(controlPath()));
    testsupport::DatagramListener notify(socketPath("notify"));
    testsupport::DatagramListener syslog(socketPath("syslog"));
    QProcess *first = startService(notify);
    ASSERT_FALSE(notify.waitFor("READY=1", 15000).isEmpty());

    testsupport::DatagramListener secondNotify(socketPath("notify2"));
    QProcess *second = startService(secondNotify);
    EXPECT_EQ(finish(second), 252);
    EXPECT_TRUE(second->readAllStandardError().endsWith(CouldNotStart));
    const QByteArray entry = syslog.waitFor("The Service failed to start [", 5000);
    EXPECT_TRUE(entry.startsWith("<27>")) << entry.toStdString(); // daemon facility, error
    EXPECT_TRUE(entry.contains("Ferrowinden SSO Agent[")) << entry.toStdString();
    EXPECT_TRUE(entry.contains("another instance is running")) << entry.toStdString();
    EXPECT_TRUE(secondNotify.waitFor("", 200).isEmpty()) << "the refused instance must not talk to systemd";

    // SIGTERM is a stop request like -t.
    EXPECT_EQ(first->state(), QProcess::Running);
    ASSERT_EQ(::kill(pid_t(first->processId()), SIGTERM), 0);
    EXPECT_FALSE(notify.waitFor("STOPPING=1", 5000).isEmpty());
    EXPECT_EQ(finish(first), 0);
    EXPECT_EQ(log().count(QStringLiteral("starting...")), 1);
    EXPECT_TRUE(log().contains(QStringLiteral("Ferrowinden SSO Agent 3.0 stopping...\r\n")));
    EXPECT_TRUE(log().endsWith(QStringLiteral("Ferrowinden SSO Agent 3.0 stopped\r\n")));
    EXPECT_FALSE(QFileInfo::exists(controlPath()));
}

// A start that cannot go on exits non-zero (so that systemd sees a failure
// and restarts the service) and says why in the log and in systemd's status.
TEST_F(AgentCommandLine, FailedStartsExitNonZeroAndSayWhy)
{
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::Any, 0));
    const QByteArray unwritable =
        "Unable to start service. config.ini file is not writable. Please check directory rights.";
    const QString config = m_instance.filePath(QStringLiteral("config.ini"));
    const struct
    {
        const char *what;
        QByteArray port; // empty: config.ini is made unwritable instead
        bool immutable;
        QByteArray reason;
    } cases[] = {
        {"config.ini is a folder", "", false, unwritable},
        {"config.ini is immutable", "1", true, unwritable},
        {"port in use", QByteArray::number(occupant.serverPort()), false,
         "Unable to listen on port " + QByteArray::number(occupant.serverPort()) + " (error: Address already in use)"},
        {"Port 99999", "99999", false, "Unable to listen on port 99999 (error: Port must be a number from 1 to 65535)"},
        {"Port -1", "-1", false, "Unable to listen on port -1 (error: Port must be a number from 1 to 65535)"},
        {"Port 0", "0", false, "Unable to listen on port 0 (error: Port must be a number from 1 to 65535)"},
        {"Port not a number", "13o1", false,
         "Unable to listen on port 0 (error: Port must be a number from 1 to 65535)"},
    };
    int round = 0;
    for (const auto &c : cases) {
        QFile::remove(m_instance.filePath(QStringLiteral("log/ferrowinden-sso-agent.log")));
        QDir(config).removeRecursively();
        QFile::remove(config);
        if (c.port.isEmpty())
            ASSERT_TRUE(QDir().mkpath(config));
        else
            m_instance.writeFile(QStringLiteral("config.ini"), "[WebServer]\nPort=" + c.port + "\nSSLKey=k\n");
        if (c.immutable && QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), config}) != 0) {
            std::cerr << "skipped \"" << c.what << "\": chattr +i is not supported here\n";
            continue;
        }
        ++round;
        testsupport::DatagramListener notify(socketPath(("notify" + QByteArray::number(round)).constData()));
        testsupport::DatagramListener syslog(socketPath(("syslog" + QByteArray::number(round)).constData()));
        QProcessEnvironment environment = m_env;
        environment.insert(QStringLiteral("NOTIFY_SOCKET"), notify.path());
        environment.insert(QStringLiteral("SSO_AGENT_SYSLOG_SOCKET"), syslog.path());
        QProcess *service = start({}, environment);
        EXPECT_EQ(finish(service), 1) << c.what;
        if (c.immutable)
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), config});
        EXPECT_TRUE(log().contains(QString::fromUtf8(c.reason))) << c.what << "\n" << log().toStdString();
        EXPECT_FALSE(log().contains(QStringLiteral("3.0 started"))) << c.what;
        EXPECT_FALSE(notify.waitFor("STATUS=" + c.reason, 5000).isEmpty()) << c.what;
        EXPECT_FALSE(notify.waitFor("STATUS=failed: " + c.reason + "\nEXIT_STATUS=1", 5000).isEmpty()) << c.what;
        if (c.reason == unwritable) {
            const QByteArray entry = syslog.waitFor("config.ini", 5000);
            EXPECT_TRUE(entry.startsWith("<27>")) << c.what;
            EXPECT_TRUE(entry.endsWith(": " + unwritable)) << entry.toStdString();
        }
    }
    // The console run fails the same way.
    m_instance.writeFile(QStringLiteral("config.ini"), "[WebServer]\nPort=99999\n");
    EXPECT_EQ(finish(start({QStringLiteral("-e")})), 1);
}

// The console run (-e): the verbose level decides what the start writes,
// SIGINT and SIGTERM stop it cleanly, "-k" without a value changes nothing.
TEST_F(AgentCommandLine, ExecRunsUntilInterruptedOrTerminated)
{
    const struct
    {
        const char *level;
        QStringList arguments;
        int signalNumber;
        bool starting;
        bool configDump;
    } cases[] = {
        {"high", {"-e"}, SIGINT, true, true},
        {"low", {"-e"}, SIGINT, true, false},
        {"low", {"-e", "-k"}, SIGTERM, true, false},
        {"off", {"-exec"}, SIGINT, false, false},
    };
    for (const auto &c : cases) {
        QFile::remove(m_instance.filePath(QStringLiteral("log/ferrowinden-sso-agent.log")));
        m_instance.writeFile(QStringLiteral("config.ini"), "[WebServer]\nPort=" + QByteArray::number(m_port) +
                                                               "\nSSLKey=kept\n[Global]\nVerboseLevel=" + c.level +
                                                               "\n");
        QProcess *agent = start(c.arguments);
        // "loaded" is written before the level applies, whatever it is.
        ASSERT_TRUE(waitForLog(c.starting ? QStringLiteral("3.0 started") : QStringLiteral("16:05 loaded"))) << c.level;
        ASSERT_EQ(::kill(pid_t(agent->processId()), c.signalNumber), 0);
        EXPECT_EQ(finish(agent), 0);
        EXPECT_EQ(log().contains(QStringLiteral("3.0 starting...")), c.starting) << c.level;
        EXPECT_EQ(log().contains(QStringLiteral(":  config:\r\n")), c.configDump) << c.level;
        // Stopped like the service, with the same lines; the dump shows no key.
        if (c.starting) {
            EXPECT_EQ(logTexts().mid(logTexts().size() - 2),
                      (QStringList{"Ferrowinden SSO Agent 3.0 stopping...", "Ferrowinden SSO Agent 3.0 stopped"}))
                << c.level << "\n"
                << log().toStdString();
            EXPECT_TRUE(log().contains(QStringLiteral("Warning: the pre-shared key (SSLKey) is shorter than 16")));
        }
        EXPECT_EQ(log().contains(QStringLiteral(" sslkey: (set)")), c.configDump) << c.level;
        EXPECT_FALSE(log().contains(QStringLiteral("sslkey: kept"))) << c.level;
        EXPECT_FALSE(log().contains(QStringLiteral("ssl key"))) << c.level;
        EXPECT_TRUE(m_instance.readFile(QStringLiteral("config.ini")).contains("SSLKey=kept"));
    }
    // The console run serves no control socket and leaves the unit folder alone.
    EXPECT_TRUE(QDir(m_runtime.path()).isEmpty());
    EXPECT_TRUE(QDir(m_units.path()).isEmpty());
    EXPECT_TRUE(
        QFileInfo(m_instance.filePath(QStringLiteral("tmp/Ferrowinden_SSO_Agent_3.0.2_2022-01-07_1605"))).isDir());
}

TEST_F(AgentCommandLine, ExecKeyOptionStoresTheKeyAndDoesNotRun)
{
    const Result result = run({QStringLiteral("-exec"), QStringLiteral("-k"), QStringLiteral("s3cr=t;key")});
    EXPECT_EQ(result.exitCode, 0);
    const QString config = QString::fromUtf8(m_instance.readFile(QStringLiteral("config.ini")));
    EXPECT_TRUE(config.contains(QStringLiteral("SSLKey=\"s3cr=t;key\"")) ||
                config.contains(QStringLiteral("SSLKey=s3cr=t;key")))
        << config.toStdString();
    EXPECT_EQ(logTexts(), (QStringList{"Web server ssl key set from command line.",
                                       "Ferrowinden SSO Agent 3.0 stopping...", "Ferrowinden SSO Agent 3.0 stopped"}));
    // The key is for the owner only; so are the logs.
    const struct
    {
        const char *path;
        mode_t mode;
    } modes[] = {{"config.ini", 0600}, {"log", 0750}, {"log/ferrowinden-sso-agent.log", 0640}};
    for (const auto &m : modes) {
        struct stat st;
        ASSERT_EQ(::stat(QFile::encodeName(m_instance.filePath(QString::fromLatin1(m.path))).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, m.mode) << m.path;
    }
}

} // namespace
