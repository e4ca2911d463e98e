#include "lookuptestsupport.h"

#include "log/applicationdebug.h"
#include "lookup/lookupthread.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

namespace lookuptest {

namespace {

QTemporaryDir *logDirectory = nullptr;
testsupport::DnsmasqServer *sharedDnsmasq = nullptr;

QString logPath()
{
    if (!logDirectory) {
        logDirectory = new QTemporaryDir;
        ApplicationDebug::create(logDirectory->path());
        ApplicationDebug::applyVerboseLevel(2);
    }
    return ApplicationDebug::instance()->fileName();
}

// Ends what the look-up tests started: late workers, dnsmasq, the log.
class LookupEnvironment : public ::testing::Environment
{
public:
    void TearDown() override
    {
        EXPECT_TRUE(waitForIdleWorkers());
        delete sharedDnsmasq;
        sharedDnsmasq = nullptr;
        ApplicationDebug::destroy();
        delete logDirectory;
        logDirectory = nullptr;
    }
};

const auto *environment = ::testing::AddGlobalTestEnvironment(new LookupEnvironment);

} // namespace

LogTail::LogTail()
{
    m_offset = QFile(logPath()).size();
}

QString LogTail::text() const
{
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    // A rotation starts a new file: then everything in it is new.
    if (file.size() >= m_offset)
        file.seek(m_offset);
    return QString::fromUtf8(file.readAll());
}

QByteArray dnsmasqHosts()
{
    QByteArray hosts = "10.1.0.1 pc01.corp.test\n"
                       "10.1.0.2 pc02.corp.test\n"
                       "10.1.0.3 multi.corp.test\n"
                       "10.1.0.4 multi.corp.test\n"
                       "fd00::3 multi.corp.test\n"
                       "fd00::7 v6only.corp.test\n";
    for (int i = 0; i < 200; ++i)
        hosts += QStringLiteral("10.2.%1.%2 bulk%3.corp.test\n").arg(i / 100).arg(i % 100 + 1).arg(i).toLatin1();
    return hosts;
}

testsupport::DnsmasqServer &dnsmasq()
{
    if (!sharedDnsmasq) {
        sharedDnsmasq = new testsupport::DnsmasqServer;
        if (!sharedDnsmasq->start(dnsmasqHosts()))
            ADD_FAILURE() << "dnsmasq did not start: " << sharedDnsmasq->error().toStdString();
    }
    return *sharedDnsmasq;
}

lookup::LookupOptions optionsWithServer(const QString &mode, const QString &server)
{
    lookup::LookupOptions options;
    options.mode = mode;
    options.dnsServers = lookup::LookupOptions::parseEndpoints(server, 53, QStringLiteral("DnsServers"));
    options.dnsTimeoutMs = 1000;
    options.dnsTries = 2;
    options.llmnrTimeoutMs = 200;
    options.llmnrTries = 1;
    return options;
}

lookup::LookupOptions optionsFor(const QString &mode)
{
    return optionsWithServer(mode, dnsmasq().endpoint());
}

bool waitForIdleWorkers(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (lookup::LookupThread::runningCount() > 0) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(10);
    }
    return true;
}

int FakeSystemResolver::addressesOf(const QByteArray &, QList<Answer> *answers)
{
    QMutexLocker lock(&m_mutex);
    ++m_addressCalls;
    if (addressStatus == 0)
        *answers = addressAnswers;
    return addressStatus;
}

int FakeSystemResolver::nameOf(const QHostAddress &, QByteArray *host, int *systemError)
{
    QMutexLocker lock(&m_mutex);
    ++m_nameCalls;
    *systemError = nameErrno;
    if (nameStatus == 0)
        *host = nameAnswer;
    return nameStatus;
}

int FakeSystemResolver::addressCalls() const
{
    QMutexLocker lock(&m_mutex);
    return m_addressCalls;
}

int FakeSystemResolver::nameCalls() const
{
    QMutexLocker lock(&m_mutex);
    return m_nameCalls;
}

} // namespace lookuptest
