#include "eventsource/apieventlogging.h"
#include "eventsource/apimock.h"
#include "eventsource/apiwindowseventlog.h"
#include "eventsource/iactivedirectoryeventcollector.h"

#include <gtest/gtest.h>
#include <memory>

using userCollector::IActiveDirectoryEventCollector;

namespace {

std::unique_ptr<IActiveDirectoryEventCollector> make(const QString &apiName)
{
    return std::unique_ptr<IActiveDirectoryEventCollector>(IActiveDirectoryEventCollector::create(
        apiName, QStringLiteral("dc01"), QStringList(), 3600, QString(), QString()));
}

TEST(EventSourceFactory, ChoosesTheKindByApiNameIgnoringCase)
{
    for (const char *name : {"", "WindowsEventLog", "windowseventlog", "WINDOWSEVENTLOG"}) {
        auto source = make(QString::fromLatin1(name));
        EXPECT_NE(dynamic_cast<userCollector::ApiWindowsEventLog *>(source.get()), nullptr) << name;
        EXPECT_EQ(source->serverName(), QStringLiteral("dc01"));
    }
    for (const char *name : {"EventLogging", "eventlogging", "EVENTLOGGING"})
        EXPECT_NE(dynamic_cast<userCollector::ApiEventLogging *>(make(QString::fromLatin1(name)).get()), nullptr) << name;
    for (const char *name : {"mock", "Mock", "MOCK"})
        EXPECT_NE(dynamic_cast<userCollector::ApiMock *>(make(QString::fromLatin1(name)).get()), nullptr) << name;
}

TEST(EventSourceFactory, AnyOtherNameThrowsENoApiFound)
{
    for (const char *name : {"Syslog", "WindowsEventLog2", " mock"}) {
        try {
            make(QString::fromLatin1(name));
            ADD_FAILURE() << name << " made a source";
        } catch (const IActiveDirectoryEventCollector::ENoApiFound &e) {
            EXPECT_STREQ(e.what(), "");
            EXPECT_EQ(e.className(), QStringLiteral("IActiveDirectoryEventCollector::ENoApiFound"));
        }
    }
}

TEST(EventSourceFactory, EventExceptionKeepsItsText)
{
    const IActiveDirectoryEventCollector::EventException e(QStringLiteral("unable to read event log: x."));
    const common::Exception &base = e;
    EXPECT_STREQ(base.what(), "unable to read event log: x.");
    EXPECT_EQ(base.className(), QStringLiteral("IActiveDirectoryEventCollector::EventException"));
}

TEST(ApiMock, CollectsNothingAndNeverFails)
{
    userCollector::ApiMock mock(QStringLiteral("dc01"));
    mock.failureTime() = QDateTime::currentDateTime(); // left over from nothing: collect clears it
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(mock.collect().isEmpty());
        EXPECT_TRUE(mock.failureTime().isNull());
    }
    EXPECT_TRUE(mock.testConnection());
    mock.stop();
    EXPECT_TRUE(mock.collect().isEmpty());
}

} // namespace
