// The agent's command line, run as the real executable copied into a
// temporary install folder: unit files go to a temporary unit folder, the
// control socket to a temporary runtime folder, systemd's notifications and
// syslog to sockets of the test.
#include "support/fakecontrolserver.h"
#include "support/tempinstance.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const Name = "Ferrowinden SSO Agent";
const int ProcessTimeoutMs = 30000;

struct Result
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

const QByteArray PrivatePortConfig("[WebServer]\nPort=0\n");

class AgentCommandLine : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_units.isValid() && m_runtime.isValid() && m_sockets.isValid());
        m_exe = m_instance.copyExecutable(testsupport::binaryPath(QStringLiteral("app/ferrowinden-sso-agent")));
        QDir().mkpath(m_instance.filePath(QStringLiteral("tmp")));
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.remove(QStringLiteral("NOTIFY_SOCKET"));
        m_env.remove(QStringLiteral("LANG"));
        m_env.remove(QStringLiteral("LANGUAGE"));
        m_env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C"));
        m_env.insert(QStringLiteral("SSO_AGENT_UNIT_DIR"), m_units.path());
        m_env.insert(QStringLiteral("SSO_AGENT_RUNTIME_DIR"), m_runtime.path());
        m_env.insert(QStringLiteral("SSO_AGENT_SYSLOG_SOCKET"), m_sockets.filePath(QStringLiteral("syslog")));
        m_env.insert(QStringLiteral("TMPDIR"), m_instance.filePath(QStringLiteral("tmp")));
        // The agent listens once started: any free port, never the default one
        // that a real agent or another test may hold.
        m_instance.writeFile(QStringLiteral("config.ini"), PrivatePortConfig);
    }

    void TearDown() override
    {
        for (auto &process : m_started) {
            if (process->state() != QProcess::NotRunning) {
                process->kill();
                process->waitForFinished(ProcessTimeoutMs);
            }
        }
    }

    Result run(const QStringList &arguments, QProcessEnvironment environment = QProcessEnvironment())
    {
        QProcess process;
        process.setProcessEnvironment(environment.isEmpty() ? m_env : environment);
        process.setWorkingDirectory(m_instance.path());
        process.start(m_exe, arguments);
        Result result;
        if (!process.waitForFinished(ProcessTimeoutMs) || process.exitStatus() != QProcess::NormalExit) {
            process.kill();
            process.waitForFinished();
            ADD_FAILURE() << "agent " << arguments.join(QLatin1Char(' ')).toStdString() << " did not finish";
            return result;
        }
        result.exitCode = process.exitCode();
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        return result;
    }

    QProcess *start(const QStringList &arguments, const QProcessEnvironment &environment)
    {
        m_started.push_back(std::make_unique<QProcess>());
        QProcess *process = m_started.back().get();
        process->setProcessEnvironment(environment);
        process->setWorkingDirectory(m_instance.path());
        process->start(m_exe, arguments);
        EXPECT_TRUE(process->waitForStarted(ProcessTimeoutMs));
        return process;
    }

    // As systemd starts it: no option, NOTIFY_SOCKET set.
    QProcess *startService(const testsupport::DatagramListener &notify)
    {
        QProcessEnvironment environment = m_env;
        environment.insert(QStringLiteral("NOTIFY_SOCKET"), notify.path());
        return start({}, environment);
    }

    int finish(QProcess *process)
    {
        EXPECT_TRUE(process->waitForFinished(ProcessTimeoutMs));
        EXPECT_EQ(process->exitStatus(), QProcess::NormalExit) << process->readAllStandardError().toStdString();
        return process->exitCode();
    }

    QString log() const
    {
        return QString::fromUtf8(m_instance.readFile(QStringLiteral("log/ferrowinden-sso-agent.log")));
    }

    bool waitForLog(const QString &text, int timeoutMs = 15000) const
    {
        QElapsedTimer clock;
        clock.start();
        while (!log().contains(text)) {
            if (clock.elapsed() > timeoutMs)
                return false;
            QThread::msleep(20);
        }
        return true;
    }

    // The log's texts in order, without the time stamps.
    QStringList logTexts() const
    {
        QStringList texts;
        const QStringList lines = log().split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        for (const QString &line : lines)
            texts.append(line.mid(line.indexOf(QStringLiteral(": ")) + 2));
        return texts;
    }

    QString unitPath() const { return m_units.filePath(QStringLiteral("ferrowinden-sso-agent.service")); }
    QString unitText() const
    {
        QFile file(unitPath());
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    QString socketPath(const char *name) const { return m_sockets.filePath(QString::fromLatin1(name)); }
    QString controlPath() const { return m_runtime.filePath(QStringLiteral("control")); }

    testsupport::TempInstance m_instance;
    QTemporaryDir m_units;
    QTemporaryDir m_runtime;
    QTemporaryDir m_sockets;
    QString m_exe;
    QProcessEnvironment m_env;
    std::vector<std::unique_ptr<QProcess>> m_started;
};

