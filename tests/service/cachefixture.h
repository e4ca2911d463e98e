#pragma once

// Shared by the collector-cache tests: logons relative to a pinned "now", their
// text forms for comparison, and a fixture with a log and a dump folder.
#include "common/clock.h"
#include "log/applicationdebug.h"
#include "service/collectorcache.h"
#include "support/qtprinters.h"
#include "support/tempinstance.h"

#include <QDir>
#include <QStringList>
#include <gtest/gtest.h>

namespace cachetest {

inline const QDateTime T0(QDate(2026, 3, 10), QTime(12, 0, 0));

inline common::Logon L(const char *user, const char *ip, qint64 secs, const char *workstation = "")
{
    return common::Logon(QString::fromLatin1(user), QHostAddress(QString::fromLatin1(ip)), T0.addSecs(secs),
                         QString::fromLatin1(workstation), QStringLiteral("CORP"),
                         QStringLiteral("S-1-5-21-7-%1").arg(QString::fromLatin1(user)), QStringLiteral("corp.test"));
}

template <typename List> QStringList texts(const List &logons)
{
    QStringList list;
    for (const auto &logon : logons)
        list.append(logon.toString());
    list.sort();
    return list;
}

inline QStringList replaced(const common::LogonList &logons)
{
    QList<common::Logoff> logoffs;
    for (const common::Logon &logon : logons)
        logoffs.append(common::Logoff(logon, common::Logoff::LogoffSessionReplace));
    return texts(logoffs);
}

class CollectorCacheTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QDir().mkpath(instance.filePath(QStringLiteral("log")));
        ApplicationDebug::create(instance.filePath(QStringLiteral("log")));
        ApplicationDebug::applyVerboseLevel(2);
        setDumpFolderForTest(instance.filePath(QStringLiteral("log")));
        common::Clock::setNowForTest(T0);
        config.setServers({QStringLiteral("10.9.0.1")});
        config.setCacheTimeout(3600);
    }
    void TearDown() override
    {
        closeDumpFiles();
        service::cacheDumpEnabled.store(false);
        setDumpFolderForTest(QString());
        ApplicationDebug::destroy();
        common::Clock::resetForTest();
    }

    QString log() const { return testsupport::logFolderText(instance.path()); }

    struct Result
    {
        common::LogonList created;
        QList<common::Logoff> logoffs;
    };
    static Result update(CollectorCache &cache, const common::LogonList &batch)
    {
        Result result;
        cache.update(batch, result.created, result.logoffs);
        return result;
    }
    // The addresses a workstation's record holds, sorted.
    static QStringList indexed(const CollectorCache &cache, const QString &workstation)
    {
        QStringList addresses;
        for (const common::Logon &logon : cache.hostRecordsForTest().value(workstation).logons)
            addresses.append(logon.ip().toString());
        addresses.sort();
        return addresses;
    }

    testsupport::TempInstance instance;
    settings::ADConfiguration config{QStringLiteral("fw1")};
};

} // namespace cachetest
