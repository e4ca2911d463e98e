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
        EXPECT_NE(dynamic_cast<userCollector::ApiEventLogging *>(make(QString::fromLatin1(name)).get()), nullptr)
            << name;
    for (const char *name : {"mock", "Mock", "MOCK"})
        EXPECT_NE(dynamic_cast<userCollector::ApiMock *>(make(QString::fromLatin1(name)).get()), nullptr) << name;
}

TEST(EventSourceFactory, AnyOtherNameThrowsENoApiFound)
{
    for (const char *name : {"Syslog", "WindowsEventLog2", " mock"})
        EXPECT_THROW(make(QString::fromLatin1(name)), IActiveDirectoryEventCollector::ENoApiFound) << name;
}

} // namespace
