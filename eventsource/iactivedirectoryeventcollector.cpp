#include "eventsource/iactivedirectoryeventcollector.h"

#include "eventsource/apieventlogging.h"
#include "eventsource/apimock.h"
#include "eventsource/apiwindowseventlog.h"

namespace userCollector {

IActiveDirectoryEventCollector *IActiveDirectoryEventCollector::create(const QString &apiName, const QString &server,
                                                                       const QStringList &ignoreList,
                                                                       quint32 maxSecondToRead, const QString &fqdn,
                                                                       const QString &netbios)
{
    if (apiName.isEmpty() || apiName.compare(QLatin1String("WindowsEventLog"), Qt::CaseInsensitive) == 0)
        return new ApiWindowsEventLog(server, ignoreList, maxSecondToRead, fqdn, netbios);
    if (apiName.compare(QLatin1String("EventLogging"), Qt::CaseInsensitive) == 0)
        return new ApiEventLogging(server, ignoreList, maxSecondToRead, fqdn, netbios);
    if (apiName.compare(QLatin1String("Mock"), Qt::CaseInsensitive) == 0)
        return new ApiMock(server);
    throw ENoApiFound();
}

} // namespace userCollector
