// sso-diag events: reads a domain controller's event store the way the agent
// does and prints the logons it would collect.
#include "common/clock.h"
#include "eventsource/apiwindowseventlog.h"
#include "eventsource/iactivedirectoryeventcollector.h"
#include "log/applicationdebug.h"
#include "tools/diagcommand.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <memory>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: sso-diag events STORE API SECONDS [--ignore USER,...] [--netbios NAME] [--fqdn NAME]\n"
                         "                       [--now ISO-DATE-TIME] [--verbose]\n"
                         "  STORE    an event store folder (eventlog/<server>, holding Security.evtx or Security.xml)\n"
                         "           or one such file; its name is the domain controller's\n"
                         "  API      the ApiName: WindowsEventLog (or empty text), EventLogging, Mock\n"
                         "  SECONDS  the read window, as MaxSecondToRead\n");
    return 2;
}

void printLog(const QString &folder)
{
    QDirIterator files(folder, QStringList() << QStringLiteral("*.log"), QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        QFile file(files.next());
        if (file.open(QIODevice::ReadOnly))
            std::fputs(file.readAll().replace("\r\n", "\n").constData(), stderr);
    }
}

int runEvents(const QStringList &arguments)
{
    QStringList positional;
    QStringList ignoreList;
    QString netbios;
    QString fqdn;
    QDateTime now;
    bool verbose = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        const bool hasValue = i + 1 < arguments.size();
        if (argument == QLatin1String("--ignore") && hasValue) {
            ignoreList = arguments.at(++i).split(QLatin1Char(','), Qt::SkipEmptyParts);
        } else if (argument == QLatin1String("--netbios") && hasValue) {
            netbios = arguments.at(++i);
        } else if (argument == QLatin1String("--fqdn") && hasValue) {
            fqdn = arguments.at(++i);
        } else if (argument == QLatin1String("--now") && hasValue) {
            now = QDateTime::fromString(arguments.at(++i), Qt::ISODate);
            if (!now.isValid()) {
                std::fprintf(stderr, "sso-diag events: bad date-time '%s'\n", qPrintable(arguments.at(i)));
                return 2;
            }
        } else if (argument == QLatin1String("--verbose")) {
            verbose = true;
        } else if (argument.startsWith(QLatin1String("--"))) {
            return usage();
        } else {
            positional << argument;
        }
    }
    if (positional.size() != 3)
        return usage();
    bool numberOk = false;
    const quint32 maxSecondToRead = positional.at(2).toUInt(&numberOk);
    if (!numberOk)
        return usage();
    const QFileInfo store(positional.at(0));
    if (!store.exists()) {
        std::fprintf(stderr, "sso-diag events: %s does not exist\n", qPrintable(positional.at(0)));
        return 1;
    }
    // The store's folder plays eventlog/, its own name the domain controller.
    const QString server = store.fileName();
    userCollector::ApiWindowsEventLog::setStoreRootForTest(store.absolutePath());
    if (now.isValid())
        common::Clock::setNowForTest(now);

    QTemporaryDir logFolder;
    if (verbose && logFolder.isValid())
        ApplicationDebug::create(logFolder.path());

    int status = 0;
    try {
        std::unique_ptr<userCollector::IActiveDirectoryEventCollector> source(
            userCollector::IActiveDirectoryEventCollector::create(positional.at(1), server, ignoreList, maxSecondToRead,
                                                                  fqdn, netbios));
        const common::LogonList logons = source->collect();
        for (const common::Logon &logon : logons)
            std::printf("%s\n", logon.toString().toUtf8().constData());
        std::printf("%d logons\n", static_cast<int>(logons.size()));
        if (source->failureTime().isValid()) {
            std::fprintf(stderr, "sso-diag events: the collection failed (see --verbose)\n");
            status = 1;
        }
    } catch (const userCollector::IActiveDirectoryEventCollector::ENoApiFound &) {
        std::fprintf(stderr, "sso-diag events: no event source is called '%s'\n", qPrintable(positional.at(1)));
        status = 2;
    }
    if (verbose) {
        ApplicationDebug::destroy();
        printLog(logFolder.path());
    }
    return status;
}

const diag::DiagCommand
    eventsCommand("events", "STORE API SECONDS [--ignore U,...] [--netbios N] [--fqdn F] [--now T] [--verbose]",
                  runEvents);

} // namespace