// ---- -h / -help ----------------------------------------------------------------------------

using HelpOption = AgentCommandLine;

TEST_F(HelpOption, PrintsTheUsageWithTheProgramPathAsTyped)
{
    for (const char *option : {"-h", "-help"}) {
        const Result result = run({QString::fromLatin1(option)});
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_TRUE(result.out.startsWith("\n" + m_exe.toLatin1() + " -[i|u|e|t|p|r|c|v|h]\n"));
        EXPECT_TRUE(result.out.contains("\t-c(ommand) num\t: Send command code num to the service.\n"));
        EXPECT_TRUE(result.out.endsWith("\tNo arguments\t: Start the service.\n"));
    }
}

// ---- -i / -install -------------------------------------------------------------------------

using InstallOption = AgentCommandLine;

TEST_F(InstallOption, WritesTheUnitOnceAndKeepsItWhenAlreadyInstalled)
{
    Result result = run({QStringLiteral("-i")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "The service Ferrowinden SSO Agent has been installed under: " +
                              QFileInfo(m_exe).canonicalFilePath().toLatin1() + "\n");
    const QStringList lines = unitText().split(QLatin1Char('\n'));
    for (const QString &expected :
         {QStringLiteral("Type=notify"), QStringLiteral("ExecStart=\"%1\"").arg(QFileInfo(m_exe).canonicalFilePath()),
          QStringLiteral("User=root"),
          QStringLiteral("Description=Survey Active Directory events and forward authentications to Ferrowinden "
                         "appliances (3.0.2)"),
          QStringLiteral("WantedBy=multi-user.target")})
        EXPECT_TRUE(lines.contains(expected)) << expected.toStdString() << "\n" << unitText().toStdString();
    EXPECT_EQ(QDir(m_units.path()).entryList(QDir::Files | QDir::Hidden).size(), 1) << "temporary file left";

    const QString before = unitText();
    result = run({QStringLiteral("-install"), QStringLiteral("nobody")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "The service Ferrowinden SSO Agent is already installed\n");
    EXPECT_EQ(unitText(), before);
}

TEST_F(InstallOption, AccountRules)
{
    const struct
    {
        QStringList arguments;
        const char *user;
    } cases[] = {
        {{"-i", "LocalSystem"}, "root"},
        {{"-i", ".\\LocalSystem"}, "root"},
        {{"-i", "nobody", "password"}, "nobody"},
        {{"-i", ".\\nobody"}, "nobody"},
    };
    for (const auto &c : cases) {
        const Result result = run(c.arguments);
        EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
        EXPECT_TRUE(unitText().split(QLatin1Char('\n')).contains(QStringLiteral("User=") + QLatin1String(c.user)))
            << c.arguments.join(QLatin1Char(' ')).toStdString() << "\n"
            << unitText().toStdString();
        EXPECT_FALSE(unitText().contains(QStringLiteral("password")));
        ASSERT_EQ(run({QStringLiteral("-u")}).exitCode, 0);
    }
}

TEST_F(InstallOption, RefusesAccountsThatCouldInjectIntoTheUnit)
{
    for (const char *account : {"nobody\nExecStartPre=/bin/sh -c id", "a=b", "no\"body", "nosuchuser_sso_test"}) {
        const Result result = run({QStringLiteral("-i"), QString::fromUtf8(account)});
        EXPECT_EQ(result.exitCode, 255) << account;
        EXPECT_TRUE(result.err.endsWith("The service Ferrowinden SSO Agent could not be installed\n"))
            << result.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(unitPath())) << account;
        EXPECT_TRUE(QDir(m_units.path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
    }
}

TEST_F(InstallOption, UnwritableUnitFolderFailsWithoutTrace)
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
        EXPECT_TRUE(result.err.endsWith("The service Ferrowinden SSO Agent could not be installed\n"));
    }
    EXPECT_EQ(QFileInfo(blocker).size(), 0);
    EXPECT_FALSE(QFileInfo::exists(m_units.filePath(QStringLiteral("missing"))));
}

TEST_F(InstallOption, DescriptionFollowsAFrenchLocale)
{
    QProcessEnvironment environment = m_env;
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("fr_FR.UTF-8"));
    ASSERT_EQ(run({QStringLiteral("-i")}, environment).exitCode, 0);
    EXPECT_TRUE(
        unitText().contains(QStringLiteral("Description=Sonde les évenements Active Directory et transmet les requetes "
                                           "d'authentifications aux firewalls Ferrowinden (3.0.2)\n")))
        << unitText().toStdString();
}

