// Crash reports end to end: the agent executable, copied into a temporary
// install folder, crashes on purpose and leaves a report; its next start
// delivers the report once to a local collector (Python's http.server with a
// handler that checks the form) and keeps the folder within its limits.
#include "app/agentprocess.h"
#include "support/qtprinters.h"

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUuid>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString Version = QStringLiteral("Ferrowinden SSO Agent 3.0.2 2022-01-07 16:05");
const QString DumpFolder = QStringLiteral("tmp/Ferrowinden_SSO_Agent_3.0.2_2022-01-07_1605");
const QRegularExpression
    ReportName(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.dmp$"));

// The crash itself needs the switch that only test builds have (it also
// works under the sanitizers: the agent's handler takes the fatal signals).
#ifdef SSO_CRASH_TEST_HOOK
const bool CanCrash = true;
const char *const NoCrashReason = "";
#else
const bool CanCrash = false;
const char *const NoCrashReason = "the agent was built without CRASH_TEST_HOOK (scripts/test turns it on)";
#endif

// The collector the agent uploads to, on 127.0.0.1. Accepted reports land in
// a folder of their own; refused forms are described there too.
class ReportCollector
{
public:
    explicit ReportCollector(int status = 0)
    {
        m_process.start(QStringLiteral("python3"), {QStringLiteral(CRASH_REPORT_SERVER), QStringLiteral("--version"),
                                                    Version, QStringLiteral("--folder"), m_received.path(),
                                                    QStringLiteral("--status"), QString::number(status)});
        (void)QTest::qWaitFor([&] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; },
                              agenttest::ProcessTimeoutMs);
        const QByteArray line = m_process.readLine().trimmed();
        if (line.startsWith("port "))
            m_port = line.mid(5).toInt();
    }
    ~ReportCollector()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

    bool isListening() const { return m_port > 0; }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/upload").arg(m_port); }
    // Accepted reports as "<n>-<file name>", in the order they came.
    QStringList received() const
    {
        QStringList names = QDir(m_received.path()).entryList({QStringLiteral("*.dmp")}, QDir::Files);
        std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
            return a.section(QLatin1Char('-'), 0, 0).toInt() < b.section(QLatin1Char('-'), 0, 0).toInt();
        });
        return names;
    }
    QStringList rejected() const
    {
        return QDir(m_received.path()).entryList({QStringLiteral("*.rejected")}, QDir::Files);
    }
    QByteArray content(const QString &name) const
    {
        QFile file(QDir(m_received.path()).filePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_received;
    QProcess m_process;
    int m_port = 0;
};

class CrashReports : public agenttest::AgentProcess
{
protected:
    void SetUp() override
    {
        AgentProcess::SetUp();
        for (const char *name : {"http_proxy", "https_proxy", "all_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
            m_env.remove(QString::fromLatin1(name));
        configure(false, QString());
    }

    void configure(bool enabled, const QString &url)
    {
        m_instance.writeFile(QStringLiteral("config.ini"),
                             QStringLiteral("[Global]\nVerboseLevel=high\nDumpEnabled=%1\nDumpUrl=%2\n\n"
                                            "[WebServer]\nPort=%3\n")
                                 .arg(enabled ? QStringLiteral("true") : QStringLiteral("false"), url)
                                 .arg(m_port)
                                 .toUtf8());
    }

    QString folder() const { return m_instance.filePath(DumpFolder); }
    QStringList reports() const
    {
        return QDir(folder()).entryList({QStringLiteral("*.dmp")}, QDir::Files | QDir::System, QDir::Name);
    }
    QByteArray report(const QString &name) const { return m_instance.readFile(DumpFolder + QLatin1Char('/') + name); }
    QStringList checkpoint() const
    {
        QStringList ids = QString::fromUtf8(m_instance.readFile(DumpFolder + QStringLiteral("/checkpoint")))
                              .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        ids.sort();
        return ids;
    }

    // Runs the agent with the crash switch set to mode; the signal that ended it, or 0.
    int crash(const char *mode)
    {
        QProcessEnvironment environment = m_env;
        environment.insert(QStringLiteral("SSO_AGENT_CRASH_FOR_TEST"), QString::fromLatin1(mode));
        std::vector<std::string> strings{m_exe.toStdString(), "-e"};
        const std::size_t firstVariable = strings.size();
        for (const QString &variable : environment.toStringList())
            strings.push_back(variable.toStdString());
        std::vector<char *> argv, envp;
        for (std::size_t i = 0; i < strings.size(); ++i)
            (i < firstVariable ? argv : envp).push_back(&strings[i][0]);
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        const std::string directory = m_instance.path().toStdString();
        const std::string errors = m_instance.filePath(QStringLiteral("stderr.txt")).toStdString();

        const pid_t child = ::fork();
        if (child == 0) {
            // No core file: the report is what is looked at.
            const struct rlimit none = {0, 0};
            ::setrlimit(RLIMIT_CORE, &none);
            const int err = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int null = ::open("/dev/null", O_RDWR);
            if (::chdir(directory.c_str()) != 0 || err < 0 || null < 0)
                ::_exit(126);
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(err, 2);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        int status = 0;
        if (child < 0 || !QTest::qWaitFor([&] { return ::waitpid(child, &status, WNOHANG) == child; },
                                          agenttest::ProcessTimeoutMs)) {
            if (child > 0) {
                ::kill(child, SIGKILL);
                ::waitpid(child, &status, 0);
            }
            ADD_FAILURE() << "the agent did not end with " << mode;
            return -1;
        }
        return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }

    // A report as a crash leaves it: a real crash where the build has the switch, else a planted file.
    QString leaveReport()
    {
        if (CanCrash) {
            EXPECT_EQ(crash("segv"), SIGSEGV);
            const QStringList names = reports();
            return names.size() == 1 ? names.first() : QString();
        }
        return plantReport(QDateTime::currentDateTime());
    }

    QString plantReport(const QDateTime &written, const QString &name = QString())
    {
        const QString id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        const QString file = name.isEmpty() ? id + QStringLiteral(".dmp") : name;
        m_instance.writeFile(DumpFolder + QLatin1Char('/') + file, (Version + QStringLiteral(" crash report\nid: ") +
                                                                    id + QStringLiteral("\nsignal: 11 (SIGSEGV)\n"))
                                                                       .toUtf8());
        QFile planted(folder() + QLatin1Char('/') + file);
        EXPECT_TRUE(planted.open(QIODevice::ReadWrite) &&
                    planted.setFileTime(written, QFileDevice::FileModificationTime));
        QFile::setPermissions(folder(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        return file;
    }

    // One start of the agent until the sender has gone through the folder, then stop.
    void startAndStop()
    {
        const int before = log().count(QStringLiteral(": Crash reports in "));
        QProcess *agent = start({QStringLiteral("-e")});
        EXPECT_TRUE(QTest::qWaitFor([&] { return log().count(QStringLiteral(": Crash reports in ")) > before; },
                                    agenttest::ProcessTimeoutMs))
            << log().toStdString();
        ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
        EXPECT_EQ(finish(agent), 0);
    }
    QString lastSummary() const
    {
        const QString text = log();
        const int at = text.lastIndexOf(QStringLiteral("Crash reports in "));
        return text.mid(at, text.indexOf(QLatin1Char('\n'), at) - at).trimmed();
    }
    QString summary(int sentNow, int sentBefore, int waiting) const
    {
        return QStringLiteral("Crash reports in %1: %2 sent now, %3 sent before, %4 not sent")
            .arg(QDir(folder()).absolutePath())
            .arg(sentNow)
            .arg(sentBefore)
            .arg(waiting);
    }
};

// Each way of dying leaves one report: its sections in order, the process's
// memory map, the thread that faulted; the process still ends by the signal.
TEST_F(CrashReports, CrashLeavesAReportAndEndsByTheSignal)
{
    if (!CanCrash)
        GTEST_SKIP() << NoCrashReason;
    struct Case
    {
        const char *mode;
        int signal;
        const char *signalLine;
        const char *faultLine;  // null: not checked
        const char *threadName; // the faulting thread's name
        bool handlerCompletes;  // false: the handler itself faults after the header
    };
    const Case cases[] = {
        {"segv", SIGSEGV, "signal: 11 (SIGSEGV)", "fault address: 0x10", "ferrowinden-sso", true},
        {"abort", SIGABRT, "signal: 6 (SIGABRT)", nullptr, "ferrowinden-sso", true},
        {"thread", SIGSEGV, "signal: 11 (SIGSEGV)", "fault address: 0x10", "crash-test", true},
        {"nested", SIGSEGV, "signal: 11 (SIGSEGV)", "fault address: 0x10", "ferrowinden-sso", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.mode);
        QDir(folder()).removeRecursively();
        EXPECT_EQ(crash(c.mode), c.signal);
        const QStringList names = reports();
        ASSERT_EQ(names.size(), 1) << names.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(ReportName.match(names.first()).hasMatch()) << names.first().toStdString();
        const QString text = QString::fromUtf8(report(names.first()));
        const QStringList lines = text.split(QLatin1Char('\n'));

        EXPECT_EQ(lines.value(0), Version + QStringLiteral(" crash report"));
        EXPECT_EQ(lines.value(1), QStringLiteral("id: ") + names.first().chopped(4));
        const QString process = lines.filter(QRegularExpression(QStringLiteral("^process: \\d+$"))).value(0).mid(9);
        EXPECT_FALSE(process.isEmpty()) << text.toStdString();
        EXPECT_TRUE(lines.contains(QString::fromLatin1(c.signalLine))) << text.toStdString();
        if (c.faultLine) {
            EXPECT_TRUE(lines.contains(QString::fromLatin1(c.faultLine))) << text.toStdString();
        }
        const QString thread = lines.filter(QStringLiteral("thread: ")).value(0);
        EXPECT_TRUE(thread.endsWith(QStringLiteral(" (%1)").arg(QLatin1String(c.threadName)))) << thread.toStdString();
        EXPECT_EQ(thread.startsWith(QStringLiteral("thread: ") + process + QLatin1Char(' ')),
                  QLatin1String(c.mode) != QLatin1String("thread"))
            << thread.toStdString();

        const int backtrace = lines.indexOf(QStringLiteral("backtrace:"));
        const int memoryMap = lines.indexOf(QStringLiteral("memory map:"));
        if (!c.handlerCompletes) {
            // A fault inside the handler ends the process at once: the header stays, nothing more.
            EXPECT_EQ(backtrace, -1) << text.toStdString();
            continue;
        }
        ASSERT_GT(backtrace, 0) << text.toStdString();
        ASSERT_GT(memoryMap, backtrace) << text.toStdString();
        const QStringList frames = lines.mid(backtrace + 1, memoryMap - backtrace - 1).filter(QStringLiteral("["));
        EXPECT_GE(frames.size(), 3) << text.toStdString();
        if (QLatin1String(c.mode) != QLatin1String("thread")) {
            EXPECT_FALSE(frames.filter(QStringLiteral("(main+")).isEmpty()) << text.toStdString();
        }
        EXPECT_FALSE(lines.mid(memoryMap).filter(m_exe).isEmpty()) << text.toStdString();
        EXPECT_FALSE(lines.mid(memoryMap).filter(QStringLiteral("[stack]")).isEmpty()) << text.toStdString();

        const QString errors = QString::fromUtf8(m_instance.readFile(QStringLiteral("stderr.txt")));
        EXPECT_TRUE(
            errors.contains(QStringLiteral("crash report written to ") + QDir(folder()).filePath(names.first())))
            << errors.toStdString();
    }
}

// Off, then a collector that is down, then one that refuses: the report
// waits. A working collector gets it exactly once; the start after that sends
// nothing.
TEST_F(CrashReports, NextStartSendsTheReportOnceAndOnlyOnce)
{
    const QString name = leaveReport();
    ASSERT_FALSE(name.isEmpty());
    const QByteArray content = report(name);
    const QString id = name.chopped(4);

    ReportCollector collector;
    ASSERT_TRUE(collector.isListening());
    startAndStop();
    EXPECT_EQ(lastSummary(), summary(0, 0, 1));
    EXPECT_TRUE(collector.received().isEmpty());

    const quint16 closedPort = testsupport::freeTcpPort();
    ReportCollector refusing(500);
    ASSERT_TRUE(refusing.isListening());
    const struct
    {
        QString url;
        const char *reason;
    } failures[] = {
        {QStringLiteral("http://127.0.0.1:%1/upload").arg(closedPort), "Couldn't connect to server"},
        {refusing.url(), "returned error: 500"},
        {QStringLiteral("file:///etc/hostname"), "Protocol \"file\" not supported"},
    };
    for (const auto &failure : failures) {
        SCOPED_TRACE(failure.url.toStdString());
        configure(true, failure.url);
        startAndStop();
        const QString line = QStringLiteral("Unable to send crash report %1 to %2: ").arg(name, failure.url);
        EXPECT_TRUE(log().contains(line)) << log().toStdString();
        EXPECT_TRUE(
            log().mid(log().lastIndexOf(line)).section(QLatin1Char('\n'), 0, 0).contains(QLatin1String(failure.reason)))
            << log().toStdString();
        EXPECT_EQ(lastSummary(), summary(0, 0, 1));
        EXPECT_TRUE(checkpoint().isEmpty());
    }

    configure(true, collector.url());
    startAndStop();
    EXPECT_TRUE(log().contains(QStringLiteral("Crash report %1 sent to %2").arg(name, collector.url())))
        << log().toStdString();
    EXPECT_EQ(lastSummary(), summary(1, 0, 0));
    startAndStop();
    EXPECT_EQ(lastSummary(), summary(0, 1, 0));

    EXPECT_EQ(collector.received(), QStringList{QStringLiteral("1-") + name});
    EXPECT_EQ(collector.content(collector.received().value(0)), content);
    EXPECT_TRUE(collector.rejected().isEmpty()) << collector.rejected().join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(checkpoint(), QStringList{id});
    EXPECT_EQ(reports(), QStringList{name}); // kept on disk until it ages out
}

// Reports older than 30 days or beyond the 20 newest are deleted, and their
// names leave the checkpoint; a link that poses as a report is never read.
TEST_F(CrashReports, OldAndSurplusReportsAreDeleted)
{
    ReportCollector collector;
    ASSERT_TRUE(collector.isListening());
    configure(true, collector.url());
    const QDateTime now = QDateTime::currentDateTime();
    QStringList recent;
    for (int i = 0; i < 18; ++i)
        recent << plantReport(now.addSecs(-60 * (i + 1)));
    const QString ageing = plantReport(now.addDays(-29));
    const QString expired = plantReport(now.addDays(-31));
    m_instance.writeFile(QStringLiteral("secret.txt"), "not a crash report\n");
    ASSERT_TRUE(QFile::link(m_instance.filePath(QStringLiteral("secret.txt")), folder() + QStringLiteral("/link.dmp")));

    startAndStop();
    EXPECT_TRUE(log().contains(QStringLiteral("Crash report %1 deleted: older than 30 days").arg(expired)))
        << log().toStdString();
    EXPECT_EQ(lastSummary(), summary(19, 0, 0));
    EXPECT_EQ(collector.received().size(), 19);
    for (const QString &name : collector.received())
        EXPECT_NE(collector.content(name), QByteArray("not a crash report\n"));
    // Oldest first.
    EXPECT_EQ(collector.received().value(0), QStringLiteral("1-") + ageing);

    // Three more crashes: 22 reports, the two oldest of them go.
    QStringList newest;
    for (int i = 0; i < 3; ++i)
        newest << plantReport(now.addSecs(i + 1));
    startAndStop();
    EXPECT_TRUE(log().contains(QStringLiteral("Crash report %1 deleted: beyond the 20 newest").arg(ageing)))
        << log().toStdString();
    EXPECT_TRUE(log().contains(QStringLiteral("Crash report %1 deleted: beyond the 20 newest").arg(recent.last())))
        << log().toStdString();
    EXPECT_EQ(lastSummary(), summary(3, 17, 0));

    QStringList kept = recent.mid(0, 17) + newest;
    kept << QStringLiteral("link.dmp");
    kept.sort();
    EXPECT_EQ(reports(), kept);
    QStringList ids;
    for (const QString &name : kept) {
        if (name != QLatin1String("link.dmp"))
            ids << name.chopped(4);
    }
    ids.sort();
    EXPECT_EQ(checkpoint(), ids);
    EXPECT_EQ(collector.received().size(), 22);
}

// A collector that takes the connection and never answers does not hold up
// the agent's stop: the transfer is abandoned and the report waits.
TEST_F(CrashReports, StopAbandonsAHangingUpload)
{
    const QString name = leaveReport();
    ASSERT_FALSE(name.isEmpty());
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    QList<QTcpSocket *> held;
    QObject::connect(&silent, &QTcpServer::newConnection, [&] { held << silent.nextPendingConnection(); });
    configure(true, QStringLiteral("http://127.0.0.1:%1/upload").arg(silent.serverPort()));

    QProcess *agent = start({QStringLiteral("-e")});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !held.isEmpty() && held.first()->bytesAvailable() > 0; },
                                agenttest::ProcessTimeoutMs));
    ASSERT_EQ(::kill(pid_t(agent->processId()), SIGTERM), 0);
    EXPECT_EQ(finish(agent), 0);
    EXPECT_TRUE(log().contains(QStringLiteral("Crash report %1 not sent: the agent is stopping").arg(name)))
        << log().toStdString();
    EXPECT_TRUE(checkpoint().isEmpty());
    EXPECT_EQ(reports(), QStringList{name});
}

} // namespace
