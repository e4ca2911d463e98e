#include "eventsource/apimock.h"

namespace userCollector {

common::LogonList ApiMock::collect()
{
    m_failureTime = QDateTime();
    m_logKind = QStringLiteral("mock");
    return common::LogonList();
}

} // namespace userCollector
