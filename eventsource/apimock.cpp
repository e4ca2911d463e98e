#include "eventsource/apimock.h"

namespace userCollector {

common::LogonList ApiMock::collect()
{
    m_failureTime = QDateTime();
    return common::LogonList();
}

} // namespace userCollector
