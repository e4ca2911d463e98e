// The README's ways of getting domain-controller logs to the agent, each
// checked the way the README tells an administrator to check a feed
// (sso-diag events): a Windows Event Forwarding collector's Files output in
// Raw XML, and periodic copies of a saved EVTX log. Syslog feeding is run
// against the agent itself in status_test.cpp.
#include "support/tempinstance.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <cstdio>
#include <gtest/gtest.h>

namespace {

struct DiagRun
{
    int exitCode = -1;
    QString out;
    QString err;
};

DiagRun diagEvents(const QStringList &arguments)
{
    QProcess process;
    process.start(testsupport::binaryPath(QStringLiteral("tools/sso-diag")),
                  QStringList{QStringLiteral("events")} + arguments);
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// One event as a forwarding collector's Raw output writes it: the event as
// the domain controller rendered it (single-quoted attributes, seven digits
// of fractions, RenderingInfo with the message text), on a line of its own.
QByteArray forwardedEvent(int eventId, quint64 record, const char *time, const char *user, const char *address,
                          const char *extra)
{
    return QByteArray("<Event xmlns='http://schemas.microsoft.com/win/2004/08/events/event'><System><Provider "
                      "Name='Microsoft-Windows-Security-Auditing' Guid='{54849625-5478-4994-a5ba-3e3b0328c30d}'/>"
                      "<EventID>") +
           QByteArray::number(eventId) +
           "</EventID><Version>2</Version><Level>0</Level><Task>12544</Task><Opcode>0</Opcode>"
           "<Keywords>0x8020000000000000</Keywords><TimeCreated SystemTime='" +
           time + "'/><EventRecordID>" + QByteArray::number(record) +
           "</EventRecordID><Correlation ActivityID='{8e9f0a6b-1c2d-4e5f-8a9b-0c1d2e3f4a5b}'/><Execution "
           "ProcessID='652' ThreadID='7016'/><Channel>Security</Channel><Computer>dc01.corp.example.com</Computer>"
           "<Security/></System><EventData><Data Name='SubjectUserSid'>S-1-5-18</Data><Data "
           "Name='SubjectUserName'>DC01$</Data><Data Name='TargetUserSid'>S-1-5-21-1-2-3-1104</Data><Data "
           "Name='TargetUserName'>" +
           user + "</Data><Data Name='TargetDomainName'>CORP</Data>" + extra + "<Data Name='IpAddress'>" + address +
           "</Data><Data Name='IpPort'>49852</Data></EventData><RenderingInfo Culture='en-US'><Message>An account was "
           "successfully logged on.&#13;&#10;&#13;&#10;Subject:&#13;&#10;&#9;Security ID:&#9;&#9;SYSTEM</Message>"
           "<Level>Information</Level><Task>Logon</Task><Opcode>Info</Opcode><Channel>Security</Channel>"
           "<Provider>Microsoft Windows security auditing.</Provider><Keywords><Keyword>Audit Success</Keyword>"
           "</Keywords></RenderingInfo></Event>\r\n";
}

TEST(FeedGuides, ForwardedRawXmlStoreReadsCleanly)
{
    testsupport::TempInstance instance;
    QByteArray store;
    store += forwardedEvent(4624, 4711, "2026-03-02T09:15:01.1234567Z", "alice", "10.0.0.5",
                            "<Data Name='LogonType'>3</Data><Data Name='LogonProcessName'>Kerberos </Data>"
                            "<Data Name='WorkstationName'>-</Data>");
    store += forwardedEvent(4768, 4712, "2026-03-02T09:15:02.0000000Z", "bob", "::ffff:10.0.0.6",
                            "<Data Name='Status'>0x0</Data>");
    // A collector's output may also carry events the agent does not use.
    store += forwardedEvent(4634, 4713, "2026-03-02T09:15:03.0000000Z", "carol", "10.0.0.7", "");
    instance.writeFile(QStringLiteral("eventlog/10.0.0.1/Security.xml"), store);

    const DiagRun run =
        diagEvents({instance.filePath(QStringLiteral("eventlog/10.0.0.1")), QStringLiteral("WindowsEventLog"),
                    QStringLiteral("3600"), QStringLiteral("--netbios"), QStringLiteral("CORP"),
                    QStringLiteral("--now"), QStringLiteral("2026-03-02T09:20:00Z"), QStringLiteral("--verbose")});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(run.out.contains(QStringLiteral("alice"))) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(QStringLiteral("10.0.0.5"))) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(QStringLiteral("bob"))) << run.out.toStdString();
    EXPECT_TRUE(run.out.contains(QStringLiteral("10.0.0.6"))) << run.out.toStdString();
    EXPECT_FALSE(run.out.contains(QStringLiteral("carol"))) << run.out.toStdString();
    // Read cleanly: no element refused, nothing skipped.
    for (const char *problem : {"refused", "skipped", "failed", "not UTF-8", "not valid"})
        EXPECT_FALSE(run.err.contains(QLatin1String(problem))) << run.err.toStdString();
}

TEST(FeedGuides, PeriodicEvtxCopyIsReadWhenReplaced)
{
    SSO_REQUIRE_SAMPLE_LOGS(QStringLiteral("ws-runas-4624.evtx"), QStringLiteral("dc-replication-4624.evtx"));
    testsupport::TempInstance instance;
    QDir().mkpath(instance.filePath(QStringLiteral("eventlog/10.0.0.1")));
    const QString store = instance.filePath(QStringLiteral("eventlog/10.0.0.1/Security.evtx"));
    // The copy job writes beside the store and renames over it: the agent never sees half a file.
    const auto copy = [&](const char *sample) {
        const QString partial = store + QStringLiteral(".part");
        QFile::remove(partial);
        ASSERT_TRUE(QFile::copy(testsupport::sampleLogPath(QString::fromLatin1(sample)), partial));
        ASSERT_EQ(::rename(QFile::encodeName(partial).constData(), QFile::encodeName(store).constData()), 0);
    };
    const QStringList window{instance.filePath(QStringLiteral("eventlog/10.0.0.1")), QStringLiteral("WindowsEventLog"),
                             QStringLiteral("4000000000")};

    copy("ws-runas-4624.evtx");
    const DiagRun first = diagEvents(window);
    EXPECT_EQ(first.exitCode, 0) << first.err.toStdString();
    EXPECT_FALSE(first.out.trimmed().isEmpty());
    copy("dc-replication-4624.evtx");
    const DiagRun second = diagEvents(window);
    EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
    EXPECT_NE(second.out, first.out) << "the replaced copy is read";
}

} // namespace