// ---- -u / -uninstall -----------------------------------------------------------------------

using UninstallOption = AgentCommandLine;

TEST_F(UninstallOption, RemovesAnInstalledUnitAndSaysSoWhenThereIsNone)
{
    Result result = run({QStringLiteral("-uninstall")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "The service Ferrowinden SSO Agent is not installed\n");

    ASSERT_EQ(run({QStringLiteral("-i")}).exitCode, 0);
    result = run({QStringLiteral("-u")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, "The service Ferrowinden SSO Agent has been uninstalled.\n");
    EXPECT_FALSE(QFileInfo::exists(unitPath()));
}

// ---- no option, unknown options ------------------------------------------------------------

using ServicePath = AgentCommandLine;

TEST_F(ServicePath, OutsideTheServiceManagerCouldNotStart)
{
    QFile::remove(m_instance.filePath(QStringLiteral("config.ini")));
    // Options are case-sensitive: "-I" and "-Help" are no options and take the service path.
    for (const QStringList &arguments :
         {QStringList{}, QStringList{"-I"}, QStringList{"-Help"}, QStringList{"--install"}, QStringList{"-x"}}) {
        const Result result = run(arguments);
        EXPECT_EQ(result.exitCode, 252) << arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_EQ(result.err, "The service Ferrowinden SSO Agent could not start\n");
    }
    EXPECT_FALSE(QFileInfo::exists(unitPath()));
    EXPECT_FALSE(QFileInfo::exists(m_instance.filePath(QStringLiteral("config.ini"))));
}

// ---- the service under the service manager: -v, -p, -r, -c, -t ----------------------------

using ServiceControl = AgentCommandLine;

TEST_F(ServiceControl, InstallRunPauseResumeCommandStopUninstall)
{
    ASSERT_EQ(run({QStringLiteral("-i")}).exitCode, 0);
    Result result = run({QStringLiteral("-v")});
    EXPECT_EQ(result.out,
              "The service\n\tFerrowinden SSO Agent\n\t" + m_exe.toLatin1() + "\n\nis installed and not running\n\n");

    testsupport::DatagramListener notify(socketPath("notify"));
    ASSERT_TRUE(notify.isValid());
    QProcess *service = startService(notify);
    EXPECT_FALSE(notify.waitFor("STATUS=start pending", 15000).isEmpty());
    ASSERT_FALSE(notify.waitFor("READY=1", 15000).isEmpty());
    EXPECT_TRUE(waitForLog(QStringLiteral("Ferrowinden SSO Agent 3.0 started")));

    result = run({QStringLiteral("-version")});
    EXPECT_TRUE(result.out.endsWith("is installed and running\n\n")) << result.out.toStdString();

    EXPECT_EQ(run({QStringLiteral("-p")}).exitCode, 0);
    EXPECT_FALSE(notify.waitFor("STATUS=pause pending", 5000).isEmpty());
    EXPECT_FALSE(notify.waitFor("STATUS=paused", 5000).isEmpty());
    EXPECT_TRUE(log().contains(QStringLiteral("Ferrowinden SSO Agent 3.0  paused.\r\n")));

    EXPECT_EQ(run({QStringLiteral("-pause")}).exitCode, 0); // already paused: nothing happens

    EXPECT_EQ(run({QStringLiteral("-r")}).exitCode, 0);
    EXPECT_FALSE(notify.waitFor("STATUS=continue pending", 5000).isEmpty());
    EXPECT_FALSE(notify.waitFor("STATUS=running", 5000).isEmpty());
    EXPECT_TRUE(log().contains(QStringLiteral("Ferrowinden SSO Agent 3.0 resumed\r\n")));

    EXPECT_EQ(run({QStringLiteral("-c"), QStringLiteral("5")}).exitCode, 0);
    EXPECT_EQ(service->state(), QProcess::Running);

    result = run({QStringLiteral("-t")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(result.err.isEmpty()) << result.err.toStdString();
    EXPECT_FALSE(notify.waitFor("STOPPING=1", 5000).isEmpty());
    EXPECT_EQ(finish(service), 0);
    EXPECT_FALSE(QFileInfo::exists(controlPath()));

    EXPECT_EQ(logTexts(), (QStringList{"Ferrowinden SSO Agent 3.0.2 2022-01-07 16:05 loaded",
                                       "Ferrowinden SSO Agent 3.0 starting...", "Ferrowinden SSO Agent 3.0 started",
                                       "Ferrowinden SSO Agent 3.0  pausing...", "Ferrowinden SSO Agent 3.0  paused.",
                                       "Ferrowinden SSO Agent 3.0 resuming...", "Ferrowinden SSO Agent 3.0 resumed",
                                       "Ferrowinden SSO Agent 3.0 stopping...", "Ferrowinden SSO Agent 3.0 stopped"}));

    result = run({QStringLiteral("-v")});
    EXPECT_TRUE(result.out.endsWith("is installed and not running\n\n"));
    EXPECT_EQ(run({QStringLiteral("-u")}).exitCode, 0);
    EXPECT_FALSE(QFileInfo::exists(unitPath()));
}

TEST_F(ServiceControl, TerminateWithoutARunningServiceWarns)
{
    const Result result = run({QStringLiteral("-terminate")});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_TRUE(result.err.contains("stopping"));
    EXPECT_TRUE(result.err.contains("The service could not be stopped."));
    // Pause, resume and commands fail silently.
    for (const char *option : {"-p", "-r", "-c"}) {
        const Result silent = run({QString::fromLatin1(option)});
        EXPECT_EQ(silent.exitCode, 0) << option;
        EXPECT_TRUE(silent.err.isEmpty() && silent.out.isEmpty()) << option;
    }
}

TEST_F(ServiceControl, CommandCodesBecomeUserControls)
{
    testsupport::FakeControlServer server(controlPath(), [](const QByteArray &request) {
        return request == "interrogate" ? QByteArray("ok running") : QByteArray("ok running");
    });
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
        QList<QByteArray> controls;
        for (const QByteArray &request : server.requests()) {
            if (request != "interrogate")
                controls.append(request);
        }
        if (c.control)
            ++expected;
        ASSERT_EQ(controls.size(), expected) << c.arguments.join(QLatin1Char(' ')).toStdString();
        if (c.control) {
            EXPECT_EQ(controls.last(), QByteArray(c.control));
        }
    }
}

TEST_F(ServiceControl, SigtermIsAStopRequest)
{
    testsupport::DatagramListener notify(socketPath("notify"));
    QProcess *service = startService(notify);
    ASSERT_FALSE(notify.waitFor("READY=1", 15000).isEmpty());
    ASSERT_EQ(::kill(pid_t(service->processId()), SIGTERM), 0);
    EXPECT_FALSE(notify.waitFor("STOPPING=1", 5000).isEmpty());
    EXPECT_EQ(finish(service), 0);
    EXPECT_TRUE(log().contains(QStringLiteral("Ferrowinden SSO Agent 3.0 stopping...\r\n")));
    EXPECT_TRUE(log().endsWith(QStringLiteral("Ferrowinden SSO Agent 3.0 stopped\r\n")));
    EXPECT_FALSE(QFileInfo::exists(controlPath()));
}

TEST_F(ServiceControl, StaleControlSocketIsReplacedAndASecondInstanceRefused)
{
    // What a killed instance leaves behind: a socket file nobody listens on.
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray path = controlPath().toLocal8Bit();
        std::memcpy(address.sun_path, path.constData(), size_t(path.size()));
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        ::close(fd);
    }
    testsupport::DatagramListener notify(socketPath("notify"));
    testsupport::DatagramListener syslog(socketPath("syslog"));
    QProcess *first = startService(notify);
    ASSERT_FALSE(notify.waitFor("READY=1", 15000).isEmpty());

    testsupport::DatagramListener secondNotify(socketPath("notify2"));
    QProcess *second = startService(secondNotify);
    EXPECT_EQ(finish(second), 252);
    EXPECT_TRUE(second->readAllStandardError().endsWith("The service Ferrowinden SSO Agent could not start\n"));
    const QByteArray entry = syslog.waitFor("The Service failed to start [", 5000);
    EXPECT_TRUE(entry.startsWith("<27>")) << entry.toStdString(); // daemon facility, error
    EXPECT_TRUE(entry.contains("Ferrowinden SSO Agent[")) << entry.toStdString();
    EXPECT_TRUE(entry.contains("another instance is running")) << entry.toStdString();
    EXPECT_TRUE(secondNotify.waitFor("", 200).isEmpty()) << "the refused instance must not talk to systemd";

    EXPECT_EQ(first->state(), QProcess::Running);
    EXPECT_EQ(run({QStringLiteral("-t")}).exitCode, 0);
    EXPECT_EQ(finish(first), 0);
    EXPECT_EQ(log().count(QStringLiteral("starting...")), 1);
}

TEST_F(ServiceControl, UnwritableConfigurationStopsTheServiceAndReportsToSyslog)
{
    // A folder named config.ini cannot be written as a file, not even by root.
    QFile::remove(m_instance.filePath(QStringLiteral("config.ini")));
    ASSERT_TRUE(QDir().mkpath(m_instance.filePath(QStringLiteral("config.ini"))));
    testsupport::DatagramListener notify(socketPath("notify"));
    testsupport::DatagramListener syslog(socketPath("syslog"));
    QProcess *service = startService(notify);
    const QByteArray entry = syslog.waitFor("config.ini", 15000);
    EXPECT_TRUE(entry.startsWith("<27>"));
    EXPECT_TRUE(
        entry.endsWith(": Unable to start service. config.ini file is not writable. Please check directory rights."))
        << entry.toStdString();
    EXPECT_EQ(finish(service), 0);
    EXPECT_FALSE(log().contains(QStringLiteral("starting...")));
    EXPECT_TRUE(QFileInfo(m_instance.filePath(QStringLiteral("config.ini"))).isDir());
}

// ---- -e / -exec ----------------------------------------------------------------------------

using ExecOption = AgentCommandLine;

TEST_F(ExecOption, InterruptAndTerminateStopTheConsoleRunCleanly)
{
    for (const int signalNumber : {SIGINT, SIGTERM}) {
        QFile::remove(m_instance.filePath(QStringLiteral("log/ferrowinden-sso-agent.log")));
        QProcess *agent = start({QStringLiteral("-e")}, m_env);
        ASSERT_TRUE(waitForLog(QStringLiteral("Ferrowinden SSO Agent 3.0 started"))) << signalNumber;
        ASSERT_EQ(::kill(pid_t(agent->processId()), signalNumber), 0);
        EXPECT_EQ(finish(agent), 0) << signalNumber;
        EXPECT_TRUE(log().endsWith(QStringLiteral("Ferrowinden SSO Agent 3.0 started\r\n"))) << log().toStdString();
    }
    // The console run serves no control socket and leaves the unit folder alone.
    EXPECT_TRUE(QDir(m_runtime.path()).isEmpty());
    EXPECT_TRUE(QDir(m_units.path()).isEmpty());
    EXPECT_TRUE(
        QFileInfo(m_instance.filePath(QStringLiteral("tmp/Ferrowinden_SSO_Agent_3.0.2_2022-01-07_1605"))).isDir());
}

TEST_F(ExecOption, KeyOptionStoresTheKeyAndDoesNotRun)
{
    const Result result = run({QStringLiteral("-exec"), QStringLiteral("-k"), QStringLiteral("s3cr=t;key")});
    EXPECT_EQ(result.exitCode, 0);
    const QString config = QString::fromUtf8(m_instance.readFile(QStringLiteral("config.ini")));
    EXPECT_TRUE(config.contains(QStringLiteral("SSLKey=\"s3cr=t;key\"")) ||
                config.contains(QStringLiteral("SSLKey=s3cr=t;key")))
        << config.toStdString();
    EXPECT_EQ(logTexts(), (QStringList{"Web server ssl key set from command line.",
                                       "Ferrowinden SSO Agent 3.0 stopping...", "Ferrowinden SSO Agent 3.0 stopped"}));
}

TEST_F(ExecOption, KeyOptionWithoutValueRunsNormally)
{
    m_instance.writeFile(QStringLiteral("config.ini"), PrivatePortConfig + "SSLKey=kept\n");
    QProcess *agent = start({QStringLiteral("-e"), QStringLiteral("-k")}, m_env);
    ASSERT_TRUE(waitForLog(QStringLiteral("Ferrowinden SSO Agent 3.0 started")));
    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGINT), 0);
    EXPECT_EQ(finish(agent), 0);
    EXPECT_FALSE(log().contains(QStringLiteral("ssl key")));
    EXPECT_TRUE(QString::fromUtf8(m_instance.readFile(QStringLiteral("config.ini")))
                    .contains(QStringLiteral("SSLKey=kept")));
}

