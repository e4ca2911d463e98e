#include "lookuptestsupport.h"

#include "log/applicationdebug.h"
#include "lookup/lookupthread.h"
#include "support/dnsmasqserver.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace lookuptest {

namespace {

std::unique_ptr<QTemporaryDir> logDirectory;
std::unique_ptr<testsupport::DnsmasqServer> sharedDnsmasq;

QString logPath()
{
    if (!logDirectory) {
        logDirectory = std::make_unique<QTemporaryDir>();
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
        sharedDnsmasq.reset();
        ApplicationDebug::destroy();
        logDirectory.reset();
    }
};

const auto *environment = ::testing::AddGlobalTestEnvironment(new LookupEnvironment);

QString dnsmasqEndpoint()
{
    if (!sharedDnsmasq) {
        QByteArray hosts = "10.1.0.1 pc01.corp.test\n10.1.0.2 pc02.corp.test\n10.1.0.3 multi.corp.test\n"
                           "10.1.0.4 multi.corp.test\nfd00::3 multi.corp.test\nfd00::7 v6only.corp.test\n";
        for (int i = 0; i < 200; ++i)
            hosts += QStringLiteral("10.2.%1.%2 bulk%3.corp.test\n").arg(i / 100).arg(i % 100 + 1).arg(i).toLatin1();
        sharedDnsmasq = std::make_unique<testsupport::DnsmasqServer>();
        if (!sharedDnsmasq->start(hosts))
            ADD_FAILURE() << "dnsmasq did not start: " << sharedDnsmasq->error().toStdString();
    }
    return sharedDnsmasq->endpoint();
}

} // namespace

LogTail::LogTail() : m_offset(QFile(logPath()).size()) {}

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
    return optionsWithServer(mode, dnsmasqEndpoint());
}

bool waitForIdleWorkers()
{
    return QTest::qWaitFor([] { return lookup::LookupThread::runningCount() == 0; }, 20000);
}

} // namespace lookuptest
