// sso-diag events, run as the operator runs it.
#include "support/tempinstance.h"

#include <QProcess>
#include <gtest/gtest.h>

namespace {

struct DiagRun
{
    int exitCode = -1;
    QStringList lines;
    QString errors;
};

DiagRun diag(const QStringList &arguments)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    process.setProcessEnvironment(environment);
    process.start(testsupport::binaryPath(QStringLiteral("tools/sso-diag")),
                  QStringList{QStringLiteral("events")} + arguments);
    DiagRun run;
    if (!process.waitForFinished(60000))
        return run;
    run.exitCode = process.exitCode();
    run.lines = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    run.errors = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QString sample(const char *name)
{
    return testsupport::sampleLogPath(QString::fromLatin1(name));
}

const QString Now = QStringLiteral("2024-01-01T00:00:00Z");
const QString Window = QStringLiteral("200000000");

TEST(DiagEvents, ListsTheLogonsOfASampleLog)
{
    SSO_REQUIRE_SAMPLE_LOGS(QStringLiteral("dc-mixed-4624-4768.evtx"));
    const DiagRun run = diag(
        {sample("dc-mixed-4624-4768.evtx"), QStringLiteral("WindowsEventLog"), Window, QStringLiteral("--now"), Now});
    ASSERT_EQ(run.exitCode, 0) << qPrintable(run.errors);
    EXPECT_EQ(run.lines,
              (QStringList{
                  QStringLiteral("2021-12-14T14:42:49: user: OFFSEC\\admmhorvath from 10.23.123.11 domain offsec sid: "
                                 "S-1-5-21-4230534742-2542757381-3142984815-1243"),
                  QStringLiteral("2021-12-14T14:42:49: user: OFFSEC\\rootdc1 from 10.23.123.11 domain offsec"),
                  QStringLiteral("2 logons")}));
}

TEST(DiagEvents, AppliesIgnoreListDomainAndWindow)
{
    SSO_REQUIRE_SAMPLE_LOGS(QStringLiteral("dc-mixed-4624-4768.evtx"));
    DiagRun run = diag({sample("dc-mixed-4624-4768.evtx"), QString(), Window, QStringLiteral("--now"), Now,
                        QStringLiteral("--ignore"), QStringLiteral("ROOTDC1,x"), QStringLiteral("--netbios"),
                        QStringLiteral("OFFSEC"), QStringLiteral("--fqdn"), QStringLiteral("offsec.lan")});
    ASSERT_EQ(run.exitCode, 0) << qPrintable(run.errors);
    ASSERT_EQ(run.lines.size(), 2);
    EXPECT_TRUE(run.lines.first().contains(QStringLiteral("OFFSEC\\admmhorvath from 10.23.123.11 domain offsec.lan")));

    // A window that ends before the log's events.
    run = diag({sample("dc-mixed-4624-4768.evtx"), QStringLiteral("windowseventlog"), QStringLiteral("3600"),
                QStringLiteral("--now"), Now});
    EXPECT_EQ(run.lines, QStringList{QStringLiteral("0 logons")});
}

TEST(DiagEvents, ReportsFailuresAndBadArguments)
{
    SSO_REQUIRE_SAMPLE_LOGS(QStringLiteral("dc-mixed-4624-4768.evtx"));
    DiagRun run = diag({QStringLiteral("/nonexistent/dc01"), QString(), Window});
    EXPECT_EQ(run.exitCode, 1);

    testsupport::TempInstance instance;
    instance.writeFile(QStringLiteral("dc01/readme.txt"), "no Security log here");
    run = diag({instance.filePath(QStringLiteral("dc01")), QString(), Window, QStringLiteral("--verbose")});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.errors.contains(QStringLiteral("dc01: The channel was not found."))) << qPrintable(run.errors);

    run = diag({sample("dc-mixed-4624-4768.evtx"), QStringLiteral("Syslog"), Window});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.errors.contains(QStringLiteral("Syslog")));
    run = diag({sample("dc-mixed-4624-4768.evtx"), QString(), QStringLiteral("soon")});
    EXPECT_EQ(run.exitCode, 2);
}

} // namespace