TEST_F(ExecOption, VerboseLevelDecidesWhatTheStartWrites)
{
    const struct
    {
        const char *level;
        bool starting;
        bool configDump;
    } cases[] = {{"high", true, true}, {"low", true, false}, {"off", false, false}};
    for (const auto &c : cases) {
        QFile::remove(m_instance.filePath(QStringLiteral("log/ferrowinden-sso-agent.log")));
        m_instance.writeFile(QStringLiteral("config.ini"), PrivatePortConfig + "[Global]\nVerboseLevel=" + c.level + "\n");
        QProcess *agent = start({QStringLiteral("-e")}, m_env);
        // "loaded" is written before the level applies, whatever it is.
        ASSERT_TRUE(waitForLog(QStringLiteral("16:05 loaded"))) << c.level;
        if (c.starting) {
            ASSERT_TRUE(waitForLog(QStringLiteral("3.0 started"))) << c.level;
        }
        ASSERT_EQ(::kill(pid_t(agent->processId()), SIGINT), 0);
        EXPECT_EQ(finish(agent), 0);
        EXPECT_EQ(log().contains(QStringLiteral("3.0 starting...")), c.starting) << c.level;
        EXPECT_EQ(log().contains(QStringLiteral(":  config:\r\n")), c.configDump) << c.level;
    }
}

} // namespace
